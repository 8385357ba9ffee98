#include "accessBar.h"

#include "core/actionRules.h"

#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QStyle>

#include <unistd.h>

AccessBar::AccessBar(QWidget* parent) : QFrame(parent)
{
    setupUi(this);
    accessIconLabel->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(16, 16));
    connect(restartAdminPushButton, &QPushButton::clicked, this, &AccessBar::restartAsAdministrator);
    hide();
}

AccessBar::~AccessBar() = default;

void AccessBar::showFor(const ActionRules& rules)
{
    const QStringList& files = rules.unwritable();
    accessLabel->setText(
        tr("Read-only: this user cannot write %1. The buttons that would change them are disabled.")
            .arg(files.join(tr(", "))));
    // Root refused all the same (a read-only mount) gains nothing from pkexec.
    restartAdminPushButton->setVisible(::geteuid() != 0);
    setVisible(!files.isEmpty());
}

QStringList AccessBar::restartCommand()
{
    return QStringList{QCoreApplication::applicationFilePath()} + QCoreApplication::arguments().mid(1);
}

void AccessBar::restartAsAdministrator()
{
    const QString title = tr("Restart as administrator");
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        QMessageBox::warning(window(), title,
                             tr("pkexec was not found on the search path (it comes with polkit, package "
                                "pkexec), so the window stays read-only.\nStart it from a terminal with "
                                "sudo MoxSecurityConfig instead."));
        return;
    }
    QProcess process;
    process.setProgram(pkexec);
    process.setArguments(restartCommand());
    process.setWorkingDirectory(QDir::currentPath());
    if (!process.startDetached()) {
        QMessageBox::warning(window(), title,
                             tr("%1 could not be started, so the window stays read-only:\n%2")
                                 .arg(pkexec, process.errorString()));
        return;
    }
    // The administrator's window takes over; pkexec asks for the password itself.
    window()->close();
}
