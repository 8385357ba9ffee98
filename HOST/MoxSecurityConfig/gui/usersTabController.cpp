#include "usersTabController.h"

#include "confirmDialog.h"
#include "uaUserDialog.h"
#include "uaUsersModel.h"

#include "core/actionRules.h"
#include "core/usersService.h"

#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

#include <utility>

UsersTabController::UsersTabController(const Widgets& widgets, UaUsersModel* model, Window window)
    : m_widgets(widgets), m_model(model), m_window(std::move(window)),
      m_notice(new QLabel(widgets.table->parentWidget()))
{
    QTableView* table = m_widgets.table;
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &UsersTabController::selectionChanged);
    connect(m_widgets.create, &QPushButton::clicked, this, &UsersTabController::createUser);
    connect(m_widgets.edit, &QPushButton::clicked, this, &UsersTabController::editUser);
    connect(m_widgets.remove, &QPushButton::clicked, this, &UsersTabController::deleteUser);
    // Double-click and Enter edit, Delete deletes (with the question), Tab leaves the table. Shortcuts rather
    // than the view's activated(), which some styles emit on a single click.
    connect(table, &QAbstractItemView::doubleClicked, this, &UsersTabController::editUser);
    const std::pair<QKeySequence, void (UsersTabController::*)()> keys[] = {
        {QKeySequence::Delete, &UsersTabController::deleteUser},
        {QKeySequence(Qt::Key_Return), &UsersTabController::editUser},
        {QKeySequence(Qt::Key_Enter), &UsersTabController::editUser}};
    for (const auto& key : keys) {
        auto* shortcut = new QShortcut(key.first, table);
        shortcut->setContext(Qt::WidgetShortcut);
        connect(shortcut, &QShortcut::activated, this, key.second);
    }
    table->setTabKeyNavigation(false);
    m_notice->setObjectName(QStringLiteral("usersNoticeLabel"));
    m_notice->setWordWrap(true);
    m_notice->setStyleSheet(QStringLiteral("color: red;"));
    m_notice->hide();
    m_widgets.layout->insertWidget(m_widgets.layout->indexOf(table), m_notice);
    connect(m_model, &QAbstractItemModel::modelReset, this, &UsersTabController::showNotice);
}

bool UsersTabController::manageable() const
{
    const ActionRules* rules = m_window.rules();
    return rules && rules->allows(ActionRules::Action::ManageUsers);
}

void UsersTabController::showNotice()
{
    // Why users cannot be changed comes first; else a users file without an Admin says which role mends it.
    QString text;
    const ActionRules* rules = m_window.rules();
    if (!manageable() && rules)
        text = tr("Users cannot be changed until this is fixed: %1")
                   .arg(rules->verdict(ActionRules::Action::ManageUsers).why.text());
    else if (manageable() && m_window.storeShown())
        text = UsersService::missingAdminNotice(m_model->users());
    m_notice->setText(text);
    m_notice->setVisible(!text.isEmpty());
}

void UsersTabController::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    // A move from one row to another keeps the buttons as they are.
    if (selected.isEmpty() && !deselected.isEmpty()) {
        m_widgets.remove->hide();
        m_widgets.edit->hide();
    } else if (!selected.isEmpty() && deselected.isEmpty()) {
        m_widgets.remove->show();
        m_widgets.edit->show();
    }
}

void UsersTabController::deselect()
{
    m_widgets.table->clearSelection();
    m_widgets.edit->hide();
    m_widgets.remove->hide();
}

void UsersTabController::createUser()
{
    if (manageable() && m_window.matchesDisk())
        runDialog(nullptr);
}

void UsersTabController::editUser()
{
    if (!manageable() || !m_window.matchesDisk())
        return;
    Mox::Ini::User user;
    if (selectedUser(user) >= 0)
        runDialog(&user);
}

void UsersTabController::deleteUser()
{
    if (!manageable() || !m_window.matchesDisk())
        return;
    Mox::Ini::User user;
    const int row = selectedUser(user);
    if (row < 0) {
        deselect();
        return;
    }
    const QString name = QString::fromUtf8(user.m_name.c_str());
    if (!ConfirmDialog::ask(m_window.parent, tr("Do you really want to delete the user %1?").arg(name)))
        return;
    // The last Admin takes a second, explicit yes.
    const QString guard = m_model->lastAdminGuard(user, Mox::Ini::eAuthRole_None);
    if (!guard.isEmpty() &&
        !ConfirmDialog::ask(m_window.parent, tr("Delete the last Admin?") + QStringLiteral("\n\n") + guard))
        return;
    if (!m_model->deleteUser(row)) {
        // The store may have found the file changed or gone: show what is on disk now.
        const QString why = m_model->lastReason();
        m_window.reload();
        m_window.addError(tr("An unknown error occurred.") + QStringLiteral("\n    ") + why);
    }
    showWarnings();
    m_window.ownWrite();
    deselect();
}

void UsersTabController::runDialog(Mox::Ini::User* edited)
{
    UaUserDialog dialog(m_model, m_window.parent, edited);
    dialog.setModal(true);
    if (dialog.exec() == QDialog::Accepted) {
        showWarnings();
        deselect();
        m_window.ownWrite();
    } else if (m_model->lastCode() == Mox::Ini::eAuthRoleCode_BadCannotSaveFile) {
        m_window.reload(); // the file may have gone: show the disk as it is
    }
}

void UsersTabController::showWarnings() const
{
    QStringList lines;
    for (const Problem& warning : m_model->lastWarnings())
        lines << warning.text();
    if (!lines.isEmpty())
        QMessageBox::warning(m_window.parent, tr("Users"), lines.join(QLatin1Char('\n')));
}

int UsersTabController::selectedUser(Mox::Ini::User& user) const
{
    const QModelIndexList rows = m_widgets.table->selectionModel()->selectedRows(0);
    if (rows.size() != 1 || !m_model->getUser(rows.first().row(), user))
        return -1;
    return rows.first().row();
}
