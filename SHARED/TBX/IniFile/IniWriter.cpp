#include "IniWriter.h"

#include "DPrint.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace Mox {
namespace Ini {

namespace {
const XDWORD kPrintClass = 16;
const std::size_t kPieceSize = 200;

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows a chain of symbolic links to the path that finally gets written, existing or not, so that saving
// through a link replaces the link's target and leaves the link in place.
std::string finalTarget(std::string path)
{
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

void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
} // namespace

IniWriter::IniWriter(const std::string& filename, bool& success, unsigned newFileMode)
    : m_target(finalTarget(filename))
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
    }

    if (usable) {
        std::string base =
            m_target.substr(m_target.rfind('/') == std::string::npos ? 0 : m_target.rfind('/') + 1);
        const std::string prefix = folderOf(m_target) + "/." + base + ".";
        std::random_device random;
        for (int attempt = 0; attempt < 16 && !success; ++attempt) {
            m_tempPath = prefix + std::to_string(random() % 1000000000u) + ".tmp";
            m_file.reset(new OSFile(m_tempPath.c_str()));
            // A fresh name, never an existing file or link: nothing else is written through it.
            success = m_file->Open(OSFileWrite, OSCreateNew);
        }
    }

    if (!success) {
        m_tempPath.clear();
        if (g_dwPrintFlags & kPrintClass)
            dPrint(kPrintClass, "Missing configuration file '%s'.\n", filename.c_str());
        return;
    }

    // The file was created 0666 less the umask; a new target gets newFileMode less the same umask.
    struct stat created;
    if (!m_targetExists)
        m_mode = ::stat(m_tempPath.c_str(), &created) == 0 ? (newFileMode & created.st_mode & 0777) : 0600;
    // Nobody else may read the content while it is being written.
    ::chmod(m_tempPath.c_str(), 0600);
}

IniWriter::~IniWriter()
{
    if (m_file)
        m_file->Close();
    if (!m_committed && !m_tempPath.empty())
        ::unlink(m_tempPath.c_str());
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
    if (!m_file || !m_file->IsOpen() || m_failed)
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

bool IniWriter::commit()
{
    if (!m_file || !m_file->IsOpen() || m_failed || m_committed)
        return false;
    if (!m_file->Flush()) {
        m_failed = true;
        return false;
    }
    m_file->Close();
    if (m_uid >= 0 && ::chown(m_tempPath.c_str(), uid_t(m_uid), gid_t(m_gid)) != 0)
        (void)!::chown(m_tempPath.c_str(), uid_t(-1), gid_t(m_gid)); // at least the group, where we may
    if (::chmod(m_tempPath.c_str(), m_mode) != 0 || ::rename(m_tempPath.c_str(), m_target.c_str()) != 0)
        return false;
    m_committed = true;
    syncFolder(folderOf(m_target));
    return true;
}

} // namespace Ini
} // namespace Mox
