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

    // What the configuration holds for one pair: what the defaults come from and a new OPC UA pair must
    // agree with (uri and passphrase are empty for the core pair).
    struct Configured
    {
        QString opensslDir, certPath, keyPath, uri, passphrase;
    };
    static Configured configured(Mode mode, const ConfigSnapshot& snapshot);

    // The proposal for the configured pair: common name "MOX-OPC_UA@<host>" or "MOX@<host>", the host as DNS
    // name (OPC UA), 2048 bits, sha256, five years, the encoding the certificate path's suffix implies, a
    // configured non-empty pass phrase protecting an OPC UA key, and the configured URI where defaultUri can
    // compose it (else "TestServer" ends the URI when a pass phrase is configured). Subject fields without a
    // default stay empty.
    static CertificateRequest defaults(Mode mode, const ConfigSnapshot& snapshot, const QString& hostName);
    static CertificateRequest defaults(Mode mode, const Configured& configured, const QString& hostName);
    // "urn:" + [host + ":"] + "MOX:UA" or "MOX:Core" + [":" + endPart].
    static QString defaultUri(Mode mode, const QString& hostName, bool useHostName, const QString& endPart);

    enum class Field
    {
        Country,
        State,
        Locality,
        Organization,
        Unit,
        CommonName,
        Uri,
        DnsNames,
        IpAddresses,
        Passphrase,
        KeyBits,
        Digest,
        Days,
        CertPath,
        KeyPath,
        Files // the certificate and key paths together
    };
    struct FieldProblem
    {
        Field field;
        QString reason; // the dialog's text for the field
        // "<field>: <reason>", as moxsec prints it.
        QString text() const;
    };

    // The settings an OPC UA request must share with the configuration, where they differ from it: Uri (only
    // when the request has one) and Passphrase (the empty one for a key that is not protected). The server
    // may otherwise reject its own certificate or fail to open its key.
    QList<Field> configDifferences(const QString& configuredUri, const QString& configuredPassphrase) const;
    // The same as sentences. Never shows the pass phrase.
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
    // An application URI needs a scheme ("urn:", "opc.tcp:") with something after it, and holds no white
    // space or control characters: the server and its clients compare it as one token.
    static QString uriError(const QString& uri);
    // Every problem with the request, per field in the form's order; empty when it can be generated.
    QList<FieldProblem> validate() const;
};
