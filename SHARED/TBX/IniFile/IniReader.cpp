#include "IniReader.h"

#include "DPrint.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Mox {
namespace Ini {

namespace {
const XDWORD kPrintClass = 16;
// Configuration and users files are small; anything larger is not one of ours.
const long long kMaxFileSize = 64LL * 1024 * 1024;
} // namespace

EnumMask::EnumMask(std::size_t size) : m_mask(0), m_size(size) {}

void EnumMask::add(std::uint32_t item)
{
    if (item < 32)
        m_mask |= std::uint32_t(1) << item;
}

void EnumMask::remove(std::uint32_t item)
{
    if (item < 32)
        m_mask &= ~(std::uint32_t(1) << item);
}

bool EnumMask::isFilled(std::uint32_t item) const
{
    return item < 32 && (m_mask & (std::uint32_t(1) << item)) != 0;
}

void EnumMask::reset()
{
    m_mask = 0;
}

std::vector<std::uint32_t> EnumMask::getFilled() const
{
    std::vector<std::uint32_t> filled;
    for (std::uint32_t i = 0; i < 32 && i < m_size; ++i) {
        if (isFilled(i))
            filled.push_back(i);
    }
    return filled;
}

IniReader::IniReader(const std::string& filename, bool& success) : m_file(filename.c_str())
{
    success = false;
    // Non-blocking, so that a FIFO cannot stop us in open; the checks below refuse it anyway.
    if (!m_file.OpenWithFlags(OSFileRead, OSOpenExisting, O_NONBLOCK | O_NOCTTY)) {
        m_openError = std::string("cannot be opened: ") + std::strerror(errno);
        if (g_dwPrintFlags & kPrintClass)
            dPrint(kPrintClass, "Missing configuration file '%s'.\n", filename.c_str());
        return;
    }
    long long size = 0;
    m_openError = refusal(m_file.GetHandle(), size);
    success = m_openError.empty() && load(m_file.GetHandle(), size);
    if (!success && (g_dwPrintFlags & kPrintClass))
        dPrint(kPrintClass, "'%s' %s.\n", filename.c_str(), m_openError.c_str());
    m_file.Close(); // all of it is in memory now
}

IniReader::~IniReader()
{
    m_file.Close();
}

std::string IniReader::refusal(int fd, long long& size) const
{
    // Only a regular file has an end: a device such as /dev/zero would be read forever, and so would a
    // file of a pseudo file system such as /proc/kmsg, whatever size it claims.
    struct stat st;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0)
        return "is not a regular file";
    if (const char* pseudo = OSFile::PseudoFileSystem(fd))
        return std::string("lies on ") + pseudo + ", a pseudo file system";
    if (st.st_size > kMaxFileSize)
        return "is larger than 64 MB";
    if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return std::string("cannot be read: ") + std::strerror(errno);
    size = st.st_size;
    return std::string();
}

bool IniReader::load(int fd, long long size)
{
    // One read of the size fstat gave; the byte beyond it shows whether the file grew meanwhile.
    std::size_t capacity = std::size_t(size) + 1;
    m_text.reset(new char[capacity]);
    for (;;) {
        if (m_size == capacity) {
            if (capacity > std::size_t(kMaxFileSize)) {
                m_openError = "is larger than 64 MB";
                return false;
            }
            capacity = std::min(2 * capacity, std::size_t(kMaxFileSize) + 1);
            std::unique_ptr<char[]> larger(new char[capacity]);
            std::memcpy(larger.get(), m_text.get(), m_size);
            m_text = std::move(larger);
        }
        const ssize_t got = ::read(fd, m_text.get() + m_size, capacity - m_size);
        if (got == 0)
            break;
        if (got < 0 && errno != EINTR) {
            m_openError = std::string("cannot be read: ") + std::strerror(errno);
            return false;
        }
        m_size += got > 0 ? std::size_t(got) : 0;
    }
    // Lines before the first NUL need no look for one.
    m_nul = find('\0', 0);
    m_cr = find('\r', 0);
    m_lf = find('\n', 0);
    return true;
}

std::size_t IniReader::find(char c, std::size_t from) const
{
    const void* at = std::memchr(m_text.get() + from, c, m_size - from);
    return at ? std::size_t(static_cast<const char*>(at) - m_text.get()) : m_size;
}

std::size_t IniReader::lineEnd(std::size_t& next)
{
    // A line ends at LF, CR LF or CR alone. The next CR and the next LF are looked for again only once the
    // lines have passed them, so each byte is searched about once for each.
    if (m_cr < m_pos)
        m_cr = find('\r', m_pos);
    if (m_lf < m_pos)
        m_lf = find('\n', m_pos);
    const std::size_t end = std::min(m_cr, m_lf);
    next = end < m_size ? end + 1 : end;
    if (end == m_cr && next < m_size && m_text[next] == '\n')
        ++next;
    return end;
}

