// Reading INI files item by item, and parsing of the values they hold.
#pragma once

#include "GTypes.h"
#include "OSFile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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
    // Reads the whole file at once; success is false when it cannot be read (see openError).
    IniReader(const std::string& filename, bool& success);
    ~IniReader();

    IniReader(const IniReader&) = delete;
    IniReader& operator=(const IniReader&) = delete;

    // Hands out the next section header and/or key/value line. False with success true at the end of the
    // file, false with success false at an invalid line.
    bool read(bool& success, std::string& key, std::string& value, std::string& section,
              bool& bSectionChanged, bool& dataChanged);
    // As read, without copies: the views point into the reader's text and stay valid as long as it lives.
    bool next(bool& success, std::string_view& key, std::string_view& value, std::string_view& section,
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
    // Empty when the descriptor is a regular file of a real file system, at most 64 MB long (its size is
    // then in size); else why it is refused.
    std::string refusal(int fd, long long& size) const;
    bool load(int fd, long long size);
    // The first c at or after from, or m_size.
    std::size_t find(char c, std::size_t from) const;
    // The end of the line that starts at m_pos, and where the next one starts.
    std::size_t lineEnd(std::size_t& next);
    bool fail(bool& success);

    OSFile m_file;
    std::unique_ptr<char[]> m_text; // the whole file, every byte, NUL too: the line that holds it is refused
    std::size_t m_size = 0;
    std::size_t m_pos = 0; // first byte of the next line
    std::size_t m_nul = 0; // first NUL of the text, or m_size
    std::size_t m_cr = 0;  // first CR at or after m_pos, or m_size
    std::size_t m_lf = 0;  // first LF at or after m_pos, or m_size
    std::int32_t m_line = 1;
    bool m_invalid = false; // an invalid line was reported; nothing after it is read
    std::string m_openError;
};

} // namespace Ini
} // namespace Mox
