#include "NameTable.h"

#include <algorithm>
#include <functional>

namespace Mox {
namespace Ini {

std::uint32_t NameTable::hashOf(std::string_view name)
{
    return std::uint32_t(std::hash<std::string_view>()(name));
}

void NameTable::add(std::uint32_t hash, std::uint32_t index)
{
    // At most half full, so that probe runs stay short.
    if (2 * (m_count + 1) > m_slots.size()) {
        std::vector<Slot> old(std::max<std::size_t>(16, 2 * m_slots.size()));
        old.swap(m_slots);
        for (const Slot& slot : old) {
            if (slot.index != kNone)
                place(slot);
        }
    }
    place(Slot{hash, index});
    ++m_count;
}

void NameTable::place(const Slot& slot)
{
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = slot.hash & mask;
    while (m_slots[i].index != kNone)
        i = (i + 1) & mask;
    m_slots[i] = slot;
}

} // namespace Ini
} // namespace Mox
