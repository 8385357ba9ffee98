#include "uaUserDialog.h"

#include "fieldMarks.h"
#include "uaUsersModel.h"
#include "wheelGuard.h"

#include "confirmDialog.h"

#include "core/usersService.h"

#include <QFont>
#include <QLabel>
#include <QLineEdit>

using Mox::Ini::AuthRole;
using Mox::Ini::User;

const QString UaUserDialog::s_invalidStyle = FieldMarks::style(FieldMarks::Mark::Invalid);

UaUserDialog::UaUserDialog(UaUsersModel* model, QWidget* parent, User* editedUser)
    : QDialog(parent), m_edit(editedUser != nullptr), m_editedUser(editedUser), m_model(model)
{
    setupUi(this);
    WheelGuard::install(this);
    statusLabel->setWordWrap(true);
    // Once OK has shown what is wrong, each mark goes as soon as its field is right.
    for (QLineEdit* edit : {nameLineEdit, passwordLineEdit, passwordRepeatLineEdit}) {
        connect(edit, &QLineEdit::textEdited, this, [this] {
            if (m_validated)
                validate();
        });
    }
    if (!m_edit)
        return;

    setWindowTitle(tr("Edit user"));
    roleComboBox->setCurrentIndex(getSelectIndexFromRole(m_editedUser->m_role));
    nameLineEdit->setText(QString::fromStdString(m_editedUser->m_name));
    connect(roleComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &UaUserDialog::roleChanged);
    connect(passwordLineEdit, &QLineEdit::textEdited, this, &UaUserDialog::passwordChanged);
    connect(nameLineEdit, &QLineEdit::textEdited, this, &UaUserDialog::usernameChanged);
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
    m_validated = true;
    if (!validate())
        return;
    // Demoting the last Admin takes a second, explicit yes.
    const QString guard = m_edit ? m_model->lastAdminGuard(*m_editedUser, userFromForm().m_role) : QString();
    if (!guard.isEmpty()) {
        ConfirmDialog confirm(tr("Demote the last Admin?") + QStringLiteral("\n\n") + guard, true, this);
        if (confirm.exec() != QDialog::Accepted)
            return;
    }
    if (m_edit ? editUser() : createUser()) {
        QDialog::accept();
        return;
    }
    if (m_model->lastCode() == Mox::Ini::eAuthRoleCode_BadAlreadyExist)
        printStatus(tr("A user with this name already exists."), true);
    else
        printStatus((m_edit ? tr("An error occurred while editing user.")
                            : tr("An error occurred while creating user.")) +
                        QLatin1Char('\n') + m_model->lastReason(),
                    true);
}

void UaUserDialog::passwordChanged(const QString& text)
{
    setBold(passwordLabel, !text.isEmpty());
}

void UaUserDialog::usernameChanged(const QString& text)
{
    const bool renamed = UsersService::isNewName(m_editedUser, text);
    setBold(nameLabel, renamed);
    // The stored password is bound to the name, so say so before OK does.
    if (!m_validated)
        printStatus(renamed ? UsersService::renameNeedsPasswordError() : QString(), false);
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
    const bool needPassword =
        passwordEntered || UsersService::isNewName(m_edit ? m_editedUser : nullptr, nameLineEdit->text());

    bool valid = true;
    validateRequired(nameLineEdit, valid);
    if (needPassword) {
        validateRequired(passwordLineEdit, valid);
        validateRequired(passwordRepeatLineEdit, valid);
    }
    if (!valid)
        return showFirstReason(false);

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
    return showFirstReason(valid);
}

void UaUserDialog::validateRequired(QLineEdit* edit, bool& valid)
{
    FieldMarks::refuse(edit, UsersService::requiredError(edit->text()), valid);
}

void UaUserDialog::validateLength(QLineEdit* edit, bool& valid, int minimum, int maximum)
{
    FieldMarks::refuse(edit, UsersService::lengthError(edit->text(), minimum, maximum), valid);
}

bool UaUserDialog::showFirstReason(bool valid)
{
    // Keyboard users never see tool tips: the first field's reason is shown as text.
    const struct
    {
        QLabel* label;
        QLineEdit* edit;
    } fields[] = {{nameLabel, nameLineEdit},
                  {passwordLabel, passwordLineEdit},
                  {passwordRepeatLabel, passwordRepeatLineEdit}};
    for (const auto& field : fields) {
        if (!field.edit->toolTip().isEmpty()) {
            printStatus(field.label->text().remove(QLatin1Char('&')) + QLatin1Char(' ') +
                            field.edit->toolTip(),
                        true);
            return valid;
        }
    }
    printStatus(QString(), false);
    return valid;
}

void UaUserDialog::validateName(QLineEdit* edit, bool& valid)
{
    QString reason = UsersService::characterError(edit->text());
    // New names only: an existing user with blanks around its name stays editable.
    if (reason.isEmpty() && UsersService::isNewName(m_edit ? m_editedUser : nullptr, edit->text()))
        reason = UsersService::blankError(edit->text());
    FieldMarks::refuse(edit, reason, valid);
}

void UaUserDialog::addError(QLineEdit* edit, QString error)
{
    FieldMarks::set(edit, FieldMarks::Mark::Invalid, error);
}

void UaUserDialog::cleanErrors(QLineEdit* edit)
{
    FieldMarks::clear(edit);
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

void UaUserDialog::setBold(QLabel* label, bool bold)
{
    QFont font = label->font();
    if ((font.weight() > QFont::Normal) == bold)
        return;
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    label->setFont(font);
}
