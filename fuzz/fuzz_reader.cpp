// The reader on any bytes: it must end, and neither crash nor hand out a line with a NUL or a line end.
#include "IniReader.h"
#include "fuzzCommon.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::writeInput("input.ini", data, size);
    bool ok = false;
    Mox::Ini::IniReader reader(path, ok);
    if (!ok)
        return 0;
    std::string key, value, section;
    bool success = true, sectionChanged = false, dataChanged = false;
    int items = 0;
    while (reader.read(success, key, value, section, sectionChanged, dataChanged) && success) {
        for (const std::string* text : {&key, &value, &section}) {
            if (text->find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
                std::abort();
        }
        if (dataChanged && key.find('=') != std::string::npos)
            std::abort();
        if (++items > int(size) + 1) // each item takes at least one byte
            std::abort();
    }
    return 0;
}
