#include "core/certificateRequest.h"

#include "core/configSnapshot.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <arpa/inet.h>

QString CertificateRequest::subject() const
{
    return QStringLiteral("/C=") + country + QStringLiteral("/ST=") + state + QStringLiteral("/L=") +
           locality + QStringLiteral("/O=") + organization + QStringLiteral("/OU=") + unit +
           QStringLiteral("/CN=") + commonName;
}

QStringList CertificateRequest::subjectAltNames() const
{
    QStringList names;
    if (mode != Mode::OpcUa)
        return names;
    if (!uri.isEmpty())
        names << QStringLiteral("URI:") + uri;
    for (const QString& name : dnsNames)
        names << QStringLiteral("DNS:") + name;
    for (const QString& address : ipAddresses)
        names << QStringLiteral("IP:") + address;
    return names;
}

bool CertificateRequest::splitUri(const QString& uri, Mode mode, const QString& machineName,
                                  bool& useMachineName, QString& endPart)
{
    const QString middle = mode == Mode::OpcUa ? QStringLiteral("MOX:UA") : QStringLiteral("MOX:Core");
    const QString prefix = QStringLiteral("urn:");
    if (!uri.startsWith(prefix))
        return false;
    const QStringList heads{machineName + QLatin1Char(':') + middle, middle};
    for (int i = 0; i < heads.size(); ++i) {
        if (i == 0 && machineName.isEmpty())
            continue;
        const QString rest = uri.mid(prefix.size());
        if (!rest.startsWith(heads[i]))
            continue;
        const QString tail = rest.mid(heads[i].size());
        if (!tail.isEmpty() && (tail.size() < 2 || tail[0] != QLatin1Char(':')))
            continue;
        useMachineName = i == 0;
        endPart = tail.mid(1);
        return true;
    }
    return false;
}

bool CertificateRequest::pemFromSuffix(const QString& certPath, bool* ok)
{
    static const QStringList der{"der", "cer", "crt", "cert"};
    const QString suffix = QFileInfo(certPath).suffix();
    if (ok)
        *ok = suffix == QLatin1String("pem") || der.contains(suffix);
    return suffix == QLatin1String("pem");
}

QString CertificateRequest::requiredError(const QString& value)
{
    return value.isEmpty() ? tr("This field is required.") : QString();
}

QString CertificateRequest::subjectFieldError(const QString& value)
{
    // The subject goes to openssl's -subj unescaped, where these characters would change its meaning.
    if (value.contains(QLatin1Char('/')) || value.contains(QLatin1Char('\\')) ||
        value.contains(QLatin1Char('"')))
        return tr("This field cannot contain slash, backslash or quotation.");
    return QString();
}

QString CertificateRequest::ipAddressError(const QString& address)
{
    const QByteArray bytes = address.toLatin1();
    unsigned char buffer[16];
    if (address.isEmpty() || (::inet_pton(AF_INET, bytes.constData(), buffer) != 1 &&
                              ::inet_pton(AF_INET6, bytes.constData(), buffer) != 1))
        return tr("'%1' is not an IPv4 or IPv6 address.").arg(address);
    return QString();
}

QString CertificateRequest::dnsNameError(const QString& name)
{
    // Letters, digits and hyphens in labels of 1 to 63, a leading "*." allowed, 253 in all.
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    QString rest = name.startsWith(QLatin1String("*.")) ? name.mid(2) : name;
    if (rest.endsWith(QLatin1Char('.')))
        rest.chop(1);
    bool valid = !rest.isEmpty() && name.size() <= 253;
    for (const QString& part : rest.split(QLatin1Char('.'))) {
        if (!valid)
            break;
        valid = label.match(part).hasMatch();
    }
    return valid ? QString() : tr("'%1' is not a valid DNS name.").arg(name);
}

QString CertificateRequest::uriError(const QString& uri)
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:."));
    for (const QChar c : uri) {
        if (c.category() == QChar::Other_Control)
            return tr("The URI cannot contain control characters.");
        if (c.isSpace())
            return tr("The URI cannot contain spaces.");
    }
    if (!scheme.match(uri).hasMatch())
        return tr("The URI needs a scheme, such as urn: or opc.tcp:, and something after it.");
    return QString();
}

QString CertificateRequest::FieldProblem::text() const
{
    static const char* const names[] = {"country",           "state",       "locality",    "organization",
                                        "organization unit", "common name", "URI",         "DNS name",
                                        "IP address",        "pass phrase", "key size",    "digest",
                                        "validity",          "certificate", "private key", "files"};
    return QStringLiteral("%1: %2").arg(QLatin1String(names[int(field)]), reason);
}

