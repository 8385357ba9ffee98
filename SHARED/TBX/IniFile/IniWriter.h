// Writing INI files line by line. The new content goes to a temporary file beside the target, which replaces
// the target only on a successful commit(), so a failed save leaves the old file as it was.
#pragma once

#include "OSFile.h"

#include <memory>
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

    std::string m_target;   // the file that gets the content (a symbolic link's final target)
    std::string m_tempPath; // where the content is written until commit
    std::unique_ptr<OSFile> m_file;
    bool m_failed = false; // bytes were lost; commit must fail
    bool m_committed = false;
    bool m_targetExists = false;
    unsigned m_mode = 0; // permission bits the target gets
    long m_uid = -1;     // owner and group to keep, -1 for a new file
    long m_gid = -1;
};

} // namespace Ini
} // namespace Mox
