// Shows what a certificate file says, read by the core; every value can be selected and copied.
#pragma once

#include "ui_certificateDetailsDialog.h"

#include <QDialog>
#include <QString>

class CertificateDetailsDialog : public QDialog, private Ui::CertificateDetailsDialog
{
    Q_OBJECT

public:
    // caFolders: where the chain's CA certificates are looked up (the issuers and trust folders).
    explicit CertificateDetailsDialog(const QString& certificatePath, QWidget* parent = nullptr,
                                      const QStringList& caFolders = {});
    ~CertificateDetailsDialog() override;

    // The value shown for a label ("SHA-1 thumbprint"), empty when there is no such row.
    QString value(const QString& label) const;
    // Why the certificate could not be shown; empty when it was.
    QString error() const;
};
