// moxsec cert install: a certificate a CA signed, with its chain, after every check passed.
#pragma once

#include "certCommands.h"

class CertInstallCommand : public PairCommand
{
public:
    CertInstallCommand();

protected:
    bool checkArguments(int& exitCode) override;
    std::optional<ActionRules::Action> action() const override;
    int executeWithInstallation() override;
};
