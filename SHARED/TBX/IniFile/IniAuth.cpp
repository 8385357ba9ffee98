#include "IniAuth.h"

#include "CMD5.h"
#include "IniWriter.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Mox {
namespace Ini {

namespace {
const char* const kRoleSections[] = {"ADMIN", "OPERATOR", "GUEST"};
const char kPepper[] = "9f3361mxta";

bool sectionOfRole(AuthRole role, std::string& section)
{
    if (role < eAuthRole_Admin || role >= eAuthRole_Last)
        return false;
    section = kRoleSections[role];
    return true;
}

std::vector<std::string> roleSectionList()
{
    return {kRoleSections[0], kRoleSections[1], kRoleSections[2]};
}

AuthRole roleOfSection(const std::string& section)
{
    for (int role = eAuthRole_Admin; role < eAuthRole_Last; ++role) {
        if (section == kRoleSections[role])
            return AuthRole(role);
    }
    return eAuthRole_None;
}

// A name the file cannot hold would read back as another user, or break the file.
bool isStorableName(const std::string& name)
{
    static const std::string kUnstorable("=\r\n\0", 4);
    return name.find_first_of(kUnstorable) == std::string::npos && (name.empty() || name[0] != ';');
}

// A name that opens with '[' stored with a value that ends with ']' would read back as a section header.
bool isStorableEntry(const std::string& name, const std::string& value)
{
    return isStorableName(name) &&
           !(!name.empty() && name[0] == '[' && !value.empty() && value.back() == ']');
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Serialises the writers of one file. The lock is on the folder, which is there anyway: a lock file would
// be left behind. Released by closing the descriptor; -1 when the folder cannot be opened.
int lockFolderOf(const std::string& path)
{
    const int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int result;
    do {
        result = ::flock(fd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

const std::string IniAuth::s_stringCodes[eAuthRoleCode_Last] = {
    "Everything is OK.",
    "Password have to be between 5 and 30 characters length.",
    "Username have to be between 2 and 20 characters length.",
    "Changes cannot be written to INI file.",
    "User does not exist.",
    "User already exist.",
    "Unknown role.",
    "Unknown error.",
    "Username contains characters that cannot be stored.",
};

IniAuth::IniAuth(const std::string& filename, bool& success, std::string salt)
    : IniAuth(filename, success, std::move(salt), lockFolderOf(IniWriter::finalTarget(filename)))
{}

// lockFd is held while the members are made, so that the file is not replaced between identify and read.
IniAuth::IniAuth(const std::string& filename, bool& success, std::string salt, int lockFd)
    : m_target(IniWriter::finalTarget(filename)), m_seen(identify(m_target)), m_iniManager(filename, success),
      m_salt(std::move(salt))
{
    if (lockFd >= 0)
        ::close(lockFd);
    m_iniManager.setAllowedSections(roleSectionList());
    // The file holds password hashes: only its owner may read it.
    m_iniManager.setNewFileMode(0600);
}

IniAuth::~IniAuth()
{
    if (m_seen.fd >= 0)
        ::close(m_seen.fd);
}

IniAuth::FileIdentity IniAuth::identify(const std::string& path)
{
    FileIdentity identity;
    identity.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (identity.fd < 0 || ::fstat(identity.fd, &st) != 0) {
        // Missing, or there but not for us to open: tell the two apart by the name alone.
        identity.exists = ::stat(path.c_str(), &st) == 0;
        if (identity.fd >= 0)
            ::close(identity.fd);
        identity.fd = -1;
        if (!identity.exists)
            return identity;
    }
    identity.exists = true;
    identity.dev = st.st_dev;
    identity.ino = st.st_ino;
    identity.size = st.st_size;
    identity.mtimeSec = st.st_mtim.tv_sec;
    identity.mtimeNsec = st.st_mtim.tv_nsec;
    identity.ctimeSec = st.st_ctim.tv_sec;
    identity.ctimeNsec = st.st_ctim.tv_nsec;
    return identity;
}

void IniAuth::remember(FileIdentity identity)
{
    if (m_seen.fd >= 0)
        ::close(m_seen.fd);
    m_seen = identity;
}

IniAuth::FileState IniAuth::fileState() const
{
    const FileIdentity now = identify(m_target);
    if (now.fd >= 0)
        ::close(now.fd);
    if (!now.exists)
        return m_seen.exists ? eFile_Gone : eFile_AsSeen;
    const bool same = m_seen.exists && m_seen.fd >= 0 && now.dev == m_seen.dev && now.ino == m_seen.ino &&
                      now.size == m_seen.size && now.mtimeSec == m_seen.mtimeSec &&
                      now.mtimeNsec == m_seen.mtimeNsec && now.ctimeSec == m_seen.ctimeSec &&
                      now.ctimeNsec == m_seen.ctimeNsec;
    return same ? eFile_AsSeen : eFile_Changed;
}

// Runs one change with the file locked. change checks, changes memory, saves, and undoes the change in
// memory when the save fails; it sees the file's current content.
template <class Change> AuthRoleCode IniAuth::transact(Change change)
{
    const int lock = lockFolderOf(m_target);
    if (lock < 0)
        return eAuthRoleCode_BadCannotSaveFile;
    AuthRoleCode code = eAuthRoleCode_BadCannotSaveFile;
    switch (fileState()) {
    case eFile_Gone:
        break; // deleted on purpose, maybe: not ours to bring back
    case eFile_Changed: {
        FileIdentity fresh = identify(m_target);
        if (!m_iniManager.reload()) {
            if (fresh.fd >= 0)
                ::close(fresh.fd);
            break;
        }
        remember(fresh);
        m_iniManager.setAllowedSections(roleSectionList()); // a role the file lost can be given again
        code = change();
        break;
    }
    case eFile_AsSeen:
        code = change();
        break;
    }
    if (code == eAuthRoleCode_Good)
        remember(identify(m_target));
    ::close(lock);
    return code;
}

std::string IniAuth::getCodeMessage(AuthRoleCode code)
{
    if (code < eAuthRoleCode_Good || code >= eAuthRoleCode_Last)
        code = eAuthRoleCode_BadUnknownError;
    return s_stringCodes[code];
}

void IniAuth::setSalt(std::string salt)
{
    m_salt = std::move(salt);
}

AuthRole IniAuth::getRole(const std::string& username, const std::string& password) const
{
    std::string section, stored;
    if (!UniqueKeyIniManager::isGood(m_iniManager.getKeySectionAndValue(username, section, stored)))
        return eAuthRole_None;
    const AuthRole role = roleOfSection(section);
    if (role == eAuthRole_None || stored != encodePassword(username, password))
        return eAuthRole_None;
    return role;
}

AuthRoleCode IniAuth::addUser(const std::string& username, const std::string& password, AuthRole role)
{
    return transact([&] {
        std::string section;
        if (!sectionOfRole(role, section))
            return eAuthRoleCode_BadUnknownRole;
        if (!isStorableName(username))
            return eAuthRoleCode_BadInvalidUsername;
        if (!UniqueKeyIniManager::isGood(
                m_iniManager.addKey(username, section, encodePassword(username, password))))
            return eAuthRoleCode_BadAlreadyExist;
        if (m_iniManager.save())
            return eAuthRoleCode_Good;
        std::string value, oldSection;
        m_iniManager.dropKey(username, value, oldSection);
        return eAuthRoleCode_BadCannotSaveFile;
    });
}

AuthRoleCode IniAuth::renameUser(const std::string& oldUsername, const std::string& newUsername)
{
    return transact([&] {
        if (newUsername.size() < 2 || newUsername.size() > 20)
            return eAuthRoleCode_BadUsernameWrongLength;
        std::string section, stored;
        const bool exists =
            UniqueKeyIniManager::isGood(m_iniManager.getKeySectionAndValue(oldUsername, section, stored));
        if (!isStorableEntry(newUsername, exists ? stored : std::string()))
            return eAuthRoleCode_BadInvalidUsername;
        const UKIMResult result = m_iniManager.renameKey(oldUsername, newUsername);
        if (result == UKIMResult_ExistingKey)
            return eAuthRoleCode_BadAlreadyExist;
        if (!UniqueKeyIniManager::isGood(result))
            return eAuthRoleCode_BadUserDoesNotExist;
        if (m_iniManager.save())
            return eAuthRoleCode_Good;
        m_iniManager.renameKey(newUsername, oldUsername);
        return eAuthRoleCode_BadCannotSaveFile;
    });
}

AuthRoleCode IniAuth::setUserRole(const std::string& username, AuthRole role)
{
    return transact([&] {
        std::string section;
        if (!sectionOfRole(role, section))
            return eAuthRoleCode_BadUnknownRole;
        std::string previous;
        const UKIMResult moved = m_iniManager.setKeySection(username, section, previous);
        if (moved == UKIMResult_ExistingKey)
            return eAuthRoleCode_BadAlreadyExist; // the role holds the name already
        if (!UniqueKeyIniManager::isGood(moved))
            return eAuthRoleCode_BadUserDoesNotExist;
        if (m_iniManager.save())
            return eAuthRoleCode_Good;
        std::string ignored;
        m_iniManager.setKeySection(username, previous, ignored);
        return eAuthRoleCode_BadCannotSaveFile;
    });
}

AuthRoleCode IniAuth::setPassword(const std::string& username, const std::string& password)
{
    return transact([&] {
        if (password.size() < 5 || password.size() > 30)
            return eAuthRoleCode_BadPasswordWrongLength;
        std::string previous;
        if (!UniqueKeyIniManager::isGood(
                m_iniManager.setKeyValue(username, encodePassword(username, password), previous)))
            return eAuthRoleCode_BadUserDoesNotExist;
        if (m_iniManager.save())
            return eAuthRoleCode_Good;
        std::string ignored;
        m_iniManager.setKeyValue(username, previous, ignored);
        return eAuthRoleCode_BadCannotSaveFile;
    });
}

AuthRoleCode IniAuth::removeUser(const std::string& username)
{
    return transact([&] {
        std::string value, section;
        if (!UniqueKeyIniManager::isGood(m_iniManager.dropKey(username, value, section)))
            return eAuthRoleCode_BadUserDoesNotExist;
        if (m_iniManager.save())
            return eAuthRoleCode_Good;
        m_iniManager.addKey(username, section, value);
        return eAuthRoleCode_BadCannotSaveFile;
    });
}

AuthRoleCode IniAuth::updateUser(const std::string& oldName, const std::string& newName, AuthRole role,
                                 const std::string* password)
{
    return transact([&] {
        std::string section, oldSection, stored;
        if (!sectionOfRole(role, section))
            return eAuthRoleCode_BadUnknownRole;
        if (!UniqueKeyIniManager::isGood(m_iniManager.getKeySectionAndValue(oldName, oldSection, stored)))
            return eAuthRoleCode_BadUserDoesNotExist;
        const bool renamed = newName != oldName;
        if (renamed) {
            if (newName.size() < 2 || newName.size() > 20)
                return eAuthRoleCode_BadUsernameWrongLength;
            if (!isStorableEntry(newName, password ? std::string() : stored))
                return eAuthRoleCode_BadInvalidUsername;
            if (UniqueKeyIniManager::isGood(m_iniManager.getKeySectionAndValue(newName, oldSection, stored)))
                return eAuthRoleCode_BadAlreadyExist;
        }
        if (password && (password->size() < 5 || password->size() > 30))
            return eAuthRoleCode_BadPasswordWrongLength;

        // Undoing step by step would move the user to the end of its section; the copy puts back the order.
        // Each step takes the name's first entry: renamed first, a name a hand-edited file holds twice has
        // every step on one entry.
        std::unique_ptr<SectionList> before = m_iniManager.copySections();
        std::string ignored;
        if (renamed)
            m_iniManager.renameKey(oldName, newName);
        if (password)
            m_iniManager.setKeyValue(newName, encodePassword(newName, *password), ignored);
        if (!UniqueKeyIniManager::isGood(m_iniManager.setKeySection(newName, section, ignored))) {
            m_iniManager.restoreSections(std::move(before));
            return eAuthRoleCode_BadAlreadyExist; // the role holds the name already
        }
        if (m_iniManager.save())
            return eAuthRoleCode_Good;
        m_iniManager.restoreSections(std::move(before));
        return eAuthRoleCode_BadCannotSaveFile;
    });
}

std::vector<std::string> IniAuth::getUnknownSections() const
{
    std::vector<std::string> sections, unknown;
    m_iniManager.getSectionsName(sections);
    for (const std::string& section : sections) {
        if (roleOfSection(section) == eAuthRole_None)
            unknown.push_back(section);
    }
    return unknown;
}

bool IniAuth::reload()
{
    const int lock = lockFolderOf(m_target);
    FileIdentity fresh = identify(m_target);
    const bool ok = m_iniManager.reload();
    if (ok) {
        remember(fresh);
        m_iniManager.setAllowedSections(roleSectionList());
    } else if (fresh.fd >= 0)
        ::close(fresh.fd);
    if (lock >= 0)
        ::close(lock);
    return ok;
}

AuthRoleCode IniAuth::getListOfUsers(std::vector<User>& userList) const
{
    userList.clear();
    std::vector<std::string> sections;
    if (!m_iniManager.getSectionsName(sections))
        return eAuthRoleCode_BadUnknownError;
    for (const std::string& section : sections) {
        std::vector<std::string> keys;
        if (!m_iniManager.getSectionKeys(section, keys))
            return eAuthRoleCode_BadUnknownError;
        // A section that is no role is named by getUnknownSections; it must not hide the users after it.
        const AuthRole role = roleOfSection(section);
        if (role == eAuthRole_None)
            continue;
        for (std::string& key : keys)
            userList.emplace_back(std::move(key), role);
    }
    return eAuthRoleCode_Good;
}

std::string IniAuth::encodePassword(const std::string& username, const std::string& password) const
{
    std::string text;
    while (text.size() < 64)
        text += password + username + m_salt + kPepper;
    text.resize(64);

    XBYTE digest[16] = {};
    MD5 md5;
    md5.Clear();
    md5.Encrypt(reinterpret_cast<const XBYTE*>(text.data()), digest);

    std::string letters;
    letters.reserve(32);
    for (const XBYTE byte : digest) {
        letters += char('A' + (byte & 0x0F));
        letters += char('A' + (byte >> 4));
    }
    return letters;
}

} // namespace Ini
} // namespace Mox
