// moxsec cert renew: a new self-signed certificate for the pair, with its key kept unless --new-key.
#pragma once

#include "certCommands.h"

class CertRenewCommand : public PairCommand
{
public:
    CertRenewCommand();

protected:
    bool checkArguments(int& exitCode) override;
    std::optional<ActionRules::Action> action() const override;
    int executeWithInstallation() override;

private:
    int m_days = 0, m_within = -1;
};
