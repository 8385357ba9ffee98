#include "core/actionRules.h"

#include "core/configSnapshot.h"

ActionRules::Lock ActionRules::lock(Problem::Concern concern, Action action)
{
    using C = Problem::Concern;
    using A = Action;
    switch (concern) {
    case C::Configuration:
        // Paths from a configuration that is missing or unreadable may be anyone's.
        return Lock::Always;
    case C::Setting:
        // Writing the missing value is the mend; users and client certificates need only their own paths,
        // which their commands check. A folder deletion would not know every file to keep, and a new OPC UA
        // pair needs every setting. The rest acts on paths that are configured: forcing it is safe.
        if (action == A::SetConfig || action == A::ManageUsers || action == A::ChangeTrust ||
            action == A::CreateFolders)
            return Lock::None;
        return action == A::DeleteFolders || action == A::GenerateOpcUa ? Lock::Always : Lock::Forcible;
    case C::OpenSsl:
        return action == A::GenerateOpcUa || action == A::GenerateCore ? Lock::Always : Lock::None;
    case C::UsersFile:
    case C::UsersSection:
        // A user written into a file the users table cannot show would never appear there.
        return action == A::ManageUsers ? Lock::Always : Lock::None;
    case C::OpcUaKey:
    case C::OpcUaPair:
    case C::CorePair:
        // Deleting or replacing the pair, or writing the pass phrase, mends it; nothing else needs the key.
        return Lock::None;
    }
    return Lock::Always;
}

ActionRules::ActionRules(const ConfigSnapshot& snapshot)
{
    for (int a = 0; a < s_actionCount; ++a) {
        Verdict& v = m_verdicts[size_t(a)];
        bool forcible = true;
        for (const Problem& error : snapshot.errors) {
            const Lock l = lock(error.concern, Action(a));
            if (l == Lock::None)
                continue;
            if (v.allowed)
                v.why = error;
            v.allowed = false;
            forcible = forcible && l == Lock::Forcible;
        }
        v.forcible = !v.allowed && forcible;
    }
}
