#include "certificateDialog.h"

#include "core/openSslTool.h"

#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QPushButton>

const QString CertificateDialog::s_invalidStyle =
    QStringLiteral("border-radius: 3px;\nborder: 1px solid red; padding-top: 1px; margin-bottom: 1px;");
const QString CertificateDialog::s_warningStyle =
    QStringLiteral("border-radius: 3px;\nborder: 1px solid #FFFF44; padding-top: 1px; margin-bottom: 1px;");

namespace {

const char s_redText[] = "color: red;";

QString suffixOf(const QString& path)
{
    return QFileInfo(path).suffix();
}

// Lines of a multi-line field, split at line feeds; empty lines are dropped, the rest is kept as typed.
QStringList linesOf(const QTextEdit* edit)
{
    return edit->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

CertificateDialog::CertificateDialog(bool opcUa, const QString& opensslDirPath, const QString& certPath,
                                     const QString& keyPath, const QString& password, const QString& uri,
                                     QWidget* parent)
    : QDialog(parent), m_certPath(certPath), m_keyPath(keyPath), m_uri(uri), m_password(password),
      m_tempDir(QFileInfo(certPath).absoluteDir()),
      m_opensslDir(QFileInfo(opensslDirPath + QLatin1Char('/')).absoluteDir()), m_opcUa(opcUa),
      m_certIsPem(true)
{
    setupUi(this);
    m_machineName = QHostInfo::localHostName();

    if (m_opcUa) {
        connect(endPartLineEdit, SIGNAL(textEdited(const QString&)), this, SLOT(reloadURI()));
        connect(useNameOfTheMachineCheckBox, SIGNAL(clicked()), this, SLOT(reloadURI()));
        connect(passwordCheckBox, SIGNAL(stateChanged(int)), this, SLOT(enablePassword(int)));
        connect(passwordCheckBox, SIGNAL(stateChanged(int)), this, SLOT(checkPassword()));
        connect(passwordLineEdit, SIGNAL(textEdited(QString)), this, SLOT(checkPassword()));
        if (!m_password.isEmpty()) {
            endPartLineEdit->setText(QStringLiteral("TestServer"));
            passwordCheckBox->setChecked(true);
            passwordLineEdit->setText(m_password);
            passwordRepeatLineEdit->setText(m_password);
        }
    } else {
        passwordCheckBox->setEnabled(false);
        passwordCheckBox->hide();
        passwordLabel->hide();
        passwordLineEdit->hide();
        passwordRepeatLabel->hide();
        passwordRepeatLineEdit->hide();
        groupBox_opcua->hide();
        // Generation leaves the alternative names out when this group is disabled.
        groupBox_opcua->setEnabled(false);
    }
    checkPassword();

    const QString defaultName =
        (m_opcUa ? QStringLiteral("MOX-OPC_UA") : QStringLiteral("MOX")) + QLatin1Char('@') + m_machineName;
    nameLineEdit->setText(defaultName);

    if (m_opcUa) {
        domainNamesTextEdit->setPlainText(m_machineName);
        reloadURI();
    }

    checkExtension();
    adjustSize();
}

CertificateDialog::~CertificateDialog() = default;

void CertificateDialog::reloadURI()
{
    QString uri = QStringLiteral("urn:");
    if (useNameOfTheMachineCheckBox->isChecked())
        uri += m_machineName + QLatin1Char(':');
    uri += m_opcUa ? QStringLiteral("MOX:UA") : QStringLiteral("MOX:Core");
    if (!endPartLineEdit->text().isEmpty())
        uri += QLatin1Char(':') + endPartLineEdit->text();
    applicationURILineEdit->setText(uri);

    if (uri == m_uri) {
        applicationURILineEdit->setStyleSheet(QString());
        applicationURILineEdit->setToolTip(QString());
    } else {
        applicationURILineEdit->setStyleSheet(s_warningStyle);
        applicationURILineEdit->setToolTip(tr("APPLICATION_URI in INI is: %1").arg(m_uri));
    }
}

void CertificateDialog::enablePassword(int state)
{
    const bool enabled = state == Qt::Checked;
    passwordLineEdit->setEnabled(enabled);
    passwordRepeatLineEdit->setEnabled(enabled);
}

void CertificateDialog::checkPassword()
{
    const bool protect = passwordCheckBox->isChecked();
    const bool matches = m_password.isEmpty() ? !protect : protect && passwordLineEdit->text() == m_password;
    if (matches) {
        passwordLineEdit->setStyleSheet(QString());
        passwordLineEdit->setToolTip(QString());
    } else {
        passwordLineEdit->setStyleSheet(s_warningStyle);
        passwordLineEdit->setToolTip(tr("APPLICATION_PRIVATE_KEY_PASSWORD in INI is: %1").arg(m_password));
    }
}

void CertificateDialog::checkExtension()
{
    QPushButton* ok = buttonBox->button(QDialogButtonBox::Ok);
    const QString badExtension = tr("Bad extension of the requested files.");

    static const QStringList certSuffixes{"pem", "der", "cer", "crt", "cert"};
    const QString certSuffix = suffixOf(m_certPath);
    if (!certSuffixes.contains(certSuffix)) {
        certLabel->setText(tr("Certificate have to be one of .der, .cer, .cert, .crt or .pem extensions."));
        certLabel->setStyleSheet(s_redText);
        printError(badExtension);
        ok->setEnabled(false);
    } else {
        m_certIsPem = certSuffix == QLatin1String("pem");
        certLabel->setText(tr("Certificate: %1 (%2 encoding)")
                               .arg(QFileInfo(m_certPath).fileName(),
                                    m_certIsPem ? QStringLiteral("PEM") : QStringLiteral("DER")));
    }

    const QString keySuffix = suffixOf(m_keyPath);
    if (keySuffix != QLatin1String("pem") && keySuffix != QLatin1String("key")) {
        keyLabel->setText(tr("Private key have to be one of .key or .pem extensions."));
        keyLabel->setStyleSheet(s_redText);
        printError(badExtension);
        ok->setEnabled(false);
    } else {
        keyLabel->setText(tr("Private key: %1 (PEM encoding)").arg(QFileInfo(m_keyPath).fileName()));
    }

    if (m_keyPath == m_certPath) {
        printError(tr("The requested files has the same name."));
        certLabel->setStyleSheet(s_redText);
        keyLabel->setStyleSheet(s_redText);
        ok->setEnabled(false);
    }
}

void CertificateDialog::printStatus(const QString& text, bool error)
{
    statusLabel->setText(text);
    statusLabel->setToolTip(text);
    statusLabel->setStyleSheet(error ? QString::fromLatin1(s_redText) : QString());
    statusLabel->repaint();
}

void CertificateDialog::printError(const QString& text)
{
    printStatus(text, true);
}

void CertificateDialog::cleanErrors(QLineEdit* edit)
{
    edit->setStyleSheet(QString());
    edit->setToolTip(QString());
}

void CertificateDialog::validateRequired(QLineEdit* edit, bool& valid)
{
    if (!edit->text().isEmpty())
        return;
    edit->setToolTip(tr("This field is required."));
    edit->setStyleSheet(s_invalidStyle);
    valid = false;
}

void CertificateDialog::validateCertSubject(QLineEdit* edit, bool& valid)
{
    // The subject goes to openssl's -subj unescaped, where these characters would change its meaning.
    const QString text = edit->text();
    if (!text.contains(QLatin1Char('/')) && !text.contains(QLatin1Char('\\')) &&
        !text.contains(QLatin1Char('"')))
        return;
    edit->setToolTip(tr("This field cannot contains slash, backslash or quotation."));
    edit->setStyleSheet(s_invalidStyle);
    valid = false;
}

bool CertificateDialog::validate()
{
    bool valid = true;
    for (QLineEdit* edit : {passwordLineEdit, passwordRepeatLineEdit, nameLineEdit, organizationLineEdit,
                            localityLineEdit, stateLineEdit, countryLineEdit, organizationUnitLineEdit})
        cleanErrors(edit);

    for (QLineEdit* edit :
         {nameLineEdit, organizationLineEdit, localityLineEdit, stateLineEdit, countryLineEdit})
        validateRequired(edit, valid);

    if (passwordCheckBox->isChecked()) {
        validateRequired(passwordLineEdit, valid);
        validateRequired(passwordRepeatLineEdit, valid);
        if (passwordLineEdit->text() != passwordRepeatLineEdit->text()) {
            passwordRepeatLineEdit->setStyleSheet(s_invalidStyle);
            passwordRepeatLineEdit->setToolTip(tr("The passwords have to match."));
            valid = false;
        }
    }

    for (QLineEdit* edit : {nameLineEdit, organizationLineEdit, organizationUnitLineEdit, localityLineEdit,
                            stateLineEdit, countryLineEdit})
        validateCertSubject(edit, valid);
    return valid;
}

void CertificateDialog::accept()
{
    printStatus(QString(), false);
    if (!validate())
        return;
    printStatus(tr("Generating the certificate..."), false);
    if (createCert())
        QDialog::done(QDialog::Accepted);
}

QString CertificateDialog::subject() const
{
    return QStringLiteral("/C=") + countryLineEdit->text() + QStringLiteral("/ST=") + stateLineEdit->text() +
           QStringLiteral("/L=") + localityLineEdit->text() + QStringLiteral("/O=") +
           organizationLineEdit->text() + QStringLiteral("/OU=") + organizationUnitLineEdit->text() +
           QStringLiteral("/CN=") + nameLineEdit->text();
}

QStringList CertificateDialog::subjectAltNames() const
{
    QStringList names;
    if (!groupBox_opcua->isEnabled())
        return names;
    if (!applicationURILineEdit->text().isEmpty())
        names << QStringLiteral("URI:") + applicationURILineEdit->text();
    for (const QString& line : linesOf(domainNamesTextEdit))
        names << QStringLiteral("DNS:") + line;
    for (const QString& line : linesOf(ipAddressesTextEdit))
        names << QStringLiteral("IP:") + line;
    return names;
}

QString CertificateDialog::keySizeArgument() const
{
    switch (rsaKeyStrengthComboBox->currentIndex()) {
    case 0:
        return QStringLiteral("1024");
    case 1:
        return QStringLiteral("2048");
    case 2:
        return QStringLiteral("3072");
    default:
        return QStringLiteral("4096");
    }
}

QString CertificateDialog::digestArgument() const
{
    return signatureAlgorithmComboBox->currentIndex() == 0 ? QStringLiteral("-sha256")
                                                           : QStringLiteral("-sha512");
}

QString CertificateDialog::daysArgument() const
{
    static const char* const days[] = {"1", "7", "30", "365", "730", "1095", "1460", "1825", "3650"};
    const int index = certificateValidityComboBox->currentIndex();
    if (index >= 0 && index < int(sizeof(days) / sizeof(days[0])))
        return QString::fromLatin1(days[index]);
    return QStringLiteral("7300");
}

bool CertificateDialog::createCert()
{
    const QString sslConfPath = m_opensslDir.filePath(QStringLiteral("qvd_openssl.cnf"));
    const QString globalSslV3ExtPath = m_opensslDir.filePath(QStringLiteral("qvd_openssl_v3.ext"));
    const QString sslV3ExtPath = m_tempDir.filePath(QStringLiteral("openssl_v3.ext"));
    const QString csrPath = m_tempDir.filePath(QStringLiteral("temp.csr"));

    if (!QFile::exists(sslConfPath)) {
        printError(tr("Missing the CNF file: %1").arg(sslConfPath));
        return false;
    }
    if (m_opcUa && !QFile::exists(globalSslV3ExtPath)) {
        printError(tr("Missing the EXT file: %1").arg(globalSslV3ExtPath));
        return false;
    }
    if (!m_tempDir.exists() && !m_tempDir.mkpath(QStringLiteral("."))) {
        printError(tr("Cannot create the target folders."));
        return false;
    }
    const QDir keyDir = QFileInfo(m_keyPath).absoluteDir();
    if (!keyDir.exists() && !keyDir.mkpath(QStringLiteral("."))) {
        printError(tr("Cannot create the target folders."));
        return false;
    }

    // Never overwrites: a stale copy in the folder makes the run fail until it is removed.
    if (!QFile::copy(globalSslV3ExtPath, sslV3ExtPath)) {
        printError(tr("Cannot copy the v3 extension file to the certificate folder."));
        return false;
    }
    // The copy takes the template's permissions; a read-only template must still give an amendable copy.
    QFile::setPermissions(sslV3ExtPath,
                          QFile::permissions(sslV3ExtPath) | QFile::WriteOwner | QFile::ReadOwner);

    const QStringList altNames = subjectAltNames();
    if (!altNames.isEmpty()) {
        const QByteArray amendment =
            (QStringLiteral("\nsubjectAltName=") + altNames.join(QLatin1Char(','))).toUtf8();
        QFile ext(sslV3ExtPath);
        bool written = ext.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text);
        if (written)
            written = ext.write(amendment) == amendment.size() && ext.flush();
        ext.close();
        if (!written) {
            QFile::remove(sslV3ExtPath);
            printError(tr("Cannot modify the v3 extension file."));
            return false;
        }
    }

    // The pass phrase reaches openssl through the child's environment only, never its command line.
    const bool protect = passwordCheckBox->isChecked();
    const QString passphrase = passwordLineEdit->text();
    const QString* secret = protect ? &passphrase : nullptr;

    QStringList arguments{QStringLiteral("genrsa")};
    if (protect)
        arguments << QStringLiteral("-des3") << QStringLiteral("-passout") << OpenSslTool::passphraseSource();
    arguments << QStringLiteral("-out") << m_keyPath << keySizeArgument();
    int exitCode = OpenSslTool::run(arguments, secret, s_stepTimeoutMs);
    if (exitCode != 0 || !QFile::exists(m_keyPath)) {
        if (exitCode != 0)
            QFile::remove(m_keyPath);
        QFile::remove(sslV3ExtPath);
        printError(tr("Cannot generate the private key."));
        return false;
    }
    // openssl creates a new key 0600 but keeps the mode of a file that was already there.
    QFile::setPermissions(m_keyPath, QFile::ReadOwner | QFile::WriteOwner);

    arguments.clear();
    arguments << QStringLiteral("req") << QStringLiteral("-new") << QStringLiteral("-out") << csrPath
              << QStringLiteral("-key") << m_keyPath << QStringLiteral("-subj") << subject()
              << QStringLiteral("-config") << sslConfPath;
    if (protect)
        arguments << QStringLiteral("-passin") << OpenSslTool::passphraseSource();
    exitCode = OpenSslTool::run(arguments, secret, s_stepTimeoutMs);
    if (exitCode != 0 || !QFile::exists(csrPath)) {
        QFile::remove(csrPath);
        QFile::remove(m_keyPath);
        QFile::remove(sslV3ExtPath);
        printError(tr("Cannot generate the CSR (certificate signing request)."));
        return false;
    }

    arguments.clear();
    arguments << QStringLiteral("x509") << QStringLiteral("-req") << QStringLiteral("-in") << csrPath
              << QStringLiteral("-signkey") << m_keyPath << QStringLiteral("-out") << m_certPath
              << QStringLiteral("-extfile") << sslV3ExtPath;
    if (protect)
        arguments << QStringLiteral("-passin") << OpenSslTool::passphraseSource();
    arguments << digestArgument() << QStringLiteral("-days") << daysArgument() << QStringLiteral("-outform")
              << (m_certIsPem ? QStringLiteral("PEM") : QStringLiteral("DER"));
    exitCode = OpenSslTool::run(arguments, secret, s_stepTimeoutMs);
    const bool certificateMade = exitCode == 0 && QFile::exists(m_certPath);
    if (exitCode != 0)
        QFile::remove(m_certPath);
    QFile::remove(csrPath);
    QFile::remove(sslV3ExtPath);
    if (!certificateMade) {
        QFile::remove(m_keyPath);
        printError(tr("Cannot generate the certificate."));
        return false;
    }
    return true;
}
