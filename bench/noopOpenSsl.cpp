// A stand-in for openssl that does no cryptography: it writes one line to its output ("-out" when given,
// else standard output, where the tool's generator collects it) and succeeds. Put first in PATH, it leaves
// the certificate dialog's own cost visible apart from openssl's.
#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-out") == 0) {
            if (std::FILE* out = std::fopen(argv[i + 1], "w")) {
                std::fputs("stand-in\n", out);
                std::fclose(out);
            }
            return 0;
        }
    }
    std::fputs("stand-in\n", stdout);
    return 0;
}
