// The revocation lists a CA needs before OPC UA stacks accept the clients it signed: without a valid CRL
// for each CA in the issuers and trust folders they refuse every such client
// (BadCertificateRevocationUnknown). These checks read every CA and CRL file, so they run on request (status,
// the window once it is shown), never in the load that every command and start-up shares.
#pragma once

#include "core/securityActions.h"
#include "core/trustStore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QString>

class CrlHealth
{
    Q_DECLARE_TR_FUNCTIONS(CrlHealth)

public:
    // Warnings for what TrustStore::list gave: a CA of the issuers or trust folder with no CRL in the
    // revocation folder, or with only expired ones; a CRL signed by none of those CAs. Each CRL is matched to
    // a CA by its signature, not its issuer's name, so a forged list never counts.
    static Problems check(const QList<TrustStore::Entry>& entries,
                          const QDateTime& now = QDateTime::currentDateTimeUtc());

    // An empty CRL signed by the CA's key (PEM or DER, with passphrase when encrypted), valid for days, as
    // DER into the revocation folder under "<CN> [<CA thumbprint>].crl". An earlier CRL of that CA under the
    // name is replaced; anything else there is kept and refused. written gets the path. With dryRun every
    // check is made and the CRL signed, but nothing is written.
    static ActionResult create(const QString& caCertificatePath, const QString& caKeyPath,
                               const QString& passphrase, int days, const QString& revocationFolder,
                               QString* written = nullptr, bool dryRun = false);

private:
    // The creation itself; create records it in the audit trail.
    static ActionResult createNow(const QString& caCertificatePath, const QString& caKeyPath,
                                  const QString& passphrase, int days, const QString& revocationFolder,
                                  QString* written, bool dryRun);
};
