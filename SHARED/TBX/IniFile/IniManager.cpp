#include "IniManager.h"

#include "IniReader.h"
#include "IniWriter.h"
#include "ReadIndex.h"

#include <algorithm>
#include <string_view>

namespace Mox {
namespace Ini {

namespace {
Section* findSection(const SectionList& sections, const std::string& name)
{
    for (const auto& section : sections) {
        if (section->m_name == name)
            return section.get();
    }
    return nullptr;
}

template <class Values> auto findKey(Values& values, const std::string& key)
{
    return std::find_if(values.begin(), values.end(),
                        [&key](const std::unique_ptr<KeyValue>& pair) { return pair->m_key == key; });
}

std::vector<std::unique_ptr<KeyValue>>::iterator findKey(Section& section, const std::string& key)
{
    return findKey(section.m_values, key);
}

// The first pair with this key in document order, and its section.
KeyValue* findUniqueKey(const SectionList& sections, const std::string& key, Section** holder = nullptr)
{
    for (const auto& section : sections) {
        const auto it = findKey(*section, key);
        if (it != section->m_values.end()) {
            if (holder)
                *holder = section.get();
            return it->get();
        }
    }
    return nullptr;
}

} // namespace

IniManager::IniManager(const std::string& filename, bool& success, bool canOverwrite)
    : m_filename(filename), m_canOverwrite(canOverwrite), m_sections(new SectionList)
{
    success = read();
}

IniManager::~IniManager() = default;

bool IniManager::checkSection(const std::string& sectionName) const
{
    return !sectionName.empty();
}

bool IniManager::read()
{
    m_readError.clear();
    bool ok = false;
    IniReader reader(m_filename, ok);
    if (!ok) {
        m_readError = "it " + reader.openError();
        return false;
    }

    // The rules of addSection and setKey, with the lookups of ReadIndex.
    ReadIndex index(*m_sections);
    const auto sectionFor = [&](std::string_view name) -> Section* {
        if (Section* found = index.section(name))
            return found;
        std::string owned(name);
        if (!checkSection(owned))
            return nullptr;
        m_sections->emplace_back(new Section(std::move(owned)));
        index.added();
        return m_sections->back().get();
    };
    // A line handed out has been counted: it is the one before the reader's next.
    const auto failAt = [&](int line, const std::string& why) {
        m_readError = "line " + std::to_string(line) + ": " + why;
        return false;
    };
    const auto notAllowed = [](std::string_view section, const char* ifEmpty) {
        return section.empty() ? std::string(ifEmpty)
                               : "the section [" + std::string(section) + "] is not allowed";
    };

    std::string_view key, value, section;
    bool success = true;
    for (;;) {
        bool sectionChanged = false, dataChanged = false;
        if (!reader.next(success, key, value, section, sectionChanged, dataChanged) || !success)
            break;
        if (dataChanged) {
            Section* target = sectionFor(section);
            if (!target)
                return failAt(reader.getLine() - 1, notAllowed(section, "a key before the first section"));
            if (KeyValue* pair = index.pair(target, key)) {
                if (!m_canOverwrite)
                    return failAt(reader.getLine() - 1, "the key " + std::string(key) + " repeats in [" +
                                                            std::string(section) + "]");
                pair->m_value.assign(value);
            } else {
                target->m_values.emplace_back(new KeyValue(std::string(key), std::string(value)));
            }
        } else if (sectionChanged && !sectionFor(section)) {
            return failAt(reader.getLine() - 1, notAllowed(section, "an empty section name []"));
        }
    }
    if (!success)
        return failAt(reader.getLine(), "not a section, a key=value line or a comment");
    return true;
}

bool IniManager::write()
{
    bool ok = false;
    IniWriter writer(m_filename, ok, m_newFileMode, m_newFileUid, m_newFileGid);
    if (!ok)
        return false;
    for (std::size_t i = 0; i < m_sections->size(); ++i) {
        const Section& section = *(*m_sections)[i];
        if (i > 0)
            writer.addVoidLine();
        writer.addSection(section.m_name);
        for (const auto& pair : section.m_values)
            writer.addKeyValue(pair->m_key, pair->m_value);
    }
    return writer.commit();
}

bool IniManager::save()
{
    return write();
}

bool IniManager::reload()
{
    std::unique_ptr<SectionList> previous(std::move(m_sections));
    m_sections.reset(new SectionList);
    if (read())
        return true;
    m_sections = std::move(previous);
    return false;
}

std::unique_ptr<SectionList> IniManager::copySections() const
{
    std::unique_ptr<SectionList> copy(new SectionList);
    for (const auto& section : *m_sections) {
        copy->emplace_back(new Section(section->m_name));
        for (const auto& pair : section->m_values)
            copy->back()->m_values.emplace_back(new KeyValue(pair->m_key, pair->m_value));
    }
    return copy;
}

void IniManager::restoreSections(std::unique_ptr<SectionList> sections)
{
    if (sections)
        m_sections = std::move(sections);
}

std::vector<KeyValue*> IniManager::getSectionValues(const std::string& sectionName, bool& success) const
{
    std::vector<KeyValue*> values;
    const Section* section = findSection(*m_sections, sectionName);
    success = section != nullptr;
    if (section) {
        for (const auto& pair : section->m_values)
            values.push_back(pair.get());
    }
    return values;
}

bool IniManager::getValue(const std::string& sectionName, const std::string& key, std::string& value) const
{
    Section* section = findSection(*m_sections, sectionName);
    if (!section)
        return false;
    const auto it = findKey(*section, key);
    if (it == section->m_values.end())
        return false;
    value = (*it)->m_value;
    return true;
}

bool IniManager::addSection(const std::string& sectionName)
{
    if (!checkSection(sectionName))
        return false;
    if (!findSection(*m_sections, sectionName))
        m_sections->emplace_back(new Section(sectionName));
    return true;
}

bool IniManager::setKey(const std::string& sectionName, const std::string& key, const std::string& value,
                        bool canRewriteOld)
{
    Section* section = findSection(*m_sections, sectionName);
    if (section) {
        const auto it = findKey(*section, key);
        if (it != section->m_values.end()) {
            if (!canRewriteOld)
                return false;
            (*it)->m_value = value;
            return true;
        }
    } else {
        if (!checkSection(sectionName))
            return false;
        m_sections->emplace_back(new Section(sectionName));
        section = m_sections->back().get();
    }
    section->m_values.emplace_back(new KeyValue(key, value));
    return true;
}

void IniManager::dropKey(const std::string& sectionName, const std::string& keyName)
{
    Section* section = findSection(*m_sections, sectionName);
    if (!section)
        return;
    const auto it = findKey(*section, keyName);
    if (it != section->m_values.end())
        section->m_values.erase(it);
}

void IniManager::dropSection(const std::string& sectionName)
{
    const auto it =
        std::find_if(m_sections->begin(), m_sections->end(),
                     [&sectionName](const std::unique_ptr<Section>& s) { return s->m_name == sectionName; });
    if (it != m_sections->end())
        m_sections->erase(it);
}

StrictIniManager::StrictIniManager(const std::string& filename, bool& success)
    : IniManager(filename, success, false)
{}

bool StrictIniManager::checkSection(const std::string& sectionName) const
{
    return std::find(m_allowedSections.begin(), m_allowedSections.end(), sectionName) !=
           m_allowedSections.end();
}

void StrictIniManager::setAllowedSections(std::vector<std::string> sections)
{
    m_allowedSections = std::move(sections);
}

UniqueKeyIniManager::UniqueKeyIniManager(const std::string& filename, bool& success)
    : StrictIniManager(filename, success)
{}

UniqueKeyIniManager::~UniqueKeyIniManager() = default;

bool UniqueKeyIniManager::reload()
{
    return IniManager::reload();
}

bool UniqueKeyIniManager::save()
{
    return IniManager::save();
}

void UniqueKeyIniManager::setAllowedSections(std::vector<std::string> sections)
{
    StrictIniManager::setAllowedSections(std::move(sections));
    for (const std::string& name : m_allowedSections)
        addSection(name);
}

UKIMResult UniqueKeyIniManager::addKey(const std::string& key, const std::string& sectionName,
                                       const std::string& value)
{
    if (m_sections->empty())
        return UKIMResult_MissingSection;
    if (findUniqueKey(*m_sections, key))
        return UKIMResult_ExistingKey;
    Section* section = findSection(*m_sections, sectionName);
    if (!section)
        return UKIMResult_MissingSection;
    section->m_values.emplace_back(new KeyValue(key, value));
    return UKIMResult_Good;
}

UKIMResult UniqueKeyIniManager::setKeyValue(const std::string& key, const std::string& value,
                                            std::string& oldValue)
{
    KeyValue* pair = findUniqueKey(*m_sections, key);
    if (!pair)
        return UKIMResult_MissingKey;
    oldValue = pair->m_value;
    pair->m_value = value;
    return UKIMResult_Good;
}

UKIMResult UniqueKeyIniManager::setKeySection(const std::string& key, const std::string& sectionName,
                                              std::string& oldSectionName)
{
    if (m_sections->empty())
        return UKIMResult_MissingKey;
    Section* from = nullptr;
    if (!findUniqueKey(*m_sections, key, &from))
        return UKIMResult_MissingKey;
    oldSectionName = from->m_name;
    if (from->m_name == sectionName)
        return UKIMResult_Good;
    Section* to = findSection(*m_sections, sectionName);
    if (!to)
        return UKIMResult_MissingSection;
    // A file may hold the key in two sections; moving one onto the other would make the file unreadable.
    if (findKey(*to, key) != to->m_values.end())
        return UKIMResult_ExistingKey;
    const auto it = findKey(*from, key);
    std::unique_ptr<KeyValue> pair = std::move(*it);
    from->m_values.erase(it);
    to->m_values.push_back(std::move(pair));
    return UKIMResult_Good;
}

UKIMResult UniqueKeyIniManager::getKeySectionAndValue(const std::string& key, std::string& sectionName,
                                                      std::string& value) const
{
    Section* section = nullptr;
    const KeyValue* pair = findUniqueKey(*m_sections, key, &section);
    if (!pair)
        return UKIMResult_MissingKey;
    sectionName = section->m_name;
    value = pair->m_value;
    return UKIMResult_Good;
}

UKIMResult UniqueKeyIniManager::dropKey(const std::string& key, std::string& oldValue,
                                        std::string& oldSection)
{
    Section* section = nullptr;
    if (!findUniqueKey(*m_sections, key, &section))
        return UKIMResult_MissingKey;
    const auto it = findKey(*section, key);
    oldValue = (*it)->m_value;
    oldSection = section->m_name;
    section->m_values.erase(it);
    return UKIMResult_Good;
}

UKIMResult UniqueKeyIniManager::renameKey(const std::string& oldKey, std::string newKey)
{
    if (oldKey == newKey)
        return UKIMResult_Good;
    if (m_sections->empty())
        return UKIMResult_MissingKey;
    if (findUniqueKey(*m_sections, newKey))
        return UKIMResult_ExistingKey;
    KeyValue* pair = findUniqueKey(*m_sections, oldKey);
    if (!pair)
        return UKIMResult_MissingKey;
    pair->m_key = std::move(newKey);
    return UKIMResult_Good;
}

bool UniqueKeyIniManager::getSectionKeys(const std::string& section, std::vector<std::string>& keys) const
{
    keys.clear();
    const Section* found = findSection(*m_sections, section);
    if (!found)
        return false;
    for (const auto& pair : found->m_values)
        keys.push_back(pair->m_key);
    return true;
}

bool UniqueKeyIniManager::getSectionsName(std::vector<std::string>& sectionsName) const
{
    sectionsName.clear();
    for (const auto& section : *m_sections)
        sectionsName.push_back(section->m_name);
    return true;
}

} // namespace Ini
} // namespace Mox
