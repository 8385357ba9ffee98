#include "IniWriter.h"

#include "DPrint.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace Mox {
namespace Ini {

namespace {
const XDWORD kPrintClass = 16;
const std::size_t kPieceSize = 200;
const char kTempSuffix[] = ".tmp";

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool allDigits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
} // namespace

std::string IniWriter::finalTarget(std::string path)
{
    // Saving through a link replaces the link's target and leaves the link in place.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        char link[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), link, sizeof link - 1);
        if (length <= 0)
            break;
        const std::string target(link, std::size_t(length));
        path = target[0] == '/' ? target : folderOf(path) + "/" + target;
    }
    return path;
}

IniWriter::IniWriter(const std::string& filename, bool& success, unsigned newFileMode, long newFileUid,
                     long newFileGid)
    : m_target(finalTarget(filename)), m_folder(folderOf(m_target)), m_base(baseOf(m_target))
{
    success = false;
    struct stat st;
    bool usable = true;
    if (::stat(m_target.c_str(), &st) == 0) {
        // Replacing by rename would get round a target we may not write, so refuse it here.
        usable = S_ISREG(st.st_mode) && ::access(m_target.c_str(), W_OK) == 0;
        m_targetExists = true;
        m_mode = st.st_mode & 07777;
        m_uid = long(st.st_uid);
        m_gid = long(st.st_gid);
    } else {
        // Exactly the bits asked for, whatever the umask.
        m_mode = newFileMode & 0777;
        m_uid = newFileUid;
        m_gid = newFileGid;
    }

    int fd = -1;
    if (usable) {
        removeStaleTemporaries(m_folder, m_base);
        // A file without a name vanishes with its writer; it gets a name only just before the rename. 0600
        // from the start: nobody else may read the content while it is being written.
        fd = ::open(m_folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
            // No O_TMPFILE here: a named file, which the next save removes if we die before the rename.
            m_tempPath = newTempPath();
            fd = ::open(m_tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        if (fd < 0)
            m_tempPath.clear();
    }

    if (fd < 0) {
        if (g_dwPrintFlags & kPrintClass)
            dPrint(kPrintClass, "Missing configuration file '%s'.\n", filename.c_str());
        return;
    }
    m_file.reset(new OSFile(m_target.c_str()));
    success = m_file->Attach(fd);
}

IniWriter::~IniWriter()
{
    if (!m_done && !m_failed)
        commit();
    abandon();
}

std::string IniWriter::newTempPath() const
{
    // ".<name>.<pid>.<random>.tmp": hidden, never a fixed name, and tells which process wrote it.
    std::random_device random;
    return m_folder + "/." + m_base + "." + std::to_string(::getpid()) + "." +
           std::to_string(random() % 1000000000u) + kTempSuffix;
}

void IniWriter::removeStaleTemporaries(const std::string& folder, const std::string& base)
{
    // A writer killed between naming its file and the rename leaves the file behind.
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const std::string prefix = "." + base + ".";
    const std::size_t suffix = sizeof kTempSuffix - 1;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix.size() + suffix || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix, suffix, kTempSuffix) != 0)
            continue;
        const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix);
        const std::size_t dot = middle.find('.');
        if (dot == std::string::npos || !allDigits(middle.substr(0, dot)) ||
            !allDigits(middle.substr(dot + 1)))
            continue;
        const long pid = std::strtol(middle.c_str(), nullptr, 10);
        if (pid <= 0 || pid > INT_MAX || pid_t(pid) == ::getpid())
            continue;
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

void IniWriter::addSection(std::string section)
{
    writeLine("[" + section + "]");
}

void IniWriter::addKeyValue(std::string key, std::string value)
{
    writeLine(key + "=" + value);
}

void IniWriter::addComment(std::string comment)
{
    writeLine(";" + comment);
}

void IniWriter::addVoidLine()
{
    writeLine(std::string());
}

void IniWriter::writeLine(std::string line)
{
    if (!m_file || !m_file->IsOpen() || m_failed || m_done)
        return;
    line += "\r\n";
    std::size_t written = 0;
    while (written < line.size()) {
        const std::size_t piece = std::min(kPieceSize, line.size() - written);
        int count = 0;
        if (!m_file->Write(&line[written], int(piece), &count) || count <= 0) {
            // The file can no longer hold the document; the rest of the save is abandoned.
            m_failed = true;
            return;
        }
        written += std::size_t(count);
    }
}

bool IniWriter::nameTempFile()
{
    if (!m_tempPath.empty())
        return true;
    const std::string self = "/proc/self/fd/" + std::to_string(m_file->GetHandle());
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = newTempPath();
        // Through /proc, as AT_EMPTY_PATH needs a capability we may not have.
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
            ::linkat(m_file->GetHandle(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) {
            m_tempPath = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool IniWriter::commit()
{
    if (!m_file || !m_file->IsOpen() || m_failed || m_done)
        return false;
    m_done = true;
    if (!m_file->Flush()) {
        m_failed = true;
        abandon();
        return false;
    }
    const int fd = m_file->GetHandle();
    if ((m_uid >= 0 || m_gid >= 0) && ::fchown(fd, uid_t(m_uid), gid_t(m_gid)) != 0 && m_gid >= 0)
        (void)!::fchown(fd, uid_t(-1), gid_t(m_gid)); // at least the group, where we may
    if (::fchmod(fd, mode_t(m_mode)) != 0 || !nameTempFile() ||
        ::rename(m_tempPath.c_str(), m_target.c_str()) != 0) {
        abandon();
        return false;
    }
    m_tempPath.clear();
    m_file->Close();
    syncFolder(m_folder);
    return true;
}

void IniWriter::discard()
{
    m_done = true;
    abandon();
}

void IniWriter::abandon()
{
    if (m_file)
        m_file->Close();
    if (!m_tempPath.empty())
        ::unlink(m_tempPath.c_str());
    m_tempPath.clear();
}

} // namespace Ini
} // namespace Mox
