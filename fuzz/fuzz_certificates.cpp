// The certificate reader, the CRL reader, trust-list inspection and the listing's quick read on any bytes:
// each must end without a crash or leak, say why when it refuses, and give well-formed thumbprints when it
// accepts.
#include "core/certificateFile.h"
#include "core/certificateInfo.h"
#include "core/crlInfo.h"
#include "core/trustStore.h"

#include <cstdint>
#include <cstdlib>

namespace {
bool isThumbprint(const QString& text, int digits)
{
    if (text.size() != digits)
        return false;
    for (const QChar c : text) {
        if (!c.isDigit() && (c < QLatin1Char('A') || c > QLatin1Char('F')))
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy: the readers may rely on QByteArray's terminating NUL, which raw data lacks.
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);

    CertificateInfo certificate;
    QString error;
    if (CertificateInfo::parse(bytes, certificate, &error)) {
        if (!isThumbprint(certificate.sha1Thumbprint, 40) || !isThumbprint(certificate.sha256Fingerprint, 64))
            std::abort();
        // Everything shown of it, as the window and moxsec show it.
        certificate.rows(now);
        certificate.toJson(now);
        certificate.serverWarnings(QStringLiteral("urn:x"), QStringLiteral("host"), now);
    } else if (error.isEmpty()) {
        std::abort();
    }

    CrlInfo crl;
    error.clear();
    if (CrlInfo::parse(bytes, crl, &error)) {
        if (!isThumbprint(crl.sha1Thumbprint, 40) || crl.revoked < 0)
            std::abort();
    } else if (error.isEmpty()) {
        std::abort();
    }

    const TrustStore::Entry entry = TrustStore::inspect(bytes);
    if (entry.kind == TrustStore::Kind::Unreadable ? entry.reason.isEmpty()
                                                   : !isThumbprint(entry.thumbprint, 40))
        std::abort();

    // The listing's quick read must name what the full parse accepts as the same certificate.
    static EVP_MD* const sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    const TrustStore::Entry quick = CertificateFile::summary(bytes, sha1);
    if (quick.kind == TrustStore::Kind::Unreadable ? quick.reason.isEmpty()
                                                   : !isThumbprint(quick.thumbprint, 40))
        std::abort();
    if (entry.kind != TrustStore::Kind::Unreadable &&
        (quick.kind != entry.kind || quick.thumbprint != entry.thumbprint))
        std::abort();
    return 0;
}
