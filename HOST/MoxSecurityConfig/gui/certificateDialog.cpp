#include "certificateDialog.h"

#include "core/certificateGenerator.h"
#include "fieldMarks.h"
#include "wheelGuard.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QSysInfo>

#include <iterator>
#include <thread>
#include <utility>

const QString CertificateDialog::s_invalidStyle = FieldMarks::style(FieldMarks::Mark::Invalid);
const QString CertificateDialog::s_warningStyle = FieldMarks::style(FieldMarks::Mark::Warning);

namespace {

const char s_redText[] = "color: red;";
using Field = CertificateRequest::Field;
// The combo boxes' choices, in their order.
const int s_bits[] = {1024, 2048, 3072, 4096};
const int s_days[] = {1, 7, 30, 365, 730, 1095, 1460, 1825, 3650, 7300};

template <std::size_t n> int indexOf(const int (&choices)[n], int value)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (choices[i] == value)
            return int(i);
    }
    return -1;
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
    : CertificateDialog(opcUa ? CertificateRequest::Mode::OpcUa : CertificateRequest::Mode::Core,
                        CertificateRequest::Configured{opensslDirPath, certPath, keyPath, uri, password},
                        parent)
{}

CertificateDialog::CertificateDialog(CertificateRequest::Mode mode, const ConfigSnapshot& snapshot,
                                     QWidget* parent)
    : CertificateDialog(mode, CertificateRequest::configured(mode, snapshot), parent)
{}

