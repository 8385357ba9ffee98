// The users store: a users file, then operations; after them the file reads back as the store's list.
// Input: the file's bytes, a line "--", then three bytes per operation (operation, name, role or password).
#include "IniAuth.h"
#include "fuzzCommon.h"

#include <cstring>
#include <vector>

using namespace Mox::Ini;

namespace {
const std::string kNames[] = {
    "a", "ab", "root", "op", "a=b", ";x", "[G]", "user1", std::string("n\0b", 3), "n23456789012345678901"};
const std::string kPasswords[] = {"1234", "12345", "secret1", std::string(30, 'p'), std::string(31, 'p')};

std::string list(const IniAuth& auth)
{
    std::vector<User> users;
    std::string text = std::to_string(auth.getListOfUsers(users));
    for (const User& user : users)
        text +=
            "|" + std::to_string(user.m_name.size()) + ":" + user.m_name + ":" + std::to_string(user.m_role);
    return text;
}
// The role a login by this name gets, from its first entry; Last when the list cannot tell, because a
// section that is no role, which the list leaves out, may hold the name first.
AuthRole roleOf(const IniAuth& auth, const std::string& name)
{
    std::vector<User> users;
    if (auth.getListOfUsers(users) != eAuthRoleCode_Good || !auth.getUnknownSections().empty())
        return eAuthRole_Last;
    for (const User& user : users) {
        if (user.m_name == name)
            return user.m_role;
    }
    return eAuthRole_None;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* const separator = "\n--\n";
    const std::uint8_t* end = data + size;
    const std::uint8_t* split = static_cast<const std::uint8_t*>(memmem(data, size, separator, 4));
    const std::size_t fileSize = split ? std::size_t(split - data) : size;
    const std::string path = fuzz::writeInput("users.ini", data, fileSize);
    const std::uint8_t* op = split ? split + 4 : end;

    bool ok = false;
    IniAuth auth(path, ok, "salt");
    bool saved = false;
    const std::size_t nameCount = sizeof kNames / sizeof kNames[0];
    for (; end - op >= 3; op += 3) {
        const std::string& name = kNames[op[1] % nameCount];
        const std::string& other = kNames[(op[1] / nameCount) % nameCount];
        const std::string& password = kPasswords[op[2] % 5];
        const AuthRole role = AuthRole(int(op[2] % 5) - 1);
        AuthRoleCode code = eAuthRoleCode_BadUnknownError;
        switch (op[0] % 6) {
        case 0:
            code = auth.addUser(name, password, role);
            break;
        case 1:
            code = auth.renameUser(name, other);
            break;
        case 2:
            code = auth.setUserRole(name, role);
            break;
        case 3:
            code = auth.setPassword(name, password);
            break;
        case 4:
            code = auth.removeUser(name);
            break;
        default:
            code = auth.updateUser(name, other, role, op[0] & 8 ? &password : nullptr);
            break;
        }
        // The folder is ours, so every save of a file that read cleanly must work; a file that did not read
        // is refused rather than overwritten with what was read of it.
        if (code == eAuthRoleCode_BadCannotSaveFile && ok)
            std::abort();
        saved = saved || code == eAuthRoleCode_Good;
        // The password just stored logs in.
        if (code == eAuthRoleCode_Good && op[0] % 6 == 0 && auth.getRole(name, password) != role)
            std::abort();
        if (code == eAuthRoleCode_Good && op[0] % 6 == 3 && roleOf(auth, name) != eAuthRole_Last &&
            auth.getRole(name, password) != roleOf(auth, name))
            std::abort();
    }
    if (ok || saved) {
        IniAuth again(path, ok, "salt");
        if (list(again) != list(auth))
            std::abort();
    }
    return 0;
}
