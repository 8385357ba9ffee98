// The users of the OPC UA authorization store as a two-column table (name, role).
#pragma once

#include "IniAuth.h"
#include "core/usersService.h"

#include <QAbstractTableModel>
#include <QString>

#include <vector>

class UaUsersModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit UaUsersModel(QObject* parent = nullptr);
    ~UaUsersModel() override;

    // The store is not owned; null shows no users.
    void setIniUaAuth(Mox::Ini::IniAuth* source);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Each change goes through the users service, whose rules it keeps; afterwards the table is read again.
    bool addUser(const Mox::Ini::User& user, const QString& password);
    // Turns oldUser into user; an empty password keeps the stored one, which a rename cannot.
    bool editUser(const Mox::Ini::User& user, Mox::Ini::User* oldUser, QString password);
    bool getUser(int index, Mox::Ini::User& user) const;
    bool deleteUser(int index);
    const std::vector<Mox::Ini::User>& users() const { return m_users; }
    // The service's verdict: why giving user newRole (eAuthRole_None: deleting it) leaves no Admin.
    QString lastAdminGuard(const Mox::Ini::User& user, Mox::Ini::AuthRole newRole) const;
    // The answer to the last change: a save that failed may mean the file changed or went away.
    Mox::Ini::AuthRoleCode lastCode() const { return m_last.code; }
    // Why the last change was refused or failed; empty when it was done.
    const QString& lastReason() const { return m_last.reason; }
    // What went wrong beside the last change (the change log could not be written).
    const Problems& lastWarnings() const { return m_last.warnings; }

private:
    void reload();
    bool finish(UsersService::Result result);

    Mox::Ini::IniAuth* m_source = nullptr;
    std::vector<Mox::Ini::User> m_users;
    UsersService::Result m_last;
};
