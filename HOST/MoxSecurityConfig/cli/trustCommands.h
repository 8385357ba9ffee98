// moxsec trust: list, accept, reject, remove and import the client certificates the OPC UA server trusts.
#pragma once

#include "installationCommand.h"

#include "core/trustStore.h"

class QJsonObject;

class TrustListCommand : public InstallationCommand
{
public:
    TrustListCommand();

protected:
    int executeWithInstallation() override;
};

// Acts on certificates named by thumbprint, file name or path; every name is resolved before anything
// changes, so one bad name changes nothing.
class TrustChangeCommand : public InstallationCommand
{
public:
    using InstallationCommand::InstallationCommand;

protected:
    using Entry = TrustStore::Entry;

    std::optional<ActionRules::Action> action() const override { return ActionRules::Action::ChangeTrust; }
    int executeWithInstallation() override;
    // Whether a name may pick the entry.
    virtual bool takes(const Entry& entry) const = 0;
    // A better reason than "not found" for a name that picks an entry the command does not take.
    virtual void explainMissing(const QList<Entry>& all, const QString& key, QString& error) const;
    virtual QString plannedChange(const Entry& entry) const = 0;
    virtual bool confirmedFor(const QList<Entry>& chosen, int& exitCode);
    virtual ActionResult apply(const TrustStore& store, const QList<Entry>& chosen) = 0;
    // The report of one entry the command worked on; done when it is gone from where it was.
    virtual void reportEntry(const Entry& entry, bool done, QJsonObject& object) = 0;

private:
    // The entries the arguments name; false with the exit status in exitCode.
    bool resolve(const QList<Entry>& all, QList<Entry>& chosen, int& exitCode);
};

// Moves certificates from one folder into the other.
class TrustMoveCommand : public TrustChangeCommand
{
public:
    using Move = ActionResult (TrustStore::*)(const QList<TrustStore::Entry>&) const;
    TrustMoveCommand(const QString& name, TrustStore::Folder from, TrustStore::Folder to, Move move,
                     const QString& summary);

protected:
    bool takes(const Entry& entry) const override { return entry.folder == m_from; }
    void explainMissing(const QList<Entry>& all, const QString& key, QString& error) const override;
    QString plannedChange(const Entry& entry) const override;
    ActionResult apply(const TrustStore& store, const QList<Entry>& chosen) override;
    void reportEntry(const Entry& entry, bool done, QJsonObject& object) override;

private:
    QString target() const;

    TrustStore::Folder m_from, m_to;
    Move m_move;
};

class TrustAcceptCommand : public TrustMoveCommand
{
public:
    TrustAcceptCommand();
};

class TrustRejectCommand : public TrustMoveCommand
{
public:
    TrustRejectCommand();
};

class TrustRemoveCommand : public TrustChangeCommand
{
public:
    TrustRemoveCommand();

protected:
    bool takes(const Entry&) const override { return true; }
    QString plannedChange(const Entry& entry) const override;
    bool confirmedFor(const QList<Entry>& chosen, int& exitCode) override;
    ActionResult apply(const TrustStore& store, const QList<Entry>& chosen) override;
    void reportEntry(const Entry& entry, bool done, QJsonObject& object) override;
};

// Writes an empty CRL signed by a CA whose key the administrator holds, so the server accepts its clients.
class TrustCrlCreateCommand : public InstallationCommand
{
public:
    TrustCrlCreateCommand();

protected:
    bool checkArguments(int& exitCode) override;
    std::optional<ActionRules::Action> action() const override { return ActionRules::Action::ChangeTrust; }
    int executeWithInstallation() override;

private:
    int m_days = 30;
};

class TrustImportCommand : public InstallationCommand
{
public:
    TrustImportCommand();

protected:
    bool checkArguments(int& exitCode) override;
    std::optional<ActionRules::Action> action() const override { return ActionRules::Action::ChangeTrust; }
    int executeWithInstallation() override;
};
