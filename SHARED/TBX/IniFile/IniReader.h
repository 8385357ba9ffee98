// Reading INI files item by item, and parsing of the values they hold.
#pragma once

#include "GTypes.h"
#include "OSFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Mox {
namespace Ini {

// A set of indexes 0 to 31.
class EnumMask
{
public:
    explicit EnumMask(std::size_t size);
    virtual ~EnumMask() = default;
    EnumMask(const EnumMask&) = default;
    EnumMask& operator=(const EnumMask&) = default;

    void add(std::uint32_t item);
    void remove(std::uint32_t item);
    bool isFilled(std::uint32_t item) const;
    virtual void reset();
    // Every index below the size whose bit is set, ascending.
    std::vector<std::uint32_t> getFilled() const;

private:
    std::uint32_t m_mask;
    std::size_t m_size;
};

class IniReader
{
public:
    IniReader(const std::string& filename, bool& success);
    ~IniReader();

    IniReader(const IniReader&) = delete;
    IniReader& operator=(const IniReader&) = delete;

    // Hands out the next section header and/or key/value line. False with success true at the end of the
    // file, false with success false at an invalid line.
    bool read(bool& success, std::string& key, std::string& value, std::string& section,
              bool& bSectionChanged, bool& dataChanged);
    std::int32_t getLine() const { return m_line; }
    // Why the file could not be opened for reading ("lies on procfs, a pseudo file system"); empty when
    // it was.
    const std::string& openError() const { return m_openError; }

    static XDWORD parseUInt(const std::string& value);
    static bool parseBool(const std::string& value, bool& result);
    static bool validateUriPart(const std::string& value);
    static bool getFolderOfFile(const std::string& filePath, std::string& folder);
    static bool parseArray(const std::string& value, std::vector<std::string>& fields);
    static bool parseSectionName(const std::string& sectionName, std::vector<std::string>& subsectionTree);
    static bool getIndexInField(const std::string& value, const std::string* options, int optionsLength,
                                std::int32_t& index);
    static bool getFields(const std::vector<std::string>& value, const std::string* options,
                          int optionsLength, EnumMask& mask);

private:
    // Hands out what the buffered complete lines hold; sets invalid at an invalid line.
    bool scan(std::string& key, std::string& value, std::string& section, bool& bSectionChanged,
              bool& dataChanged, bool& invalid);
    void appendToBuffer(const char* text, std::size_t count);

    OSFile m_file;
    std::string m_buffer;
    std::int32_t m_line;
    bool m_endOnCR;
    // Reading stays linear in the file's size, also for very long lines: consumed text is dropped from the
    // buffer's front only now and then, and an unfinished line is not walked again when more text arrives.
    std::size_t m_start = 0;   // first byte of m_buffer not yet consumed
    std::size_t m_scanned = 0; // the unfinished line has been walked up to here
    std::size_t m_equals;      // first "=" of the unfinished line, or npos
    bool m_invalid = false;    // an invalid line was reported; nothing after it is read
    bool m_nul = false;        // the unfinished line holds a NUL byte
    long long m_total = 0;     // bytes read so far
    std::string m_openError;
};

} // namespace Ini
} // namespace Mox
