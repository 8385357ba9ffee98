// Creates a user of the OPC UA server or edits one: name, password typed twice, role.
#pragma once

#include "IniAuth.h"
#include "ui_uaUserDialog.h"

#include <QDialog>

class QLineEdit;
class QLabel;
class UaUsersModel;

class UaUserDialog : public QDialog, private Ui::UaUserDialog
{
    Q_OBJECT

public:
    // A null editedUser opens the dialog to create a user; otherwise it edits that user, which the caller
    // keeps alive while the dialog runs.
    UaUserDialog(UaUsersModel* model, QWidget* parent, Mox::Ini::User* editedUser);
    ~UaUserDialog() override;

    static Mox::Ini::AuthRole getRoleFromSelect(int index);
    static int getSelectIndexFromRole(Mox::Ini::AuthRole role);

    static const QString s_invalidStyle;

public slots:
    void accept() override;
    // Edit mode only: a label turns bold while its field differs from the edited user.
    void passwordChanged(const QString& text);
    void usernameChanged(const QString& text);
    void roleChanged(int index);

private:
    bool validate();
    void validateRequired(QLineEdit* edit, bool& valid);
    void validateLength(QLineEdit* edit, bool& valid, int minimum, int maximum);
    void validateName(QLineEdit* edit, bool& valid);
    // Shows the first marked field's reason on the status line; returns valid.
    bool showFirstReason(bool valid);
    void addError(QLineEdit* edit, QString error);
    void cleanErrors(QLineEdit* edit);
    void printStatus(const QString& text, bool error);
    bool createUser();
    bool editUser();
    Mox::Ini::User userFromForm() const;
    static void setBold(QLabel* label, bool bold);

    bool m_edit;
    Mox::Ini::User* m_editedUser;
    UaUsersModel* m_model;
    bool m_validated = false; // OK was pressed once: marks follow the fields from now on
};
