// The users of the OPC UA authorization store as a two-column table (name, role).
#pragma once

#include "IniAuth.h"

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

    // Each change goes to the store; on success the table is read again, on failure it is left as it was.
    bool addUser(const Mox::Ini::User& user, const QString& password);
    // Turns oldUser into user; an empty password keeps the stored one.
    bool editUser(const Mox::Ini::User& user, Mox::Ini::User* oldUser, QString password);
    bool getUser(int index, Mox::Ini::User& user) const;
    bool deleteUser(int index);
    const std::vector<Mox::Ini::User>& users() const { return m_users; }
    // The store's answer to the last change: a save that failed may mean the file changed or went away.
    Mox::Ini::AuthRoleCode lastCode() const { return m_lastCode; }

private:
    void reload();

    Mox::Ini::IniAuth* m_source = nullptr;
    std::vector<Mox::Ini::User> m_users;
    Mox::Ini::AuthRoleCode m_lastCode = Mox::Ini::eAuthRoleCode_Good;
};
