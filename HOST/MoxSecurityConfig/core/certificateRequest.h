// What a new key and self-signed certificate should be: the dialog's or the command line's choices.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

class ConfigSnapshot;

struct CertificateRequest
{
    Q_DECLARE_TR_FUNCTIONS(CertificateRequest)

public:
    enum class Mode
    {
        OpcUa, // the OPC UA server's certificate: alternative names and a pass phrase apply
        Core   // the runtime core's certificate
    };

    Mode mode = Mode::OpcUa;
    QString opensslDir; // holds qvd_openssl.cnf and qvd_openssl_v3.ext
    QString certPath;
    QString keyPath;

    QString country, state, locality, organization, unit, commonName;
    QString uri;             // empty: no URI in the alternative names
    QStringList dnsNames;    // each becomes "DNS:<name>"
    QStringList ipAddresses; // each becomes "IP:<address>"

    int keyBits = 2048;        // 1024, 2048, 3072 or 4096
    QString digest = "sha256"; // "sha256" or "sha512"
    int days = 1825;
    bool pem = true;         // certificate encoding; the key is always PEM
    bool protectKey = false; // encrypt the key with the pass phrase
    QString passphrase;

    // The certificate dialog's proposal for the configured pair: common name "MOX-OPC_UA@<host>" or
    // "MOX@<host>", the host as DNS name (OPC UA), 2048 bits, sha256, five years, the encoding the
    // certificate path's suffix implies, a configured non-empty pass phrase protecting an OPC UA key, and the
    // configured URI where defaultUri can compose it (else "TestServer" ends the URI when a pass phrase is
    // configured). Subject fields without a default stay empty.
    static CertificateRequest defaults(Mode mode, const ConfigSnapshot& snapshot, const QString& hostName);
    // "urn:" + [host + ":"] + "MOX:UA" or "MOX:Core" + [":" + endPart].
    static QString defaultUri(Mode mode, const QString& hostName, bool useHostName, const QString& endPart);

    // Where the request departs from what the server's configuration expects (URI, pass phrase); the
    // server may then reject its own certificate or fail to open its key. Never shows the pass phrase.
    QStringList configMismatches(const ConfigSnapshot& snapshot) const;

    // "/C=../ST=../L=../O=../OU=../CN=..", all six always present.
    QString subject() const;
    // "URI:..", "DNS:..", "IP:.." in that order; empty for a core certificate.
    QStringList subjectAltNames() const;
    // The certificate encoding its file name implies: true for ".pem"; false for ".der", ".cer", ".crt",
    // ".cert"; ok is false for any other suffix.
    static bool pemFromSuffix(const QString& certPath, bool* ok = nullptr);

    // The reverse of defaultUri: true when uri has that shape, with the choices that compose it exactly.
    static bool splitUri(const QString& uri, Mode mode, const QString& machineName, bool& useMachineName,
                         QString& endPart);

    // Reasons a field is refused, empty when it is fine (the dialog's texts).
    static QString requiredError(const QString& value);
    static QString subjectFieldError(const QString& value);
    static QString ipAddressError(const QString& address);
    static QString dnsNameError(const QString& name);
    // Every problem with the request, one line each, naming the field; empty when it can be generated.
    QStringList validate() const;
};
