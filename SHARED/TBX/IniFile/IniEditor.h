// Changes one value of an INI file in place and leaves every other byte as it was: comments, blank lines,
// order, line ends and other keys. The managers cannot do this, since they keep no comments.
//
// Lines are read as IniReader reads them: a line ends at LF, CR LF or CR alone; "[name]" opens a section;
// a line starting with ";" is a comment; any other non-empty line is a key and value split at the first
// "=". A file the reader would refuse (a line without "=", a NUL byte, a key before any section) is refused.
#pragma once

#include <string>

namespace Mox {
namespace Ini {

class IniEditor
{
public:
    // Sets key in section to value in file and saves it atomically (temporary file + rename), keeping the
    // file's mode and owner. Sections of one name count as one, as the managers merge them:
    // - where the key occurs more than once, the last occurrence changes (the one a manager that overwrites
    //   reads);
    // - a missing key goes right after the section's last key line, or after its header when it has none;
    //   blank and comment lines after the last key stay below the new line, since they usually introduce
    //   what follows;
    // - a missing section is appended at the end, after one empty line (none in an empty file or one that
    //   already ends with an empty line).
    // New lines take the line end of the file's first line (LF when it has none). A value holding CR, LF
    // or NUL is refused, as are a symbolic link, a file that is not regular, and a file changed while it
    // was edited. False with error set to what failed and why; the file is then unchanged.
    // clearModeBits are taken from the mode the new file keeps, before it replaces the old one, so a secret
    // never lies in a file with those bits.
    static bool setValue(const std::string& file, const std::string& section, const std::string& key,
                         const std::string& value, std::string* error, unsigned clearModeBits = 0);

    // The edit alone, on content in memory: the same rules, no file.
    static bool editText(std::string& content, const std::string& section, const std::string& key,
                         const std::string& value, std::string* error);
};

} // namespace Ini
} // namespace Mox