bool IniReader::fail(bool& success)
{
    if (g_dwPrintFlags & kPrintClass)
        dPrint(kPrintClass, "Invalid structure in INI file '%s' on line %d.\n", m_file.GetPathName(),
               int(m_line));
    m_invalid = true;
    success = false;
    return false;
}

bool IniReader::next(bool& success, std::string_view& key, std::string_view& value, std::string_view& section,
                     bool& bSectionChanged, bool& dataChanged)
{
    success = !m_invalid;
    bSectionChanged = false;
    dataChanged = false;
    while (!m_invalid && m_pos < m_size) {
        std::size_t next = 0;
        const std::size_t end = lineEnd(next);
        const char* line = m_text.get() + m_pos;
        const std::size_t length = end - m_pos;
        // A NUL would cut the text wherever it is handled as a C string, so its line is refused.
        const bool nul = m_nul < end;
        if (!nul && length >= 2 && line[0] == '[' && line[length - 1] == ']') {
            if (bSectionChanged)
                return true; // a second header waits for the next call, uncounted
            section = std::string_view(line + 1, length - 2);
            bSectionChanged = true;
        } else if (nul || (length > 0 && line[0] != ';')) {
            const char* equals = nul ? nullptr : static_cast<const char*>(std::memchr(line, '=', length));
            if (!equals)
                return fail(success);
            key = std::string_view(line, std::size_t(equals - line));
            value = std::string_view(equals + 1, std::size_t(line + length - equals - 1));
            dataChanged = true;
        }
        ++m_line;
        m_pos = next;
        if (dataChanged)
            return true;
    }
    return bSectionChanged;
}

bool IniReader::read(bool& success, std::string& key, std::string& value, std::string& section,
                     bool& bSectionChanged, bool& dataChanged)
{
    std::string_view k, v, s;
    if (!next(success, k, v, s, bSectionChanged, dataChanged))
        return false;
    if (bSectionChanged)
        section.assign(s);
    if (dataChanged) {
        key.assign(k);
        value.assign(v);
    }
    return true;
}

XDWORD IniReader::parseUInt(const std::string& value)
{
    long long number = std::strtoll(value.c_str(), nullptr, 10);
    if (number > INT32_MAX)
        number = INT32_MAX;
    else if (number < INT32_MIN)
        number = INT32_MIN;
    return XDWORD(std::int32_t(number));
}

bool IniReader::parseBool(const std::string& value, bool& result)
{
    if (value == "Y" || value == "YES" || value == "ON") {
        result = true;
        return true;
    }
    if (value == "N" || value == "NO" || value == "OFF") {
        result = false;
        return true;
    }
    return false;
}

bool IniReader::validateUriPart(const std::string& value)
{
    for (const unsigned char c : value) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '_' && c != '-')
            return false;
    }
    return true;
}

bool IniReader::getFolderOfFile(const std::string& filePath, std::string& folder)
{
    const std::size_t size = filePath.size();
    if (size < 2)
        return false;
    const auto isSeparator = [](char c) { return c == '/' || c == '\\'; };
    if (isSeparator(filePath[size - 1])) {
        folder = filePath.substr(0, size - 1);
        return true;
    }
    for (std::size_t i = size - 2; i >= 1; --i) {
        if (isSeparator(filePath[i])) {
            folder = filePath.substr(0, i);
            return true;
        }
    }
    return false;
}

bool IniReader::parseArray(const std::string& value, std::vector<std::string>& fields)
{
    if (value.size() < 2 || value.front() != '[' || value.back() != ']')
        return false;
    fields.clear();
    const std::string inner = value.substr(1, value.size() - 2);
    if (inner.empty())
        return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = inner.find(',', start);
        const std::string piece =
            inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (piece.empty())
            return false;
        fields.push_back(piece);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool IniReader::parseSectionName(const std::string& sectionName, std::vector<std::string>& subsectionTree)
{
    subsectionTree.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = sectionName.find(':', start);
        const std::string piece =
            sectionName.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (piece.empty())
            return false;
        subsectionTree.push_back(piece);
        if (colon == std::string::npos)
            return true;
        start = colon + 1;
    }
}

bool IniReader::getIndexInField(const std::string& value, const std::string* options, int optionsLength,
                                std::int32_t& index)
{
    for (int i = 0; i < optionsLength; ++i) {
        if (options[i] == value) {
            index = i;
            return true;
        }
    }
    return false;
}

bool IniReader::getFields(const std::vector<std::string>& value, const std::string* options,
                          int optionsLength, EnumMask& mask)
{
    for (const std::string& item : value) {
        std::int32_t index = 0;
        if (!getIndexInField(item, options, optionsLength, index))
            return false;
        mask.add(std::uint32_t(index));
    }
    return true;
}

} // namespace Ini
} // namespace Mox
