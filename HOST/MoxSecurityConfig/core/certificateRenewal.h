// Renews a self-signed certificate in process: the same subject, alternative names and key usages, a new
// serial and validity, signed by the kept key or a new one of the same size. The new pair goes into place
// through KeyPairUpdate, and the old certificate (with the old key, when it changes) into a backup first.
#pragma once

#include "core/securityActions.h"

#include <QCoreApplication>
#include <QDateTime>

class CertificateRenewal
{
    Q_DECLARE_TR_FUNCTIONS(CertificateRenewal)

public:
    struct Options
    {
        QString keyPath, certPath;
        QString passphrase;    // opens the key in place
        int days = 0;          // 0: as long as the old certificate was valid
        int withinDays = -1;   // >= 0: nothing changes while the certificate is valid for longer
        bool newKey = false;   // a new key of the old one's size
        QString newPassphrase; // protects the new key when not empty
        bool dryRun = false;   // checks everything and stops before the first write
    };

    struct Outcome
    {
        ActionResult result;
        bool due = false;                     // the renewal was (or, on a dry run, would be) made
        QString oldThumbprint, newThumbprint; // SHA-1, upper-case hex
        QDateTime oldExpiry, newExpiry;       // UTC
        int days = 0;
    };

    // The backups go beside the files, their manifest into the OPC UA configuration's folder.
    static Outcome renew(const ConfigSnapshot& snapshot, const Options& options);

private:
    // The renewal itself; renew records it in the audit trail.
    static Outcome renewNow(const ConfigSnapshot& snapshot, const Options& options);
};
