#include "signedInstallDialog.h"

#include "core/signedInstall.h"

#include <QFileDialog>
#include <QPushButton>
#include <QStyle>

SignedInstallDialog::SignedInstallDialog(const ConfigSnapshot& snapshot, CertificateRequest::Mode mode,
                                         QWidget* parent)
    : QDialog(parent), m_snapshot(snapshot), m_install(std::make_unique<SignedInstall>(snapshot, mode))
{
    setupUi(this);
    updateConfigCheckBox->setVisible(mode == CertificateRequest::Mode::OpcUa);
    QPushButton* installButton = buttonBox->button(QDialogButtonBox::Ok);
    installButton->setText(tr("Install"));
    installButton->setObjectName(QStringLiteral("installPushButton"));
    installButton->setEnabled(false);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &SignedInstallDialog::install);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(checkPushButton, &QPushButton::clicked, this, &SignedInstallDialog::runChecks);
    connect(certificateBrowseButton, &QPushButton::clicked, this,
            [this] { browse(certificateLineEdit, false); });
    connect(chainBrowseButton, &QPushButton::clicked, this, [this] { browse(chainLineEdit, true); });
    // A changed input makes the listed checks stale.
    for (QLineEdit* field : {certificateLineEdit, chainLineEdit})
        connect(field, &QLineEdit::textChanged, this, [this] {
            checksListWidget->clear();
            buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
        });
    connect(updateConfigCheckBox, &QCheckBox::toggled, this, [this] {
        checksListWidget->clear();
        buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
    });
}

SignedInstallDialog::~SignedInstallDialog() = default;

void SignedInstallDialog::browse(QLineEdit* field, bool several)
{
    const QString filter = tr("Certificates (*.pem *.der *.crt *.cer);;All files (*)");
    const QString chosen =
        several ? QFileDialog::getOpenFileNames(this, windowTitle(), QString(), filter).join(QLatin1Char(';'))
                : QFileDialog::getOpenFileName(this, windowTitle(), QString(), filter);
    if (!chosen.isEmpty())
        field->setText(chosen);
}

void SignedInstallDialog::runChecks()
{
    checksListWidget->clear();
    const QStringList chain = chainLineEdit->text().split(QLatin1Char(';'), Qt::SkipEmptyParts);
    const QList<SignedInstall::Check> checks =
        m_install->check(certificateLineEdit->text().trimmed(), chain, updateConfigCheckBox->isChecked());
    for (const SignedInstall::Check& check : checks) {
        auto* item = new QListWidgetItem(
            (check.passed ? tr("Passed: %1") : tr("Failed: %1")).arg(check.title) +
                (check.detail.isEmpty() ? QString() : QStringLiteral("\n    ") + check.detail),
            checksListWidget);
        item->setData(Qt::UserRole, check.passed);
        item->setIcon(style()->standardIcon(check.passed ? QStyle::SP_DialogApplyButton
                                                         : QStyle::SP_DialogCancelButton));
    }
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(m_install->passed());
}

void SignedInstallDialog::install()
{
    if (!m_install->passed())
        return;
    m_result = m_install->install();
    accept();
}
