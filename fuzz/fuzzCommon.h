// What the harnesses share: the input goes to a file in a folder of this process.
#pragma once

#include "DPrint.h"
#include "IniManager.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace fuzz {

inline std::string folder()
{
    // Plain bytes, not a std::string: the exit handler runs after static objects are gone.
    // In memory where there is such a folder: every save waits for fsync.
    static char path[] = "/dev/shm/mox-ini-fuzz.XXXXXX";
    static const bool made = [] {
        if (!::mkdtemp(path) && !::mkdtemp(std::strcpy(path, "/tmp/mox-ini-fuzz.XXXXXX")))
            std::abort();
        g_dwPrintFlags = 0; // every invalid input would print a line
        std::atexit([] {
            // The harness saves only its own files; what is left of them goes with the folder.
            const std::string command = std::string("rm -rf '") + path + "'";
            if (std::system(command.c_str()) != 0)
                std::fprintf(stderr, "could not remove %s\n", path);
        });
        return true;
    }();
    (void)made;
    return path;
}

// Writes the bytes to a fresh file of this name in the folder.
inline std::string writeInput(const char* name, const std::uint8_t* data, std::size_t size)
{
    const std::string path = folder() + "/" + name;
    ::unlink(path.c_str());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        std::abort();
    return path;
}

// Sections and pairs in order, each string with its length, so that no two documents give the same text.
inline std::string dump(const Mox::Ini::IniManager& manager)
{
    std::string text;
    const auto add = [&text](const std::string& s) { text += std::to_string(s.size()) + ":" + s; };
    for (const auto& section : *manager.getSections()) {
        add(section->m_name);
        for (const auto& pair : section->m_values) {
            add(pair->m_key);
            add(pair->m_value);
        }
        text += ";";
    }
    return text;
}

} // namespace fuzz
