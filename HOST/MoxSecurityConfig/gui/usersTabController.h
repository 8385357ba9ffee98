// The OPC UA users tab: the table's keys, the Edit and Delete buttons that follow the selection, the notice
// above the table and the user dialogs. The window owns the store and the rule book and says whether a
// change may go ahead.
#pragma once

#include "IniAuth.h"

#include <QItemSelection>
#include <QObject>

#include <functional>

class ActionRules;
class QLabel;
class QPushButton;
class QTableView;
class QVBoxLayout;
class UaUsersModel;

class UsersTabController : public QObject
{
    Q_OBJECT

public:
    struct Widgets
    {
        QTableView* table;
        QVBoxLayout* layout; // the notice goes into it, above the table
        QPushButton* create;
        QPushButton* edit;
        QPushButton* remove;
    };
    struct Window
    {
        QWidget* parent; // of the dialogs
        std::function<const ActionRules*()> rules;
        std::function<bool()> storeShown;  // a users file is read and shown in the table
        std::function<bool()> matchesDisk; // false: the window read the disk again, nothing is done
        std::function<void()> reload;
        std::function<void(const QString&)> addError;
        std::function<void()> ownWrite; // the files were written by the window itself
    };

    UsersTabController(const Widgets& widgets, UaUsersModel* model, Window window);

    // False, with the reason above the table, while the rule book refuses to change users.
    bool manageable() const;
    // Above the users table: why users cannot be changed, or that no Admin exists.
    void showNotice();
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void deselect();
    void createUser();
    void editUser();
    void deleteUser();

private:
    // Creates a user (edited null) or edits one; a failed save shows the disk as it is.
    void runDialog(Mox::Ini::User* edited);
    // A message box with the last change's warnings, when it has any.
    void showWarnings() const;
    // The one selected user and its row; -1 when not exactly one is selected.
    int selectedUser(Mox::Ini::User& user) const;

    Widgets m_widgets;
    UaUsersModel* m_model;
    Window m_window;
    QLabel* m_notice;
};
