// The OPC UA server's users: one INI section per role, one line per user with a salted password hash.
#pragma once

#include "IniManager.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Mox {
namespace Ini {

enum AuthRole : std::int32_t
{
    eAuthRole_None = -1,
    eAuthRole_Admin = 0,
    eAuthRole_Operator = 1,
    eAuthRole_Guest = 2,
    eAuthRole_Last = 3
};

enum AuthRoleCode
{
    eAuthRoleCode_Good = 0,
    eAuthRoleCode_BadPasswordWrongLength = 1,
    eAuthRoleCode_BadUsernameWrongLength = 2,
    eAuthRoleCode_BadCannotSaveFile = 3,
    eAuthRoleCode_BadUserDoesNotExist = 4,
    eAuthRoleCode_BadAlreadyExist = 5,
    eAuthRoleCode_BadUnknownRole = 6,
    eAuthRoleCode_BadUnknownError = 7,
    eAuthRoleCode_BadInvalidUsername = 8,
    eAuthRoleCode_Last = 9
};

class User
{
public:
    User() = default;
    User(std::string name, AuthRole role) : m_name(std::move(name)), m_role(role) {}

    std::string m_name;
    AuthRole m_role = eAuthRole_None;
};

class IniAuth
{
public:
    IniAuth(const std::string& filename, bool& success, std::string salt);
    ~IniAuth();

    static bool isGood(AuthRoleCode code) { return code == eAuthRoleCode_Good; }
    static bool isBad(AuthRoleCode code) { return !isGood(code); }
    static std::string getCodeMessage(AuthRoleCode code);

    void setSalt(std::string salt);
    // The user's role when the password matches, else eAuthRole_None.
    AuthRole getRole(const std::string& username, const std::string& password) const;

    // Every change is saved at once; when the save fails it is undone and eAuthRoleCode_BadCannotSaveFile
    // returned.
    AuthRoleCode addUser(const std::string& username, const std::string& password, AuthRole role);
    AuthRoleCode renameUser(const std::string& oldUsername, const std::string& newUsername);
    AuthRoleCode setUserRole(const std::string& username, AuthRole role);
    AuthRoleCode setPassword(const std::string& username, const std::string& password);
    AuthRoleCode removeUser(const std::string& username);
    // Role, name and password (encoded for the new name; null keeps the stored value) in one save.
    AuthRoleCode updateUser(const std::string& oldName, const std::string& newName, AuthRole role,
                            const std::string* password);

    bool reload();
    AuthRoleCode getListOfUsers(std::vector<User>& userList) const;

private:
    std::string encodePassword(const std::string& username, const std::string& password) const;

    UniqueKeyIniManager m_iniManager;
    std::string m_salt;

    static const std::string s_stringCodes[eAuthRoleCode_Last];
};

} // namespace Ini
} // namespace Mox