QList<CertificateRequest::FieldProblem> CertificateRequest::validate() const
{
    QList<FieldProblem> problems;
    auto add = [&problems](Field field, const QString& reason) {
        if (!reason.isEmpty())
            problems << FieldProblem{field, reason};
    };
    const struct
    {
        Field field;
        const QString* value;
        bool required;
    } fields[] = {{Field::Country, &country, true},   {Field::State, &state, true},
                  {Field::Locality, &locality, true}, {Field::Organization, &organization, true},
                  {Field::Unit, &unit, false},        {Field::CommonName, &commonName, true}};
    for (const auto& field : fields) {
        const QString reason = field.required ? requiredError(*field.value) : QString();
        add(field.field, reason.isEmpty() ? subjectFieldError(*field.value) : reason);
    }
    if (mode == Mode::OpcUa) {
        // An empty URI leaves it out of the certificate.
        if (!uri.isEmpty())
            add(Field::Uri, uriError(uri));
        for (const QString& name : dnsNames)
            add(Field::DnsNames, dnsNameError(name));
        for (const QString& address : ipAddresses)
            add(Field::IpAddresses, ipAddressError(address));
        if (protectKey)
            add(Field::Passphrase, requiredError(passphrase));
    }
    if (keyBits != 1024 && keyBits != 2048 && keyBits != 3072 && keyBits != 4096)
        add(Field::KeyBits, tr("The key size must be 1024, 2048, 3072 or 4096 bits."));
    if (digest != QLatin1String("sha256") && digest != QLatin1String("sha512"))
        add(Field::Digest, tr("The digest must be sha256 or sha512."));
    if (days < 1)
        add(Field::Days, tr("The validity must be at least one day."));
    bool suffixOk = false;
    pemFromSuffix(certPath, &suffixOk);
    if (!suffixOk)
        add(Field::CertPath, tr("Certificate have to be one of .der, .cer, .cert, .crt or .pem extensions."));
    const QString keySuffix = QFileInfo(keyPath).suffix();
    if (keySuffix != QLatin1String("pem") && keySuffix != QLatin1String("key"))
        add(Field::KeyPath, tr("Private key have to be one of .key or .pem extensions."));
    if (!certPath.isEmpty() && certPath == keyPath)
        add(Field::Files, tr("The requested files has the same name."));
    return problems;
}

CertificateRequest::Configured CertificateRequest::configured(Mode mode, const ConfigSnapshot& snapshot)
{
    if (mode == Mode::Core)
        return {snapshot.opensslDir, snapshot.coreCertificate.path, snapshot.coreKey.path, {}, {}};
    return {snapshot.opensslDir, snapshot.opcUaCertificate.path, snapshot.opcUaKey.path, snapshot.uri,
            snapshot.passphrase()};
}

CertificateRequest CertificateRequest::defaults(Mode mode, const ConfigSnapshot& snapshot,
                                                const QString& hostName)
{
    return defaults(mode, configured(mode, snapshot), hostName);
}

CertificateRequest CertificateRequest::defaults(Mode mode, const Configured& configured,
                                                const QString& hostName)
{
    CertificateRequest request;
    request.mode = mode;
    request.opensslDir = configured.opensslDir;
    const bool opcUa = mode == Mode::OpcUa;
    request.certPath = configured.certPath;
    request.keyPath = configured.keyPath;
    request.commonName = (opcUa ? QStringLiteral("MOX-OPC_UA@") : QStringLiteral("MOX@")) + hostName;
    request.pem = pemFromSuffix(request.certPath);
    const bool protect = opcUa && !configured.passphrase.isEmpty();
    bool useHostName = false;
    QString endPart;
    if (opcUa && splitUri(configured.uri, mode, hostName, useHostName, endPart))
        request.uri = defaultUri(mode, hostName, useHostName, endPart);
    else
        request.uri = defaultUri(mode, hostName, false, protect ? QStringLiteral("TestServer") : QString());
    if (opcUa && !hostName.isEmpty())
        request.dnsNames << hostName;
    request.protectKey = protect;
    if (protect)
        request.passphrase = configured.passphrase;
    return request;
}

QString CertificateRequest::defaultUri(Mode mode, const QString& hostName, bool useHostName,
                                       const QString& endPart)
{
    QString uri = QStringLiteral("urn:");
    if (useHostName)
        uri += hostName + QLatin1Char(':');
    uri += mode == Mode::OpcUa ? QStringLiteral("MOX:UA") : QStringLiteral("MOX:Core");
    if (!endPart.isEmpty())
        uri += QLatin1Char(':') + endPart;
    return uri;
}

QList<CertificateRequest::Field>
CertificateRequest::configDifferences(const QString& configuredUri, const QString& configuredPassphrase) const
{
    QList<Field> fields;
    if (mode != Mode::OpcUa)
        return fields;
    if (!uri.isEmpty() && uri != configuredUri)
        fields << Field::Uri;
    if ((protectKey ? passphrase : QString()) != configuredPassphrase)
        fields << Field::Passphrase;
    return fields;
}

QStringList CertificateRequest::configMismatches(const ConfigSnapshot& snapshot) const
{
    QStringList mismatches;
    for (const Field field : configDifferences(snapshot.uri, snapshot.passphrase())) {
        if (field == Field::Uri)
            mismatches << tr("The URI %1 differs from APPLICATION_URI in the OPC UA config (%2).")
                              .arg(uri, snapshot.uri.isEmpty() ? tr("missing") : snapshot.uri);
        else
            mismatches << tr("The key's pass phrase differs from APPLICATION_PRIVATE_KEY_PASSWORD in the OPC "
                             "UA config: the server will not open the key.");
    }
    return mismatches;
}
