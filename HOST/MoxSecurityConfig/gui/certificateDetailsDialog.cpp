#include "certificateDetailsDialog.h"

#include "core/certificateInfo.h"
#include "core/signedInstall.h"

#include <QLabel>

CertificateDetailsDialog::CertificateDetailsDialog(const QString& certificatePath, QWidget* parent,
                                                   const QStringList& caFolders)
    : QDialog(parent)
{
    setupUi(this);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    pathLabel->setText(certificatePath);

    CertificateInfo info;
    QString why;
    if (!CertificateInfo::readFile(certificatePath, info, &why)) {
        errorLabel->setText(why);
        scrollArea->hide();
    } else {
        errorLabel->hide();
        auto rows = info.rows();
        rows.append(
            {tr("Chain"), SignedInstall::chainOf(certificatePath, caFolders).join(QLatin1Char('\n'))});
        for (const auto& row : rows) {
            auto* text = new QLabel(row.second, detailsWidget);
            text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            text->setTextFormat(Qt::PlainText);
            text->setWordWrap(true);
            text->setObjectName(QStringLiteral("value_") + QString::number(detailsFormLayout->rowCount()));
            detailsFormLayout->addRow(row.first + QLatin1Char(':'), text);
        }
    }
    // Wide enough for a fingerprint on one line, never more than a 1024x768 screen takes.
    resize(qMin(sizeHint().width() + 40, 980), qMin(sizeHint().height() + 40, 700));
}

CertificateDetailsDialog::~CertificateDetailsDialog() = default;

QString CertificateDetailsDialog::value(const QString& label) const
{
    for (int row = 0; row < detailsFormLayout->rowCount(); ++row) {
        auto* name =
            qobject_cast<QLabel*>(detailsFormLayout->itemAt(row, QFormLayout::LabelRole)
                                      ? detailsFormLayout->itemAt(row, QFormLayout::LabelRole)->widget()
                                      : nullptr);
        auto* text =
            qobject_cast<QLabel*>(detailsFormLayout->itemAt(row, QFormLayout::FieldRole)
                                      ? detailsFormLayout->itemAt(row, QFormLayout::FieldRole)->widget()
                                      : nullptr);
        if (name && text && name->text() == label + QLatin1Char(':'))
            return text->text();
    }
    return QString();
}

QString CertificateDetailsDialog::error() const
{
    return errorLabel->isHidden() ? QString() : errorLabel->text();
}
