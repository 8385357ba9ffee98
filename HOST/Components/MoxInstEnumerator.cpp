#include "MoxInstEnumerator.h"

#include <cstdio>

namespace {
const char kBuiltInTag[] = "MOX_2_50_9_10679";

// The formatters share one 32-byte buffer limit: longer output is cut at 31 characters.
template <typename... Args> std::string format32(const char* format, Args... args)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}
} // namespace

MoxInstInstance::MoxInstInstance()
{
    Clear();
}

MoxInstInstance::MoxInstInstance(std::string tag) : MoxInstInstance()
{
    Assign(std::move(tag));
}

void MoxInstInstance::Clear()
{
    VerMajor = VerMinor = VerRelease = VerRevision = -1;
    Valid = Active = Latest = false;
    Version.clear();
    VerPlatform.clear();
    FullPath.clear();
    OpcUaDefaultConfigPath.clear();
    CoreFullPath.clear();
    CoreDefaultConfigPath.clear();
    OpensslDir.clear();
}

bool MoxInstInstance::Assign(std::string tag)
{
    Clear();
    Version = tag;
    char platform[31] = "";
    const int converted = std::sscanf(tag.c_str(), "MOX_%d_%d_%d_%d_%30s", &VerMajor, &VerMinor, &VerRelease,
                                      &VerRevision, platform);
    if (converted < 4)
        return false;
    Valid = true;
    VerPlatform = converted == 5 ? platform : "";
    return true;
}

std::string MoxInstInstance::VerStr() const
{
    return Valid ? format32("%d.%d.%d.%d", VerMajor, VerMinor, VerRelease, VerRevision) : std::string();
}

std::string MoxInstInstance::VerStrUn() const
{
    return Valid ? format32("%d_%d_%d_%d", VerMajor, VerMinor, VerRelease, VerRevision) : std::string();
}

std::string MoxInstInstance::VerStrLong() const
{
    return Valid
               ? format32("%d.%d.%d.%d %s", VerMajor, VerMinor, VerRelease, VerRevision, VerPlatform.c_str())
               : std::string();
}

bool MoxInstInstance::SetOpcUaDefaultConfigPath(std::string)
{
    return false;
}

bool MoxInstInstance::SetOpenSslPath(std::string)
{
    return false;
}

IMoxInstEnumerator::~IMoxInstEnumerator() = default;

MoxInstInstance* IMoxInstEnumerator::Find(const std::string& version, const std::string& fullPath)
{
    for (MoxInstInstance& instance : Installs) {
        if (instance.Version == version && instance.FullPath == fullPath)
            return &instance;
    }
    return nullptr;
}

MoxLInstEnumerator::~MoxLInstEnumerator() = default;

bool MoxLInstEnumerator::Refresh()
{
    InstActive = nullptr;
    // clear() keeps the capacity, so the one element lands at the same address on every refresh.
    Installs.clear();
    MoxInstInstance instance(kBuiltInTag);
    instance.Active = true;
    instance.Latest = true;
    instance.CoreDefaultConfigPath = "/mox/moxcore/exec.mox";
    instance.CoreFullPath = "/usr/bin/MoxCore";
    instance.FullPath.clear();
    instance.OpcUaDefaultConfigPath = "/mox/OpcUa/MoxOpcUa.ini";
    instance.OpensslDir = "/mox/OpenSSL";
    Installs.push_back(instance);
    InstActive = &Installs.front();
    return true;
}
