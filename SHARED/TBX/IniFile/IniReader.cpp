#include "IniReader.h"

#include "DPrint.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace Mox {
namespace Ini {

namespace {
const XDWORD kPrintClass = 16;
const int kBlockSize = 200;
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

IniReader::IniReader(const std::string& filename, bool& success)
    : m_file(filename.c_str()), m_line(1), m_endOnCR(false), m_equals(std::string::npos)
{
    success = true;
    // Non-blocking, so that a FIFO cannot stop us in open; the checks below refuse it anyway.
    if (!m_file.OpenWithFlags(OSFileRead, OSOpenExisting, O_NONBLOCK | O_NOCTTY)) {
        success = false;
        m_openError = std::string("cannot be opened: ") + std::strerror(errno);
        if (g_dwPrintFlags & kPrintClass)
            dPrint(kPrintClass, "Missing configuration file '%s'.\n", filename.c_str());
        return;
    }
    // Only a regular file has an end: a device such as /dev/zero would be read forever, and so would a
    // file of a pseudo file system such as /proc/kmsg, whatever size it claims.
    const int fd = m_file.GetHandle();
    struct stat st;
    const int flags = ::fcntl(fd, F_GETFL);
    const char* pseudo = nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0) {
        m_openError = "is not a regular file";
    } else if ((pseudo = OSFile::PseudoFileSystem(fd)) != nullptr) {
        m_openError = std::string("lies on ") + pseudo + ", a pseudo file system";
    } else if (st.st_size > kMaxFileSize) {
        m_openError = "is larger than 64 MB";
    } else if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        m_openError = std::string("cannot be read: ") + std::strerror(errno);
    }
    if (!m_openError.empty()) {
        if (g_dwPrintFlags & kPrintClass)
            dPrint(kPrintClass, "'%s' %s.\n", filename.c_str(), m_openError.c_str());
        success = false;
        m_file.Close();
    }
}

IniReader::~IniReader()
{
    m_file.Close();
}

bool IniReader::read(bool& success, std::string& key, std::string& value, std::string& section,
                     bool& bSectionChanged, bool& dataChanged)
{
    success = true;
    bSectionChanged = false;
    dataChanged = false;
    if (m_invalid) {
        success = false;
        return false;
    }
    bool invalid = false;
    if (scan(key, value, section, bSectionChanged, dataChanged, invalid))
        return true;
    if (invalid) {
        success = false;
        return false;
    }

    char block[kBlockSize];
    for (;;) {
        int count = 0;
        if (!m_file.Read(block, kBlockSize, &count) || count <= 0)
            break;
        m_total += count;
        if (m_total > kMaxFileSize) {
            // The file grew while it was read.
            if (g_dwPrintFlags & kPrintClass)
                dPrint(kPrintClass, "'%s' is larger than 64 MB.\n", m_file.GetPathName());
            m_invalid = true;
            success = false;
            return false;
        }
        appendToBuffer(block, std::size_t(count));
        if (scan(key, value, section, bSectionChanged, dataChanged, invalid))
            return true;
        if (invalid) {
            success = false;
            return false;
        }
    }

    // End of file: the last line needs no line end.
    if (m_start < m_buffer.size()) {
        appendToBuffer("\r\n", 2);
        if (scan(key, value, section, bSectionChanged, dataChanged, invalid))
            return true;
        if (invalid)
            success = false;
    }
    return false;
}

void IniReader::appendToBuffer(const char* text, std::size_t count)
{
    // Drop consumed text once it makes up most of the buffer, so each byte is moved a bounded number of
    // times.
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_scanned = 0;
        m_start = 0;
    } else if (m_start > 4096 && m_start > m_buffer.size() / 2) {
        m_buffer.erase(0, m_start);
        m_scanned -= m_start;
        if (m_equals != std::string::npos)
            m_equals -= m_start;
        m_start = 0;
    }
    m_buffer.append(text, count); // every byte, NUL too: the line that holds it is refused
}

bool IniReader::scan(std::string& key, std::string& value, std::string& section, bool& bSectionChanged,
                     bool& dataChanged, bool& invalid)
{
    const std::size_t npos = std::string::npos;
    const std::size_t size = m_buffer.size();
    if (m_start >= size)
        return false;
    if (m_endOnCR && m_buffer[m_start] == '\n') {
        // The LF of a CR LF pair that was split between two reads.
        ++m_start;
        m_scanned = m_start;
    }
    m_endOnCR = false;

    const char* data = m_buffer.data();
    std::size_t lineStart = m_start;
    std::size_t pos = m_scanned > lineStart ? m_scanned : lineStart;
    std::size_t equals = m_equals;
    bool nul = m_nul;
    bool tookHeader = false;

    while (pos < size) {
        const char c = data[pos];
        if (c == '=' && equals == npos) {
            equals = pos++;
            continue;
        }
        if (c == '\0')
            nul = true;
        if (c != '\r' && c != '\n') {
            ++pos;
            continue;
        }

        const std::size_t lineEnd = pos;
        std::size_t next = pos + 1;
        bool crAtEnd = false;
        if (c == '\r') {
            if (next < size) {
                if (data[next] == '\n')
                    ++next;
            } else {
                crAtEnd = true;
            }
        }

        const std::size_t length = lineEnd - lineStart;
        // A NUL would cut the text wherever it is handled as a C string, so its line is refused.
        if (!nul && length > 0 && data[lineStart] == '[' && data[lineEnd - 1] == ']' && length >= 2) {
            if (tookHeader)
                break; // a second header waits for the next call, uncounted
            section.assign(data + lineStart + 1, length - 2);
            bSectionChanged = true;
            tookHeader = true;
        } else if (nul || (length > 0 && data[lineStart] != ';')) {
            if (equals == npos || nul) {
                if (g_dwPrintFlags & kPrintClass)
                    dPrint(kPrintClass, "Invalid structure in INI file '%s' on line %d.\n",
                           m_file.GetPathName(), int(m_line));
                m_invalid = true;
                invalid = true;
                return false;
            }
            key.assign(data + lineStart, equals - lineStart);
            value.assign(data + equals + 1, lineEnd - equals - 1);
            dataChanged = true;
        }

        ++m_line;
        m_endOnCR = crAtEnd;
        lineStart = next;
        pos = next;
        equals = npos;
        nul = false;
        if (dataChanged)
            break;
    }

    m_start = lineStart;
    m_scanned = pos > lineStart ? pos : lineStart;
    m_equals = equals;
    m_nul = nul;
    return tookHeader || dataChanged;
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
