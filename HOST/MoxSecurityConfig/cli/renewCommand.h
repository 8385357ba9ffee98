// moxsec cert renew: a new self-signed certificate for the pair, with its key kept unless --new-key.
#pragma once

#include "certCommands.h"

#include "core/certificateRenewal.h"

class CertRenewCommand : public PairCommand
{
public:
    CertRenewCommand();

protected:
    bool checkArguments(int& exitCode) override;
    std::optional<ActionRules::Action> action() const override;
    int executeWithInstallation() override;

private:
    // The options for a dry run from the arguments; the new pass phrase is the configured one.
    CertificateRenewal::Options renewOptions(const QString& certPath, const QString& keyPath) const;
    // Writes what a renewal that was made changed.
    void reportRenewed(const CertificateRenewal::Outcome& outcome, const QString& certPath, bool newKey);
    int m_days = 0, m_within = -1;
};
