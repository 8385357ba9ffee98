// moxsec cert csr: a signing request for a CA, from the installed certificate's names.
#pragma once

#include "certCommands.h"

class CertCsrCommand : public PairCommand
{
public:
    CertCsrCommand();

protected:
    bool checkArguments(int& exitCode) override;
    int executeWithInstallation() override;
};
