#include "IniEditor.h"

#include "IniWriter.h"
#include "OSFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Mox {
namespace Ini {

namespace {

// The readers refuse configuration files above this size.
const long long kMaxFileSize = 64LL * 1024 * 1024;

bool fail(std::string* error, const std::string& why)
{
    if (error)
        *error = why;
    return false;
}

std::string systemError()
{
    return std::strerror(errno);
}

bool hasLineBreakOrNul(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

struct Line
{
    std::size_t start = 0, end = 0, next = 0; // content [start, end), line end [end, next)
};

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

} // namespace

bool IniEditor::editText(std::string& content, const std::string& section, const std::string& key,
                         const std::string& value, std::string* error)
{
    if (hasLineBreakOrNul(value))
        return fail(error, "The value of " + key + " holds a line break or NUL byte.");
    if (section.empty() || hasLineBreakOrNul(section))
        return fail(error, "The section name \"" + section + "\" cannot be written as a header.");
    if (key.empty() || hasLineBreakOrNul(key) || key.find('=') != std::string::npos || key[0] == ';' ||
        key[0] == '[')
        return fail(error, "The key name \"" + key + "\" cannot be written as a key.");

    // Split into lines exactly as IniReader does.
    std::vector<Line> lines;
    for (std::size_t pos = 0; pos < content.size();) {
        Line line;
        line.start = pos;
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            end = content.size();
        line.end = end;
        line.next = end;
        if (end < content.size())
            line.next = content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n'
                            ? end + 2
                            : end + 1;
        lines.push_back(line);
        pos = line.next;
    }
    const std::string eol = lines.empty() || lines[0].end == lines[0].next
                                ? std::string("\n")
                                : content.substr(lines[0].end, lines[0].next - lines[0].end);

    const std::size_t none = std::size_t(-1);
    std::size_t lastKey = none;       // last line of key in section
    std::size_t lastInSection = none; // last key line of section, or its last header
    std::string current;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        const std::size_t length = line.end - line.start;
        const char* text = content.data() + line.start;
        if (std::memchr(text, '\0', length))
            return fail(error, "Line " + std::to_string(i + 1) + " holds a NUL byte.");
        if (length >= 2 && text[0] == '[' && text[length - 1] == ']') {
            current.assign(text + 1, length - 2);
            inSection = true;
            if (current == section)
                lastInSection = i;
            continue;
        }
        if (length == 0 || text[0] == ';')
            continue;
        const char* equals = static_cast<const char*>(std::memchr(text, '=', length));
        if (!equals)
            return fail(error,
                        "Line " + std::to_string(i + 1) + " is neither a section, a key nor a comment.");
        if (!inSection)
            return fail(error, "Line " + std::to_string(i + 1) + " holds a key outside any section.");
        if (current != section)
            continue;
        lastInSection = i;
        if (std::size_t(equals - text) == key.size() && key.compare(0, key.size(), text, key.size()) == 0)
            lastKey = i;
    }

    if (lastKey != none) {
        const Line& line = lines[lastKey];
        const std::size_t valueStart = line.start + key.size() + 1;
        content.replace(valueStart, line.end - valueStart, value);
    } else if (lastInSection != none) {
        const Line& line = lines[lastInSection];
        const std::string pair = key + "=" + value;
        // A last line without a line end gets one before the new line, and the file still ends as it did.
        if (line.end == line.next)
            content.insert(line.next, eol + pair);
        else
            content.insert(line.next, pair + eol);
    } else {
        std::string tail;
        if (!content.empty()) {
            if (lines.back().end == lines.back().next)
                tail += eol;
            const bool endsBlank =
                lines.back().end == lines.back().start && lines.back().end != lines.back().next;
            if (!endsBlank)
                tail += eol;
        }
        content += tail + "[" + section + "]" + eol + key + "=" + value + eol;
    }
    return true;
}

bool IniEditor::setValue(const std::string& file, const std::string& section, const std::string& key,
                         const std::string& value, std::string* error, unsigned clearModeBits)
{
    // Never through a link: the file named is the one edited, or none.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fail(error,
                    file + ": " + (errno == ELOOP ? std::string("is a symbolic link") : systemError()));
    struct stat before;
    std::string content;
    bool readOk = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode) && before.st_size <= kMaxFileSize;
    std::string notRegular = readOk ? std::string() : file + ": not a regular file of at most 64 MB";
    if (const char* pseudo = readOk ? OSFile::PseudoFileSystem(fd) : nullptr) {
        readOk = false;
        notRegular = "'" + file + "' lies on " + pseudo + ", a pseudo file system";
    }
    char buffer[16384];
    while (readOk) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            readOk = n == 0;
            break;
        }
        content.append(buffer, std::size_t(n));
        readOk = content.size() <= std::size_t(kMaxFileSize);
    }
    const std::string readError = systemError();
    ::close(fd);
    if (!readOk)
        return fail(error, notRegular.empty() ? file + ": " + readError : notRegular);
    // Replacing by rename would get round a file we may not write.
    if (::access(file.c_str(), W_OK) != 0)
        return fail(error, file + ": " + systemError());

    std::string why;
    if (!editText(content, section, key, value, &why))
        return fail(error, file + ": " + why);

    // A fresh temporary beside the file, named as IniWriter names its own. Those of killed edits hold
    // old pass phrases: they go first.
    const std::string folder = folderOf(file);
    const std::size_t slash = file.rfind('/');
    const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    IniWriter::removeStaleTemporaries(folder, base);
    std::random_device random;
    std::string temp;
    int out = -1;
    for (int attempt = 0; out < 0 && attempt < 16; ++attempt) {
        temp = folder + "/." + base + "." + std::to_string(::getpid()) + "." +
               std::to_string(random() % 1000000000u) + ".tmp";
        out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST)
            break;
    }
    if (out < 0)
        return fail(error, folder + ": cannot create a temporary file: " + systemError());

    std::string step;
    if (!writeAll(out, content))
        step = "cannot write the temporary file";
    else if ((before.st_uid != ::geteuid() || before.st_gid != ::getegid()) &&
             ::fchown(out, before.st_uid, before.st_gid) != 0)
        step = "cannot keep the file's owner";
    else if (::fchmod(out, before.st_mode & 07777 & ~mode_t(clearModeBits)) != 0)
        step = "cannot keep the file's mode";
    else if (::fsync(out) != 0)
        step = "cannot sync the temporary file";
    const std::string stepError = systemError();
    ::close(out);

    // Someone else saved meanwhile: their change would be lost.
    struct stat now;
    if (step.empty() &&
        (::lstat(file.c_str(), &now) != 0 || now.st_ino != before.st_ino || now.st_dev != before.st_dev ||
         now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != before.st_mtim.tv_nsec)) {
        ::unlink(temp.c_str());
        return fail(error, file + ": changed by another program while it was edited");
    }
    if (step.empty() && ::rename(temp.c_str(), file.c_str()) != 0)
        step = "cannot replace the file";
    if (!step.empty()) {
        const std::string cause = step == "cannot replace the file" ? systemError() : stepError;
        ::unlink(temp.c_str());
        return fail(error, file + ": " + step + ": " + cause);
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace Ini
} // namespace Mox
