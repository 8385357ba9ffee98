// Writing INI files line by line. The new content goes to a temporary file beside the target, which replaces
// the target only on a successful commit(), so a failed save leaves the old file as it was.
#pragma once

#include "OSFile.h"

#include <string>

namespace Mox {
namespace Ini {

class IniWriter
{
public:
    // newFileMode: permission bits of a file the save creates; an existing file keeps its own.
    IniWriter(const std::string& filename, bool& success, unsigned newFileMode = 0666);
    ~IniWriter();

    IniWriter(const IniWriter&) = delete;
    IniWriter& operator=(const IniWriter&) = delete;

    void addSection(std::string section);
    void addKeyValue(std::string key, std::string value);
    void addComment(std::string comment);
    void addVoidLine();

    // Puts the written lines in place of the target. False, with the target unchanged, when any byte was
    // lost or the file could not be replaced. Without a commit the target is never touched.
    bool commit();

private:
    void writeLine(std::string line);

    OSFile m_file;
};

} // namespace Ini
} // namespace Mox
