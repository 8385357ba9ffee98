#include "OSFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {
const std::size_t kBufferSize = 64 * 1024;

int openFlags(OSFileReadWriteMode rwMode, OSFileOpenMode openMode)
{
    int flags = O_CLOEXEC;
    switch (rwMode) {
    case OSFileRead:
        flags |= O_RDONLY;
        break;
    case OSFileWrite:
        flags |= O_WRONLY;
        break;
    default:
        flags |= O_RDWR;
        break;
    }
    switch (openMode) {
    case OSCreateAlways:
    case OSTruncateAlways:
        return flags | O_CREAT | O_TRUNC;
    case OSCreateNew:
        return flags | O_CREAT | O_EXCL;
    case OSOpenAlways:
        return flags | O_CREAT;
    case OSOpenExisting:
        return flags;
    case OSTruncateExisting:
        return flags | O_TRUNC;
    case OSAppendAlways:
        return flags | O_CREAT | O_APPEND;
    case OSAppendExisting:
        return flags | O_APPEND;
    default:
        return -1;
    }
}
} // namespace

const char* OSFile::PseudoFileSystem(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return nullptr;
    static const struct
    {
        unsigned long magic;
        const char* name;
    } pseudo[] = {{PROC_SUPER_MAGIC, "procfs"},     {SYSFS_MAGIC, "sysfs"},
                  {DEBUGFS_MAGIC, "debugfs"},       {TRACEFS_MAGIC, "tracefs"},
                  {SECURITYFS_MAGIC, "securityfs"}, {CGROUP_SUPER_MAGIC, "cgroup"},
                  {CGROUP2_SUPER_MAGIC, "cgroup2"}, {DEVPTS_SUPER_MAGIC, "devpts"},
                  {0x62656570, "configfs"},         {BPF_FS_MAGIC, "bpf"},
                  {PSTOREFS_MAGIC, "pstore"},       {EFIVARFS_MAGIC, "efivarfs"},
                  {SELINUX_MAGIC, "selinuxfs"},     {SMACK_MAGIC, "smackfs"},
                  {BINFMTFS_MAGIC, "binfmt_misc"},  {NSFS_MAGIC, "nsfs"},
                  {0x65735543, "fusectl"}};
    for (const auto& fsType : pseudo) {
        if (static_cast<unsigned long>(fs.f_type) == fsType.magic)
            return fsType.name;
    }
    return nullptr;
}

OSFile::OSFile(const XCHAR* path) : m_path(path ? path : "") {}

OSFile::~OSFile()
{
    Close();
}

XBOOL OSFile::Open(OSFileReadWriteMode rwMode, OSFileOpenMode openMode)
{
    return OpenWithFlags(rwMode, openMode, 0);
}

XBOOL OSFile::OpenWithFlags(OSFileReadWriteMode rwMode, OSFileOpenMode openMode, int extraFlags)
{
    Close();
    const int flags = openFlags(rwMode, openMode);
    if (flags < 0 || m_path.empty())
        return false;
    do {
        m_fd = ::open(m_path.c_str(), flags | extraFlags, 0666);
    } while (m_fd < 0 && errno == EINTR);
    m_failed = false;
    return m_fd >= 0;
}

XBOOL OSFile::Attach(int fd)
{
    Close();
    m_fd = fd;
    m_failed = false;
    return m_fd >= 0;
}

XBOOL OSFile::Read(void* buf, int size, int* count)
{
    *count = 0;
    if (m_fd < 0 || size < 0)
        return false;
    if (!m_writeBuffer.empty() && !writeOut())
        return false;
    if (m_readPos >= m_buffer.size()) {
        m_buffer.resize(kBufferSize);
        ssize_t got;
        do {
            got = ::read(m_fd, m_buffer.data(), kBufferSize);
        } while (got < 0 && errno == EINTR);
        m_buffer.resize(got > 0 ? std::size_t(got) : 0);
        m_readPos = 0;
        if (got < 0)
            return false;
    }
    const std::size_t n = std::min<std::size_t>(std::size_t(size), m_buffer.size() - m_readPos);
    std::memcpy(buf, m_buffer.data() + m_readPos, n);
    m_readPos += n;
    *count = int(n);
    return true;
}

XBOOL OSFile::Write(void* buf, int size, int* count)
{
    *count = 0;
    if (m_fd < 0 || size < 0 || m_failed)
        return false;
    dropReadAhead();
    m_writeBuffer.insert(m_writeBuffer.end(), static_cast<char*>(buf), static_cast<char*>(buf) + size);
    if (m_writeBuffer.size() >= kBufferSize && !writeOut())
        return false;
    *count = size;
    return true;
}

bool OSFile::writeOut()
{
    std::size_t done = 0;
    while (done < m_writeBuffer.size()) {
        const ssize_t n = ::write(m_fd, m_writeBuffer.data() + done, m_writeBuffer.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_failed = true;
            m_writeBuffer.clear();
            return false;
        }
        done += std::size_t(n);
    }
    m_writeBuffer.clear();
    return true;
}

void OSFile::dropReadAhead()
{
    // Bytes read ahead but not handed out must not shift where the next write lands.
    const std::size_t unread = m_buffer.size() - m_readPos;
    if (unread > 0)
        ::lseek(m_fd, -off_t(unread), SEEK_CUR);
    m_buffer.clear();
    m_readPos = 0;
}

XBOOL OSFile::Flush()
{
    if (m_fd < 0 || m_failed)
        return false;
    if (!writeOut())
        return false;
    return ::fsync(m_fd) == 0;
}

void OSFile::Close()
{
    if (m_fd < 0)
        return;
    if (!m_failed)
        writeOut();
    ::close(m_fd);
    m_fd = -1;
    m_buffer.clear();
    m_writeBuffer.clear();
    m_readPos = 0;
}
