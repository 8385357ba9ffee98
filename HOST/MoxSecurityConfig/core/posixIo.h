// The few POSIX pieces every part of the core that works on descriptors needs: one owner of a descriptor,
// one full write and one error text, so they cannot drift apart between files.
#pragma once

#include <QByteArray>
#include <QString>

#include <cerrno>

namespace PosixIo {

// Owns a descriptor and closes it once.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset();

private:
    int m_fd;
};

// strerror's text in the locale's encoding.
QString errorText(int error = errno);

// Writes all of data, retrying after signals. On failure errno says why: a write that makes no progress is
// ENOSPC, so a full disk is never mistaken for success.
bool writeAll(int fd, const QByteArray& data);

} // namespace PosixIo
