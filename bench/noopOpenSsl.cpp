// A stand-in for openssl that does no cryptography: it only creates the file named after "-out" and succeeds.
// Put first in PATH, it leaves the certificate dialog's own cost visible apart from openssl's.
#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-out") == 0)
            if (std::FILE* out = std::fopen(argv[i + 1], "w"))
                std::fclose(out);
    return 0;
}
