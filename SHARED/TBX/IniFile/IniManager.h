// INI documents in memory: the plain manager, the variant restricted to allowed sections, and the variant in
// which every key name is unique across the whole document.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Mox {
namespace Ini {

class KeyValue
{
public:
    KeyValue(std::string key, std::string value) : m_key(std::move(key)), m_value(std::move(value)) {}

    std::string m_key;
    std::string m_value;
};

class Section
{
public:
    explicit Section(std::string name) : m_name(std::move(name)) {}

    std::string m_name;
    std::vector<std::unique_ptr<KeyValue>> m_values;
};

typedef std::vector<std::unique_ptr<Section>> SectionList;

class IniManager
{
private:
    // True when a section of this name may be added.
    virtual bool checkSection(const std::string& sectionName) const;

protected:
    // Adds the file's content to the document.
    virtual bool read();
    // Writes the whole document to the file; false when the file was left unchanged.
    virtual bool write();

public:
    IniManager(const std::string& filename, bool& success, bool canOverwrite);
    virtual ~IniManager();

    IniManager(const IniManager&) = delete;
    IniManager& operator=(const IniManager&) = delete;

    // Re-reads the file; on failure the previous content stays.
    virtual bool reload();
    virtual bool save();

    // Valid until the next successful reload or the manager's end.
    const SectionList* getSections() const { return m_sections.get(); }
    // The section's records, still owned by the manager.
    std::vector<KeyValue*> getSectionValues(const std::string& sectionName, bool& success) const;
    bool getValue(const std::string& sectionName, const std::string& key, std::string& value) const;

    bool addSection(const std::string& sectionName);
    bool setKey(const std::string& sectionName, const std::string& key, const std::string& value,
                bool canRewriteOld);
    void dropKey(const std::string& sectionName, const std::string& keyName);
    void dropSection(const std::string& sectionName);

    // Permission bits of the file when a save has to create it (default 0666), whatever the umask.
    void setNewFileMode(unsigned mode) { m_newFileMode = mode; }
    // Owner and group of the file when a save has to create it; -1 leaves the one it is created with.
    // Where the process may not give it away, it keeps what it can (the group, or neither).
    void setNewFileOwner(long uid, long gid)
    {
        m_newFileUid = uid;
        m_newFileGid = gid;
    }

    const std::string& getFilename() const { return m_filename; }
    // Why the last read failed, for the user: "line 7: ..." or what is wrong with the file; empty after a
    // read that succeeded.
    const std::string& getReadError() const { return m_readError; }
    // A copy of the document, to put back with restoreSections when a change has to be undone whole.
    std::unique_ptr<SectionList> copySections() const;
    void restoreSections(std::unique_ptr<SectionList> sections);

protected:
    std::string m_filename;
    bool m_canOverwrite;
    std::unique_ptr<SectionList> m_sections;
    unsigned m_newFileMode = 0666;
    long m_newFileUid = -1;
    long m_newFileGid = -1;
    std::string m_readError;
};

// Admits new sections only from a list of allowed names.
class StrictIniManager : public IniManager
{
protected:
    bool checkSection(const std::string& sectionName) const override;

public:
    StrictIniManager(const std::string& filename, bool& success);

    virtual void setAllowedSections(std::vector<std::string> sections);

protected:
    std::vector<std::string> m_allowedSections;
};

enum UKIMResult
{
    UKIMResult_Good = 0,
    UKIMResult_MissingKey = 1,
    UKIMResult_ExistingKey = 2,
    UKIMResult_MissingSection = 3
};

// Every key name stands in only one section, so keys are found, moved and removed by name alone.
class UniqueKeyIniManager : public StrictIniManager
{
public:
    UniqueKeyIniManager(const std::string& filename, bool& success);
    ~UniqueKeyIniManager() override;

    bool reload() override;
    bool save() override;
    // Also adds every allowed section the document lacks, empty, in list order.
    void setAllowedSections(std::vector<std::string> sections) override;

    static bool isGood(UKIMResult result) { return result == UKIMResult_Good; }

    UKIMResult addKey(const std::string& key, const std::string& sectionName, const std::string& value);
    UKIMResult setKeyValue(const std::string& key, const std::string& value, std::string& oldValue);
    UKIMResult setKeySection(const std::string& key, const std::string& sectionName,
                             std::string& oldSectionName);
    UKIMResult getKeySectionAndValue(const std::string& key, std::string& sectionName,
                                     std::string& value) const;
    using IniManager::dropKey;
    UKIMResult dropKey(const std::string& key, std::string& oldValue, std::string& oldSection);
    UKIMResult renameKey(const std::string& oldKey, std::string newKey);
    bool getSectionKeys(const std::string& section, std::vector<std::string>& keys) const;
    bool getSectionsName(std::vector<std::string>& sectionsName) const;
};

} // namespace Ini
} // namespace Mox
