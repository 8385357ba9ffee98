// The lookups of a document's reading.
#pragma once

#include "IniManager.h"
#include "NameTable.h"

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Mox {
namespace Ini {

// A linear search per line would make reading quadratic in the number of sections, or of keys in one section.
// Sections are found by hash; so are the keys of large sections, and the keys of a small one are matched by
// their hashes, kept for the section being filled, before their names are compared. The first of equal names
// wins, as in a linear search. Records are not moved or renamed while a read runs.
class ReadIndex
{
public:
    explicit ReadIndex(const SectionList& sections);

    Section* section(std::string_view name);
    // Takes in the section last added to the list.
    void added();
    // The pair of that key, or nullptr: then the caller appends the key to the section.
    KeyValue* pair(const Section* section, std::string_view key);

private:
    static const std::size_t kSearchInPlace = 32;
    std::string_view nameAt(std::uint32_t i) const { return m_list[i]->m_name; }
    KeyValue* largePair(const Section* section, std::string_view key, std::uint32_t hash);

    const SectionList& m_list;
    NameTable m_sections;
    Section* m_last = nullptr;
    const Section* m_filling = nullptr; // the small section whose key hashes m_hashes holds
    std::vector<std::uint32_t> m_hashes;
    std::unordered_map<const Section*, NameTable> m_large;
};

} // namespace Ini
} // namespace Mox
