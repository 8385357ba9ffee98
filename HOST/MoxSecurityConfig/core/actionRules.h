// The rule book: for what a snapshot found and what this user may write, whether each action of the window
// and of moxsec may run now, why not, and whether --force may override that. Both front ends ask it, so they
// lock alike.
#pragma once

#include "core/backup.h"
#include "core/problem.h"

#include <QCoreApplication>

#include <QStringList>

#include <array>

class ConfigSnapshot;

class ActionRules
{
    Q_DECLARE_TR_FUNCTIONS(ActionRules)

public:
    enum class Action
    {
        GenerateOpcUa,
        DeleteOpcUa,
        GenerateCore,
        DeleteCore,
        CreateUsersFile,
        DeleteUsersFile,
        CreateFolders,
        DeleteFolders,
        ManageUsers, // add, edit, rename and delete users
        ChangeTrust, // accept, reject, remove and import client certificates
        SetConfig,   // write the URI or the pass phrase into the configuration
    };
    static constexpr int s_actionCount = int(Action::SetConfig) + 1;

    struct Verdict
    {
        bool allowed = true;
        bool forcible = false; // refused, but --force may run it: what locks it cannot hurt this action
        Problem why;           // the error that refuses it; empty when allowed
        // What this user may not write of what the action changes: then why says so, and nothing forces it.
        QStringList unwritable;
    };

    explicit ActionRules(const ConfigSnapshot& snapshot);

    const Verdict& verdict(Action action) const { return m_verdicts[size_t(action)]; }
    bool allows(Action action, bool force = false) const
    {
        const Verdict& v = verdict(action);
        return v.allowed || (force && v.forcible);
    }

    // Every file and folder that some action may not write, each once: the installation is read-only to
    // this user when it is not empty.
    const QStringList& unwritable() const { return m_unwritable; }
    // What the action changes, as its write access is judged.
    static QStringList unwritable(const ConfigSnapshot& snapshot, Action action);
    // Restoring or deleting a backup: no error locks it, only what this user may not write.
    static Verdict backupVerdict(const ConfigSnapshot& snapshot, const Backup::Record& record);

    enum class Lock
    {
        None,
        Forcible,
        Always
    };
    // How an error of the concern locks the action.
    static Lock lock(Problem::Concern concern, Action action);

private:
    static Problem unwritableProblem(const QStringList& paths);

    std::array<Verdict, s_actionCount> m_verdicts;
    QStringList m_unwritable;
};