CertificateDialog::CertificateDialog(CertificateRequest::Mode mode,
                                     const CertificateRequest::Configured& configured, QWidget* parent)
    : QDialog(parent), m_certPath(configured.certPath), m_keyPath(configured.keyPath), m_uri(configured.uri),
      m_password(configured.passphrase), m_tempDir(QFileInfo(configured.certPath).absoluteDir()),
      m_opensslDir(QFileInfo(configured.opensslDir + QLatin1Char('/')).absoluteDir()),
      m_opcUa(mode == CertificateRequest::Mode::OpcUa), m_certIsPem(true)
{
    setupUi(this);
    m_machineName = QSysInfo::machineHostName();
    // The same proposal as moxsec's, from the core.
    const CertificateRequest defaults = CertificateRequest::defaults(mode, configured, m_machineName);
    m_certIsPem = defaults.pem;

    if (m_opcUa) {
        connect(endPartLineEdit, &QLineEdit::textEdited, this, &CertificateDialog::reloadURI);
        connect(useNameOfTheMachineCheckBox, &QCheckBox::clicked, this, &CertificateDialog::reloadURI);
        connect(passwordCheckBox, &QCheckBox::stateChanged, this, &CertificateDialog::enablePassword);
        connect(passwordCheckBox, &QCheckBox::stateChanged, this, &CertificateDialog::checkPassword);
        connect(passwordLineEdit, &QLineEdit::textEdited, this, &CertificateDialog::checkPassword);
        bool useMachineName = false;
        QString endPart;
        CertificateRequest::splitUri(defaults.uri, mode, m_machineName, useMachineName, endPart);
        useNameOfTheMachineCheckBox->setChecked(useMachineName);
        endPartLineEdit->setText(endPart);
        passwordCheckBox->setChecked(defaults.protectKey);
        passwordLineEdit->setText(defaults.passphrase);
        passwordRepeatLineEdit->setText(defaults.passphrase);
        domainNamesTextEdit->setPlainText(defaults.dnsNames.join(QLatin1Char('\n')));
        ipAddressesTextEdit->setPlainText(defaults.ipAddresses.join(QLatin1Char('\n')));
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
    const std::pair<QLineEdit*, QString> subject[] = {
        {countryLineEdit, defaults.country},       {stateLineEdit, defaults.state},
        {localityLineEdit, defaults.locality},     {organizationLineEdit, defaults.organization},
        {organizationUnitLineEdit, defaults.unit}, {nameLineEdit, defaults.commonName}};
    for (const auto& field : subject)
        field.first->setText(field.second);
    rsaKeyStrengthComboBox->setCurrentIndex(indexOf(s_bits, defaults.keyBits));
    signatureAlgorithmComboBox->setCurrentIndex(defaults.digest == QLatin1String("sha512") ? 1 : 0);
    certificateValidityComboBox->setCurrentIndex(indexOf(s_days, defaults.days));
    checkPassword();
    if (m_opcUa)
        reloadURI();

    restoreSubject();
    checkExtension();
    WheelGuard::install(this);

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
    // The server keeps its names between generations; an emptied list is remembered as such.
    if (m_opcUa) {
        for (QTextEdit* edit : {domainNamesTextEdit, ipAddressesTextEdit}) {
            if (settings.contains(edit->objectName()))
                edit->setPlainText(settings.value(edit->objectName()).toString());
        }
    }
}

void CertificateDialog::saveSubject() const
{
    QSettings settings(QStringLiteral("MoxSecurityConfig"), QStringLiteral("MoxSecurityConfig"));
    settings.beginGroup(QStringLiteral("certificateSubject"));
    // Only what changed: every write rewrites and syncs the whole file, which costs milliseconds on a disk.
    const auto keep = [&settings](const QString& key, const QString& value) {
        const QVariant saved = settings.value(key);
        if (!saved.isValid() || saved.toString() != value)
            settings.setValue(key, value);
    };
    for (const QLineEdit* edit :
         {countryLineEdit, stateLineEdit, localityLineEdit, organizationLineEdit, organizationUnitLineEdit})
        keep(edit->objectName(), edit->text());
    if (m_opcUa) {
        for (const QTextEdit* edit : {domainNamesTextEdit, ipAddressesTextEdit})
            keep(edit->objectName(), edit->toPlainText());
    }
}

void CertificateDialog::reloadURI()
{
    // The same rule as moxsec's, from the core.
    const QString uri = CertificateRequest::defaultUri(
        m_opcUa ? CertificateRequest::Mode::OpcUa : CertificateRequest::Mode::Core, m_machineName,
        useNameOfTheMachineCheckBox->isChecked(), endPartLineEdit->text());
    applicationURILineEdit->setText(uri);

    if (!request().configDifferences(m_uri, m_password).contains(Field::Uri))
        FieldMarks::clear(applicationURILineEdit);
    else
        FieldMarks::set(applicationURILineEdit, FieldMarks::Mark::Warning,
                        tr("APPLICATION_URI in INI is: %1").arg(m_uri));
}

void CertificateDialog::enablePassword(int state)
{
    const bool enabled = state == Qt::Checked;
    passwordLineEdit->setEnabled(enabled);
    passwordRepeatLineEdit->setEnabled(enabled);
}

void CertificateDialog::checkPassword()
{
    if (!request().configDifferences(m_uri, m_password).contains(Field::Passphrase))
        FieldMarks::clear(passwordLineEdit);
    else // the configured pass phrase is a secret: say that it differs, never what it is
        FieldMarks::set(passwordLineEdit, FieldMarks::Mark::Warning,
                        m_password.isEmpty()
                            ? tr("APPLICATION_PRIVATE_KEY_PASSWORD in INI is empty.")
                            : tr("The password differs from APPLICATION_PRIVATE_KEY_PASSWORD in INI."));
}

void CertificateDialog::checkExtension()
{
    QPushButton* ok = buttonBox->button(QDialogButtonBox::Ok);
    const QString badExtension = tr("Bad extension of the requested files.");
    QString certReason, keyReason, sameReason;
    for (const CertificateRequest::FieldProblem& problem : request().validate()) {
        if (problem.field == Field::CertPath)
            certReason = problem.reason;
        else if (problem.field == Field::KeyPath)
            keyReason = problem.reason;
        else if (problem.field == Field::Files)
            sameReason = problem.reason;
    }

    // A refused file name stands in its label, in red, and OK stays disabled.
    const auto show = [&](QLabel* label, const QString& reason, const QString& fine) {
        if (reason.isEmpty()) {
            label->setText(fine);
            return;
        }
        label->setText(reason);
        label->setStyleSheet(s_redText);
        printError(badExtension);
        ok->setEnabled(false);
    };
    show(certLabel, certReason,
         tr("Certificate: %1 (%2 encoding)")
             .arg(QFileInfo(m_certPath).fileName(),
                  m_certIsPem ? QStringLiteral("PEM") : QStringLiteral("DER")));
    show(keyLabel, keyReason, tr("Private key: %1 (PEM encoding)").arg(QFileInfo(m_keyPath).fileName()));

    if (!sameReason.isEmpty()) {
        printError(sameReason);
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
    FieldMarks::clear(edit);
}

void CertificateDialog::mark(QWidget* field, const QString& reason)
{
    FieldMarks::set(field, FieldMarks::Mark::Invalid, reason);
}

void CertificateDialog::validateRequired(QLineEdit* edit, bool& valid)
{
    FieldMarks::refuse(edit, CertificateRequest::requiredError(edit->text()), valid);
}

void CertificateDialog::validateCertSubject(QLineEdit* edit, bool& valid)
{
    FieldMarks::refuse(edit, CertificateRequest::subjectFieldError(edit->text()), valid);
}

QWidget* CertificateDialog::widgetOf(CertificateRequest::Field field) const
{
    switch (field) {
    case Field::Country:
        return countryLineEdit;
    case Field::State:
        return stateLineEdit;
    case Field::Locality:
        return localityLineEdit;
    case Field::Organization:
        return organizationLineEdit;
    case Field::Unit:
        return organizationUnitLineEdit;
    case Field::CommonName:
        return nameLineEdit;
    case Field::Uri:
        return endPartLineEdit; // the URI's own field is composed, not typed
    case Field::DnsNames:
        return domainNamesTextEdit;
    case Field::IpAddresses:
        return ipAddressesTextEdit;
    case Field::Passphrase:
        return passwordLineEdit;
    case Field::KeyBits:
        return rsaKeyStrengthComboBox;
    case Field::Digest:
        return signatureAlgorithmComboBox;
    case Field::Days:
        return certificateValidityComboBox;
    case Field::CertPath:
    case Field::KeyPath:
    case Field::Files:
        break;
    }
    return nullptr;
}

bool CertificateDialog::validate()
{
    // The order in which a reason reaches the status line.
    const std::initializer_list<QWidget*> fields{nameLineEdit,
                                                 organizationLineEdit,
                                                 organizationUnitLineEdit,
                                                 localityLineEdit,
                                                 stateLineEdit,
                                                 countryLineEdit,
                                                 endPartLineEdit,
                                                 domainNamesTextEdit,
                                                 ipAddressesTextEdit,
                                                 passwordLineEdit,
                                                 passwordRepeatLineEdit,
                                                 rsaKeyStrengthComboBox,
                                                 signatureAlgorithmComboBox,
                                                 certificateValidityComboBox};
    for (QWidget* field : fields)
        FieldMarks::clear(field);
    // Every rule of the request is the core's; each field shows its first reason.
    const QList<CertificateRequest::FieldProblem> problems = request().validate();
    for (const CertificateRequest::FieldProblem& problem : problems) {
        QWidget* field = widgetOf(problem.field);
        if (field && !FieldMarks::has(field, FieldMarks::Mark::Invalid))
            mark(field, problem.reason);
    }
    bool valid = problems.isEmpty();
    // The repeat is the form's own: the request holds one pass phrase.
    if (passwordCheckBox->isChecked()) {
        bool repeated = true;
        validateRequired(passwordRepeatLineEdit, repeated);
        if (repeated && passwordLineEdit->text() != passwordRepeatLineEdit->text()) {
            mark(passwordRepeatLineEdit, tr("The passwords have to match."));
            repeated = false;
        }
        valid = valid && repeated;
    }
    // The pass phrase's warning, cleared above, stays while the field is otherwise fine.
    if (m_opcUa && FieldMarks::has(passwordLineEdit, FieldMarks::Mark::None))
        checkPassword();

    // Keyboard users never see tool tips: the first field's reason is shown as text.
    for (QWidget* field : fields) {
        if (FieldMarks::has(field, FieldMarks::Mark::Invalid)) {
            printError(field->toolTip());
            break;
        }
    }
    return valid;
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
    r.keyBits = keyIndex >= 0 && keyIndex < 4 ? s_bits[keyIndex] : 2048;
    r.digest =
        signatureAlgorithmComboBox->currentIndex() == 0 ? QStringLiteral("sha256") : QStringLiteral("sha512");
    const int dayIndex = certificateValidityComboBox->currentIndex();
    r.days = dayIndex >= 0 && dayIndex < int(std::size(s_days)) ? s_days[dayIndex] : 1825;
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
    if (result.ok) {
        QStringList warnings;
        for (const Problem& warning : result.warnings)
            warnings << warning.text();
        if (!warnings.isEmpty())
            QMessageBox::warning(this, windowTitle(), warnings.join(QLatin1Char('\n')));
        return true;
    }
    // The message stays the status line's first line; the cause goes below it.
    printError(result.cause.isEmpty() ? result.message : result.message + QLatin1Char('\n') + result.cause);
    return false;
}
