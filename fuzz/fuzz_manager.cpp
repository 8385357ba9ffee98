// The managers: whatever a file gives, edited and saved, reads back as the document in memory.
#include "fuzzCommon.h"

#include <memory>

using namespace Mox::Ini;

namespace {
void compareAfterSave(IniManager& manager, const std::string& path, bool unique)
{
    if (!manager.save())
        std::abort();
    bool ok = false;
    std::unique_ptr<IniManager> again;
    if (unique) {
        auto* u = new UniqueKeyIniManager(path, ok);
        again.reset(u);
    } else {
        again.reset(new IniManager(path, ok, true));
    }
    if (!ok || fuzz::dump(*again) != fuzz::dump(manager))
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::writeInput("input.ini", data, size);
    bool ok = false;
    IniManager plain(path, ok, true);
    if (ok) {
        // Edits with text taken from the document itself.
        const SectionList& sections = *plain.getSections();
        if (!sections.empty() && !sections[0]->m_values.empty()) {
            const KeyValue first = *sections[0]->m_values[0];
            const std::string name = sections.back()->m_name;
            plain.setKey(name, first.m_key, first.m_value + "x", true);
            plain.dropKey(sections[0]->m_name, first.m_key);
        }
        plain.setKey("fuzz", "k", "v", false);
        compareAfterSave(plain, path, false);
    }

    fuzz::writeInput("input.ini", data, size);
    UniqueKeyIniManager unique(path, ok);
    if (!ok)
        return 0;
    std::vector<std::string> names;
    unique.getSectionsName(names);
    unique.setAllowedSections(names);
    if (!names.empty()) {
        std::vector<std::string> keys;
        unique.getSectionKeys(names[0], keys);
        std::string old;
        for (std::size_t i = 0; i < keys.size() && i < 4; ++i) {
            unique.setKeySection(keys[i], names.back(), old);
            if (i % 2)
                unique.renameKey(keys[i], keys[i] + "_r");
        }
        unique.addKey("fuzz-new", names[0], "value");
    }
    compareAfterSave(unique, path, true);
    return 0;
}
