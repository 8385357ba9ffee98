#include "uaUserDialog.h"

#include "uaUsersModel.h"

#include "core/usersService.h"

#include <QFont>
#include <QLabel>
#include <QLineEdit>

using Mox::Ini::AuthRole;
using Mox::Ini::User;

const QString UaUserDialog::s_invalidStyle =
    QStringLiteral("border-radius: 3px;\nborder: 1px solid red; padding-top: 1px; margin-bottom: 1px;");

UaUserDialog::UaUserDialog(UaUsersModel* model, QWidget* parent, User* editedUser)
    : QDialog(parent), m_edit(editedUser != nullptr), m_editedUser(editedUser), m_model(model)
{
    setupUi(this);
    if (!m_edit)
        return;

    setWindowTitle(tr("Edit user"));
    roleComboBox->setCurrentIndex(getSelectIndexFromRole(m_editedUser->m_role));
    nameLineEdit->setText(QString::fromStdString(m_editedUser->m_name));
    connect(roleComboBox, SIGNAL(currentIndexChanged(int)), this, SLOT(roleChanged(int)));
    connect(passwordLineEdit, SIGNAL(textEdited(const QString&)), this,
            SLOT(passwordChanged(const QString&)));
    connect(nameLineEdit, SIGNAL(textEdited(const QString&)), this, SLOT(usernameChanged(const QString&)));
}

UaUserDialog::~UaUserDialog() = default;

AuthRole UaUserDialog::getRoleFromSelect(int index)
{
    switch (index) {
    case 0:
        return Mox::Ini::eAuthRole_Guest;
    case 1:
        return Mox::Ini::eAuthRole_Operator;
    case 2:
        return Mox::Ini::eAuthRole_Admin;
    default:
        return Mox::Ini::eAuthRole_None;
    }
}

int UaUserDialog::getSelectIndexFromRole(AuthRole role)
{
    switch (role) {
    case Mox::Ini::eAuthRole_Operator:
        return 1;
    case Mox::Ini::eAuthRole_Guest:
        return 0;
    default:
        return 2;
    }
}

void UaUserDialog::accept()
{
    printStatus(QString(), false);
    if (!validate())
        return;
    if (m_edit ? editUser() : createUser()) {
        QDialog::accept();
        return;
    }
    printStatus(m_edit ? tr("An error occured while editing user.")
                       : tr("An error occured while creating user."),
                true);
}

void UaUserDialog::passwordChanged(const QString& text)
{
    setBold(passwordLabel, !text.isEmpty());
}

void UaUserDialog::usernameChanged(const QString& text)
{
    setBold(nameLabel, text.toUtf8().toStdString() != m_editedUser->m_name);
}

void UaUserDialog::roleChanged(int index)
{
    setBold(roleLabel, getRoleFromSelect(index) != m_editedUser->m_role);
}

bool UaUserDialog::validate()
{
    cleanErrors(nameLineEdit);
    cleanErrors(passwordLineEdit);
    cleanErrors(passwordRepeatLineEdit);

    const bool passwordEntered =
        !passwordLineEdit->text().isEmpty() || !passwordRepeatLineEdit->text().isEmpty();
    // The stored hash is made from the name too: a renamed user cannot keep the old password.
    const bool needPassword = !m_edit || passwordEntered || nameChanged();

    bool valid = true;
    validateRequired(nameLineEdit, valid);
    if (needPassword) {
        validateRequired(passwordLineEdit, valid);
        validateRequired(passwordRepeatLineEdit, valid);
    }
    if (!valid)
        return false;

    bool nameValid = true;
    validateLength(nameLineEdit, nameValid, UsersService::s_minName, UsersService::s_maxName);
    if (nameValid)
        validateName(nameLineEdit, nameValid);
    valid = nameValid;
    if (needPassword) {
        validateLength(passwordLineEdit, valid, UsersService::s_minPassword, UsersService::s_maxPassword);
        if (passwordLineEdit->text() != passwordRepeatLineEdit->text()) {
            addError(passwordRepeatLineEdit, tr("The passwords have to match."));
            valid = false;
        }
    }
    return valid;
}

void UaUserDialog::validateRequired(QLineEdit* edit, bool& valid)
{
    const QString reason = UsersService::requiredError(edit->text());
    if (reason.isEmpty())
        return;
    addError(edit, reason);
    valid = false;
}

void UaUserDialog::validateLength(QLineEdit* edit, bool& valid, int minimum, int maximum)
{
    const QString reason = UsersService::lengthError(edit->text(), minimum, maximum);
    if (reason.isEmpty())
        return;
    addError(edit, reason);
    valid = false;
}

void UaUserDialog::validateName(QLineEdit* edit, bool& valid)
{
    const QString reason = UsersService::characterError(edit->text());
    if (reason.isEmpty())
        return;
    addError(edit, reason);
    valid = false;
}

void UaUserDialog::addError(QLineEdit* edit, QString error)
{
    edit->setToolTip(error);
    edit->setStyleSheet(s_invalidStyle);
}

void UaUserDialog::cleanErrors(QLineEdit* edit)
{
    edit->setStyleSheet(QString());
    edit->setToolTip(QString());
}

void UaUserDialog::printStatus(const QString& text, bool error)
{
    statusLabel->setText(text);
    statusLabel->setStyleSheet(error ? QStringLiteral("color: red;") : QString());
    statusLabel->repaint();
}

bool UaUserDialog::createUser()
{
    return m_model->addUser(userFromForm(), passwordLineEdit->text());
}

bool UaUserDialog::editUser()
{
    return m_model->editUser(userFromForm(), m_editedUser, passwordLineEdit->text());
}

User UaUserDialog::userFromForm() const
{
    return User(nameLineEdit->text().toUtf8().toStdString(), getRoleFromSelect(roleComboBox->currentIndex()));
}

bool UaUserDialog::nameChanged() const
{
    return m_edit && nameLineEdit->text().toUtf8().toStdString() != m_editedUser->m_name;
}

void UaUserDialog::setBold(QLabel* label, bool bold)
{
    QFont font = label->font();
    if ((font.weight() > QFont::Normal) == bold)
        return;
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    label->setFont(font);
}
