#include "IniAuth.h"

#include "CMD5.h"

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
    return name.find_first_of("=\r\n") == std::string::npos && (name.empty() || name[0] != ';');
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
    : m_iniManager(filename, success), m_salt(std::move(salt))
{
    m_iniManager.setAllowedSections({kRoleSections[0], kRoleSections[1], kRoleSections[2]});
    // The file holds password hashes: only its owner may read it.
    m_iniManager.setNewFileMode(0600);
}

IniAuth::~IniAuth() = default;

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
}

AuthRoleCode IniAuth::renameUser(const std::string& oldUsername, const std::string& newUsername)
{
    if (newUsername.size() < 2 || newUsername.size() > 20)
        return eAuthRoleCode_BadUsernameWrongLength;
    if (!isStorableName(newUsername))
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
}

AuthRoleCode IniAuth::setUserRole(const std::string& username, AuthRole role)
{
    std::string section;
    if (!sectionOfRole(role, section))
        return eAuthRoleCode_BadUnknownRole;
    std::string previous;
    if (!UniqueKeyIniManager::isGood(m_iniManager.setKeySection(username, section, previous)))
        return eAuthRoleCode_BadUserDoesNotExist;
    if (m_iniManager.save())
        return eAuthRoleCode_Good;
    std::string ignored;
    m_iniManager.setKeySection(username, previous, ignored);
    return eAuthRoleCode_BadCannotSaveFile;
}

AuthRoleCode IniAuth::setPassword(const std::string& username, const std::string& password)
{
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
}

AuthRoleCode IniAuth::removeUser(const std::string& username)
{
    std::string value, section;
    if (!UniqueKeyIniManager::isGood(m_iniManager.dropKey(username, value, section)))
        return eAuthRoleCode_BadUserDoesNotExist;
    if (m_iniManager.save())
        return eAuthRoleCode_Good;
    m_iniManager.addKey(username, section, value);
    return eAuthRoleCode_BadCannotSaveFile;
}

AuthRoleCode IniAuth::updateUser(const std::string& oldName, const std::string& newName, AuthRole role,
                                 const std::string* password)
{
    // Interim: step by step until the transactional version lands.
    AuthRoleCode code = setUserRole(oldName, role);
    if (isGood(code) && newName != oldName)
        code = renameUser(oldName, newName);
    if (isGood(code) && password)
        code = setPassword(newName, *password);
    return code;
}

bool IniAuth::reload()
{
    return m_iniManager.reload();
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
        const AuthRole role = roleOfSection(section);
        if (role == eAuthRole_None)
            return eAuthRoleCode_BadUnknownRole;
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
