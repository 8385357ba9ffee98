#include "core/actionRules.h"

#include "core/configSnapshot.h"
#include "core/writeAccess.h"

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
        // No force makes a file writable; the user first needs the rights, then the errors still count.
        v.unwritable = unwritable(snapshot, Action(a));
        if (v.unwritable.isEmpty())
            continue;
        v.allowed = v.forcible = false;
        v.why = unwritableProblem(v.unwritable);
        for (const QString& path : std::as_const(v.unwritable))
            if (!m_unwritable.contains(path))
                m_unwritable << path;
    }
}

Problem ActionRules::unwritableProblem(const QStringList& paths)
{
    return Problem{tr("This user cannot write what this changes: run it as an administrator."),
                   paths.join(QStringLiteral(", "))};
}

ActionRules::Verdict ActionRules::backupVerdict(const ConfigSnapshot& snapshot, const Backup::Record& record)
{
    WriteAccess access(snapshot);
    access.addBackup(record);
    Verdict v;
    v.unwritable = access.denied();
    if (!v.unwritable.isEmpty()) {
        v.allowed = false;
        v.why = unwritableProblem(v.unwritable);
    }
    return v;
}

QStringList ActionRules::unwritable(const ConfigSnapshot& s, Action action)
{
    using A = Action;
    using C = WriteAccess::Change;
    WriteAccess access(s);
    switch (action) {
    case A::GenerateOpcUa:
    case A::GenerateCore:
    case A::DeleteOpcUa:
    case A::DeleteCore: {
        // A new pair takes the old one into a backup first, as a deletion does.
        const bool opcUa = action == A::GenerateOpcUa || action == A::DeleteOpcUa;
        const C change = action == A::GenerateOpcUa || action == A::GenerateCore ? C::Replace : C::Remove;
        access.add(opcUa ? s.opcUaKey.path : s.coreKey.path, change);
        access.add(opcUa ? s.opcUaCertificate.path : s.coreCertificate.path, change);
        access.addManifest();
        break;
    }
    case A::CreateUsersFile:
        access.add(s.usersFile.path, C::Create);
        break;
    case A::DeleteUsersFile:
        access.add(s.usersFile.path, C::Remove);
        access.addManifest();
        break;
    case A::ManageUsers:
        access.add(s.usersFile.path, C::Replace);
        break;
    case A::CreateFolders:
    case A::DeleteFolders:
    case A::ChangeTrust:
        for (const PathState* folder : s.clientFolders())
            access.add(folder->path, action == A::CreateFolders   ? C::Create
                                     : action == A::DeleteFolders ? C::Remove
                                                                  : C::Fill);
        if (action != A::CreateFolders)
            access.addManifest();
        break;
    case A::SetConfig:
        access.add(s.configPath, C::Replace);
        break;
    }
    return access.denied();
}
