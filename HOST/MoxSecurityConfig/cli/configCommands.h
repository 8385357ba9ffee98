// moxsec config: set-uri and set-passphrase write one value into the OPC UA config.
#pragma once

#include "installationCommand.h"

class ConfigSetCommand : public InstallationCommand
{
public:
    using InstallationCommand::InstallationCommand;

protected:
    // Mending the pass phrase is what the key error asks for, so that error alone does not stop it.
    std::optional<ActionRules::Action> action() const override { return ActionRules::Action::SetConfig; }
    QStringList concernedPaths(const ConfigSnapshot& snapshot) const override;
    int executeWithInstallation() override;
    // The configuration's key and the value it holds now.
    virtual QString key() const = 0;
    virtual QString current() const = 0;

    QString m_value;
};

class ConfigSetUriCommand : public ConfigSetCommand
{
public:
    ConfigSetUriCommand();

protected:
    bool checkArguments(int& exitCode) override;
    QString key() const override { return QStringLiteral("APPLICATION_URI"); }
    QString current() const override { return m_snapshot.uri; }
};

class ConfigSetPassphraseCommand : public ConfigSetCommand
{
public:
    ConfigSetPassphraseCommand();

protected:
    bool checkArguments(int& exitCode) override;
    QString key() const override { return QStringLiteral("APPLICATION_PRIVATE_KEY_PASSWORD"); }
    QString current() const override { return m_snapshot.passphrase(); }
};
