// moxsec status: the instance, its paths and every problem of the configuration.
#pragma once

#include "installationCommand.h"

class StatusCommand : public InstallationCommand
{
public:
    StatusCommand();

protected:
    bool reportsWithoutConfig() const override { return true; }
    bool checksKey() const override { return true; }
    int expiryWarnDays() const override { return m_warnDays; }
    bool checkArguments(int& exitCode) override;
    int executeWithInstallation() override;

private:
    void reportPaths();
    void listProblems();

    int m_warnDays = CertificateInfo::s_warnDays;
};
