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

// Several stores, in this and other processes, may share one file. Each change runs under a lock on the
// file's folder; when another store saved since this one read the file, the change is made on the file's
// content as it is now. A file that was there and has gone is not made again from memory.
class IniAuth
{
public:
    IniAuth(const std::string& filename, bool& success, std::string salt);
    ~IniAuth();

    IniAuth(const IniAuth&) = delete;
    IniAuth& operator=(const IniAuth&) = delete;

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
    // Role, name and password (when not null; encoded for the new name) in one save. Every check comes
    // before any change; when one fails or the save fails, file and store stay as they were.
    AuthRoleCode updateUser(const std::string& oldName, const std::string& newName, AuthRole role,
                            const std::string* password);

    // Owner and group of the file when a change has to create it (see IniManager::setNewFileOwner).
    void setNewFileOwner(long uid, long gid) { m_iniManager.setNewFileOwner(uid, gid); }

    bool reload();
    const std::string& getFilename() const { return m_iniManager.getFilename(); }
    // Why the last read of the file failed ("line 3: ..."), empty when it did not.
    const std::string& getReadError() const { return m_iniManager.getReadError(); }
    // Sections of the file that are no role, in file order: their users log in as no one.
    std::vector<std::string> getUnknownSections() const;
    // The users of the known roles, in file order; sections that are no role are skipped.
    AuthRoleCode getListOfUsers(std::vector<User>& userList) const;

private:
    // The file as this store last read or saved it. The descriptor keeps its inode from being reused, so
    // another file at the path never looks like this one.
    struct FileIdentity
    {
        int fd = -1;
        bool exists = false;
        unsigned long long dev = 0, ino = 0;
        long long size = 0, mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
    };
    enum FileState
    {
        eFile_AsSeen,
        eFile_Changed,
        eFile_Gone
    };

    IniAuth(const std::string& filename, bool& success, std::string salt, int lockFd);
    static FileIdentity identify(const std::string& path);
    FileState fileState() const;
    void remember(FileIdentity identity);
    template <class Change> AuthRoleCode transact(Change change);

    std::string encodePassword(const std::string& username, const std::string& password) const;

    std::string m_target; // the path saves write, links followed
    FileIdentity m_seen;  // taken before the read, so that a save in between shows as a change
    UniqueKeyIniManager m_iniManager;
    std::string m_salt;

    static const std::string s_stringCodes[eAuthRoleCode_Last];
};

} // namespace Ini
} // namespace Mox
