#include "certificateDialog.h"

#include "core/certificateGenerator.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QSysInfo>

#include <thread>

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
    m_machineName = QSysInfo::machineHostName();

    if (m_opcUa) {
        connect(endPartLineEdit, &QLineEdit::textEdited, this, &CertificateDialog::reloadURI);
        connect(useNameOfTheMachineCheckBox, &QCheckBox::clicked, this, &CertificateDialog::reloadURI);
        connect(passwordCheckBox, &QCheckBox::stateChanged, this, &CertificateDialog::enablePassword);
        connect(passwordCheckBox, &QCheckBox::stateChanged, this, &CertificateDialog::checkPassword);
        connect(passwordLineEdit, &QLineEdit::textEdited, this, &CertificateDialog::checkPassword);
        // The configured URI, where the form can compose it; else the old default.
        bool useMachineName = false;
        QString endPart;
        if (CertificateRequest::splitUri(m_uri, CertificateRequest::Mode::OpcUa, m_machineName,
                                         useMachineName, endPart)) {
            useNameOfTheMachineCheckBox->setChecked(useMachineName);
            endPartLineEdit->setText(endPart);
        } else if (!m_password.isEmpty()) {
            endPartLineEdit->setText(QStringLiteral("TestServer"));
        }
        if (!m_password.isEmpty()) {
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

    restoreSubject();
    checkExtension();

    // The form scrolls where the screen is too short for it (1024x768 panels): OK and Cancel stay visible.
    formScrollArea->setMinimumWidth(formWidget->sizeHint().width() +
                                    style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    formScrollArea->setMinimumHeight(formWidget->sizeHint().height());
    adjustSize();
    const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    const int room = (screen ? screen->availableGeometry().height() : 768) - 40; // title bar and border
    if (height() > room) {
        formScrollArea->setMinimumHeight(0);
        layout()->activate(); // the dialog's minimum follows the form's at once
        resize(width(), room);
    }
}

CertificateDialog::~CertificateDialog() = default;

void CertificateDialog::restoreSubject()
{
    QSettings settings(QStringLiteral("MoxSecurityConfig"), QStringLiteral("MoxSecurityConfig"));
    settings.beginGroup(QStringLiteral("certificateSubject"));
    for (QLineEdit* edit :
         {countryLineEdit, stateLineEdit, localityLineEdit, organizationLineEdit, organizationUnitLineEdit}) {
        const QString saved = settings.value(edit->objectName()).toString();
        if (edit->text().isEmpty() && !saved.isEmpty())
            edit->setText(saved);
    }
}

void CertificateDialog::saveSubject() const
{
    QSettings settings(QStringLiteral("MoxSecurityConfig"), QStringLiteral("MoxSecurityConfig"));
    settings.beginGroup(QStringLiteral("certificateSubject"));
    for (const QLineEdit* edit :
         {countryLineEdit, stateLineEdit, localityLineEdit, organizationLineEdit, organizationUnitLineEdit})
        settings.setValue(edit->objectName(), edit->text());
}

void CertificateDialog::reloadURI()
{
    // The same rule as moxsec's, from the core.
    const QString uri = CertificateRequest::defaultUri(
        m_opcUa ? CertificateRequest::Mode::OpcUa : CertificateRequest::Mode::Core, m_machineName,
        useNameOfTheMachineCheckBox->isChecked(), endPartLineEdit->text());
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
        // The configured pass phrase is a secret: say that it differs, never what it is.
        passwordLineEdit->setToolTip(
            m_password.isEmpty() ? tr("APPLICATION_PRIVATE_KEY_PASSWORD in INI is empty.")
                                 : tr("The password differs from APPLICATION_PRIVATE_KEY_PASSWORD in INI."));
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
    const QString reason = CertificateRequest::subjectFieldError(edit->text());
    if (reason.isEmpty())
        return;
    edit->setToolTip(reason);
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

    // Names and addresses are checked here, before any openssl runs, and marked like the other fields.
    if (groupBox_opcua->isEnabled()) {
        validateNames(domainNamesTextEdit, &CertificateRequest::dnsNameError, valid);
        validateNames(ipAddressesTextEdit, &CertificateRequest::ipAddressError, valid);
    }

    // Keyboard users never see tool tips: the first field's reason is shown as text.
    for (QWidget* field : std::initializer_list<QWidget*>{
             nameLineEdit, organizationLineEdit, organizationUnitLineEdit, localityLineEdit, stateLineEdit,
             countryLineEdit, domainNamesTextEdit, ipAddressesTextEdit, passwordLineEdit,
             passwordRepeatLineEdit}) {
        if (field->styleSheet() == s_invalidStyle) {
            printError(field->toolTip());
            break;
        }
    }
    return valid;
}

void CertificateDialog::validateNames(QTextEdit* edit, QString (*check)(const QString&), bool& valid)
{
    edit->setStyleSheet(QString());
    edit->setToolTip(QString());
    for (const QString& line : linesOf(edit)) {
        const QString reason = check(line);
        if (!reason.isEmpty()) {
            edit->setStyleSheet(s_invalidStyle);
            edit->setToolTip(reason);
            valid = false;
            return;
        }
    }
}

void CertificateDialog::accept()
{
    if (m_generating)
        return;
    printStatus(QString(), false);
    if (!validate())
        return;
    printStatus(tr("Generating the certificate..."), false);
    if (createCert()) {
        saveSubject();
        QDialog::done(QDialog::Accepted);
    }
}

void CertificateDialog::reject()
{
    if (m_generating) {
        m_cancel = true;
        printStatus(tr("Stopping openssl..."), false);
        return;
    }
    QDialog::reject();
}

CertificateRequest CertificateDialog::request() const
{
    static const int days[] = {1, 7, 30, 365, 730, 1095, 1460, 1825, 3650};
    static const int bits[] = {1024, 2048, 3072};
    CertificateRequest r;
    r.mode = m_opcUa ? CertificateRequest::Mode::OpcUa : CertificateRequest::Mode::Core;
    r.opensslDir = m_opensslDir.path();
    r.certPath = m_certPath;
    r.keyPath = m_keyPath;
    r.country = countryLineEdit->text();
    r.state = stateLineEdit->text();
    r.locality = localityLineEdit->text();
    r.organization = organizationLineEdit->text();
    r.unit = organizationUnitLineEdit->text();
    r.commonName = nameLineEdit->text();
    // The alternative names come only from an enabled OPC UA group.
    if (groupBox_opcua->isEnabled()) {
        r.uri = applicationURILineEdit->text();
        r.dnsNames = linesOf(domainNamesTextEdit);
        r.ipAddresses = linesOf(ipAddressesTextEdit);
    } else {
        r.mode = CertificateRequest::Mode::Core;
    }
    const int keyIndex = rsaKeyStrengthComboBox->currentIndex();
    r.keyBits = keyIndex >= 0 && keyIndex < 3 ? bits[keyIndex] : 4096;
    r.digest =
        signatureAlgorithmComboBox->currentIndex() == 0 ? QStringLiteral("sha256") : QStringLiteral("sha512");
    const int dayIndex = certificateValidityComboBox->currentIndex();
    r.days = dayIndex >= 0 && dayIndex < int(sizeof(days) / sizeof(days[0])) ? days[dayIndex] : 7300;
    r.pem = m_certIsPem;
    r.protectKey = passwordCheckBox->isChecked();
    r.passphrase = r.protectKey ? passwordLineEdit->text() : QString();
    return r;
}

bool CertificateDialog::createCert()
{
    // openssl runs in a thread of its own while a local event loop keeps the window painted; this still
    // returns only when generation has ended, so callers see the same result.
    CertificateGenerator generator(m_stepTimeoutMs);
    generator.setCancel(&m_cancel);
    generator.setProgress([this](CertificateGenerator::Step step) {
        const QString text = step == CertificateGenerator::Step::Key
                                 ? tr("Step 1 of 3: generating the private key...")
                             : step == CertificateGenerator::Step::Request
                                 ? tr("Step 2 of 3: making the certificate signing request...")
                                 : tr("Step 3 of 3: signing the certificate...");
        QMetaObject::invokeMethod(
            this, [this, text] { printStatus(text, false); }, Qt::QueuedConnection);
    });
    const CertificateRequest job = request();
    const FileSafety::Ownership ownership = m_ownership;
    CertificateGenerator::Result result;
    QEventLoop loop;
    m_cancel = false;
    m_generating = true;
    formWidget->setEnabled(false);
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    std::thread worker([&] {
        result = generator.generate(job, ownership);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    QApplication::restoreOverrideCursor();
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(true);
    formWidget->setEnabled(true);
    m_generating = false;
    if (result.ok)
        return true;
    // The message stays the status line's first line; the cause goes below it.
    printError(result.cause.isEmpty() ? result.message : result.message + QLatin1Char('\n') + result.cause);
    return false;
}
