// Installed runtime instances and the enumerator that names the active one.
#pragma once

#include <string>
#include <vector>

// One installed runtime instance: its version tag and the paths of its installation.
class MoxInstInstance
{
public:
    MoxInstInstance();
    explicit MoxInstInstance(std::string tag);

    void Clear();
    // Parses a tag "MOX_<major>_<minor>_<release>_<revision>[_<platform>]"; true when it held the four
    // numbers.
    bool Assign(std::string tag);

    std::string VerStr() const;     // "2.50.9.10679"
    std::string VerStrUn() const;   // "2_50_9_10679"
    std::string VerStrLong() const; // "2.50.9.10679 <platform>"

    // Paths are fixed per instance; these change nothing.
    bool SetOpcUaDefaultConfigPath(std::string path);
    bool SetOpenSslPath(std::string path);

    std::string Version;
    int VerMajor;
    int VerMinor;
    int VerRelease;
    int VerRevision;
    std::string VerPlatform;
    bool Valid;
    bool Active;
    bool Latest;
    std::string FullPath;
    std::string OpensslDir;
    std::string OpcUaDefaultConfigPath;
    std::string CoreFullPath;
    std::string CoreDefaultConfigPath;
};

class IMoxInstEnumerator
{
public:
    IMoxInstEnumerator() = default;
    virtual ~IMoxInstEnumerator();

    IMoxInstEnumerator(const IMoxInstEnumerator&) = delete;
    IMoxInstEnumerator& operator=(const IMoxInstEnumerator&) = delete;

    // Rebuilds Installs and the active instance.
    virtual bool Refresh() = 0;
    // An element of Installs, or null.
    MoxInstInstance* GetActiveInstance() const { return InstActive; }
    // The element of Installs with this version tag and folder, or null. A refresh may rebuild the list in
    // other storage: whoever holds an instance across one takes it again through this.
    MoxInstInstance* Find(const std::string& version, const std::string& fullPath);

protected:
    MoxInstInstance* InstActive = nullptr;

public:
    std::vector<MoxInstInstance> Installs;
};

// Linux: exactly one built-in instance with fixed paths under /mox.
class MoxLInstEnumerator : public IMoxInstEnumerator
{
public:
    MoxLInstEnumerator() = default;
    ~MoxLInstEnumerator() override;

    bool Refresh() override;
};
