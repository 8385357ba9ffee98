// Names by hash for the reading of a document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace Mox {
namespace Ini {

// Open addressing over a power-of-two table of (hash, index) pairs: no name costs an allocation, and a probe
// compares the stored hash before it touches the record. The records are the caller's, found by index;
// nothing is removed, so indexes stay valid.
class NameTable
{
public:
    static const std::uint32_t kNone = UINT32_MAX;

    static std::uint32_t hashOf(std::string_view name);
    std::size_t size() const { return m_count; }

    // The index of the first record added under name, or kNone; nameOf(index) gives a record's name.
    template <class NameOf>
    std::uint32_t find(std::string_view name, std::uint32_t hash, const NameOf& nameOf) const
    {
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t i = hash & mask; !m_slots.empty(); i = (i + 1) & mask) {
            const Slot& slot = m_slots[i];
            if (slot.index == kNone)
                break;
            if (slot.hash == hash && nameOf(slot.index) == name)
                return slot.index;
        }
        return kNone;
    }

    // Adds a name that find did not find.
    void add(std::uint32_t hash, std::uint32_t index);

private:
    struct Slot
    {
        std::uint32_t hash = 0;
        std::uint32_t index = kNone;
    };

    void place(const Slot& slot);

    std::vector<Slot> m_slots;
    std::size_t m_count = 0;
};

} // namespace Ini
} // namespace Mox
