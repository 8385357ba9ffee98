#include "ReadIndex.h"

namespace Mox {
namespace Ini {

ReadIndex::ReadIndex(const SectionList& sections) : m_list(sections)
{
    for (std::uint32_t i = 0; i < sections.size(); ++i) {
        const std::uint32_t hash = NameTable::hashOf(nameAt(i));
        if (m_sections.find(nameAt(i), hash, [this](std::uint32_t at) { return nameAt(at); }) ==
            NameTable::kNone)
            m_sections.add(hash, i);
    }
}

Section* ReadIndex::section(std::string_view name)
{
    if (m_last && m_last->m_name == name)
        return m_last; // the usual case: the next pair of the current section
    const std::uint32_t i =
        m_sections.find(name, NameTable::hashOf(name), [this](std::uint32_t at) { return nameAt(at); });
    return i == NameTable::kNone ? nullptr : (m_last = m_list[i].get());
}

void ReadIndex::added()
{
    // A new section: its name was not found.
    const std::uint32_t i = std::uint32_t(m_list.size() - 1);
    m_sections.add(NameTable::hashOf(nameAt(i)), i);
    m_last = m_list[i].get();
}

KeyValue* ReadIndex::pair(const Section* section, std::string_view key)
{
    const auto& values = section->m_values;
    const std::uint32_t hash = NameTable::hashOf(key);
    if (values.size() > kSearchInPlace)
        return largePair(section, key, hash);
    if (m_filling != section || m_hashes.size() != values.size()) {
        m_filling = section;
        m_hashes.clear();
        for (const auto& pair : values)
            m_hashes.push_back(NameTable::hashOf(pair->m_key));
    }
    for (std::size_t i = 0; i < m_hashes.size(); ++i) {
        if (m_hashes[i] == hash && values[i]->m_key == key)
            return values[i].get();
    }
    m_hashes.push_back(hash);
    return nullptr;
}

KeyValue* ReadIndex::largePair(const Section* section, std::string_view key, std::uint32_t hash)
{
    const auto& values = section->m_values;
    const auto keyAt = [&values](std::uint32_t at) { return std::string_view(values[at]->m_key); };
    NameTable& keys = m_large[section];
    for (std::uint32_t i = std::uint32_t(keys.size()); i < values.size(); ++i) {
        const std::uint32_t h = NameTable::hashOf(keyAt(i));
        if (keys.find(keyAt(i), h, keyAt) == NameTable::kNone)
            keys.add(h, i);
    }
    const std::uint32_t i = keys.find(key, hash, keyAt);
    return i == NameTable::kNone ? nullptr : values[i].get();
}

} // namespace Ini
} // namespace Mox
