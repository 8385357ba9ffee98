// Writing INI files line by line. The new content goes to a temporary file in the target's folder, readable
// by its owner only, which replaces the target in one rename, so a failed save leaves the old file as it was.
// The content is put in place by commit(), which reports the result, or else by the destructor, unless a
// line was lost or discard() was called.
#pragma once

#include "OSFile.h"

#include <memory>
#include <string>

namespace Mox {
namespace Ini {

class IniWriter
{
public:
    // newFileMode, newFileUid and newFileGid: permission bits, owner and group of a file the save creates
    // (-1: as created); an existing file keeps its own.
    IniWriter(const std::string& filename, bool& success, unsigned newFileMode = 0666, long newFileUid = -1,
              long newFileGid = -1);
    ~IniWriter();

    IniWriter(const IniWriter&) = delete;
    IniWriter& operator=(const IniWriter&) = delete;

    void addSection(std::string section);
    void addKeyValue(std::string key, std::string value);
    void addComment(std::string comment);
    void addVoidLine();

    // Puts the written lines in place of the target. False, with the target unchanged, when any byte was
    // lost or the file could not be replaced. Called once; after it the destructor does nothing more.
    bool commit();
    // Drops the written lines: the target stays as it is.
    void discard();

    // The path a save through filename writes: a chain of symbolic links followed to its end.
    static std::string finalTarget(std::string path);
    // Removes the temporaries ".<base>.<pid>.<n>.tmp" in folder whose process is gone: what a writer of
    // base (this one or IniEditor) left when it was killed before its rename.
    static void removeStaleTemporaries(const std::string& folder, const std::string& base);

private:
    void writeLine(std::string line);
    std::string newTempPath() const;
    bool nameTempFile();
    void abandon();

    std::string m_target;   // the file that gets the content (a symbolic link's final target)
    std::string m_folder;   // the target's folder
    std::string m_base;     // the target's name in its folder
    std::string m_tempPath; // the content's name until it replaces the target; empty while it has none
    std::unique_ptr<OSFile> m_file;
    bool m_failed = false; // bytes were lost; commit must fail
    bool m_done = false;   // committed or discarded
    bool m_targetExists = false;
    unsigned m_mode = 0; // permission bits the target gets
    long m_uid = -1;     // owner and group the target gets, -1 to leave
    long m_gid = -1;
};

} // namespace Ini
} // namespace Mox
