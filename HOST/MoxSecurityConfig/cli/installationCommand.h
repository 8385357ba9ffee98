// A command that works on the installation: it checks its command line, loads and checks the snapshot once,
// refuses what the configuration's errors lock, then runs executeWithInstallation. Afterwards it names the
// warnings about the files it worked on.
#pragma once

#include "command.h"

#include "core/actionRules.h"
#include "core/configSnapshot.h"

#include <memory>
#include <optional>

class RootedInstEnumerator;

class InstallationCommand : public Command
{
public:
    InstallationCommand(const QString& name, const QString& synopsis, int minArguments, int maxArguments,
                        const Options& options, const QString& summary);
    ~InstallationCommand() override;

protected:
    int execute() final;
    virtual int executeWithInstallation() = 0;

    // What the command line says, checked before the installation is read, so bad usage is reported as
    // such on any machine; false with the exit status in exitCode.
    virtual bool checkArguments(int& exitCode);
    // False where this run needs no installation (cert show FILE).
    virtual bool needsInstallation() const { return true; }
    // Status goes on without the OPC UA config to list what is missing; the others stop.
    virtual bool reportsWithoutConfig() const { return false; }
    virtual bool checksKey() const { return false; }
    // Days before expiry that the server certificate's warning starts.
    virtual int expiryWarnDays() const { return CertificateInfo::s_warnDays; }
    // The rule book's action, refused (with its reason) while the configuration's errors lock it.
    virtual std::optional<ActionRules::Action> action() const { return std::nullopt; }
    // The files whose warnings the command names after it ran.
    virtual QStringList concernedPaths(const ConfigSnapshot& snapshot) const;

    // Refuses, with the rule book's reason, what the configuration's errors lock, as the window does;
    // --force runs it where the rule book says forcing is safe.
    bool allowed(ActionRules::Action action);
    // Says why the verdict refuses, records the refusal, and gives false.
    bool refuse(const ActionRules::Verdict& verdict);
    // " The backup goes to ..." naming every place a backup of paths uses; empty with --no-backup.
    QString backupQuestion(const QStringList& paths) const;
    const QString& root() const { return m_root; }

    ConfigSnapshot m_snapshot;

private:
    int executeSteps();
    // False (with the error reported) when there is no instance or no configuration.
    bool load();
    // The snapshot's warnings about the files the command worked on, as they stand after it.
    void reportWarnings();

    QString m_root;
    bool m_noInstallation = false; // the root is missing or holds no installation
    std::unique_ptr<RootedInstEnumerator> m_enumerator;
};
