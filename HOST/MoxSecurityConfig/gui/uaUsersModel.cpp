#include "uaUsersModel.h"

using Mox::Ini::AuthRole;
using Mox::Ini::IniAuth;
using Mox::Ini::User;

UaUsersModel::UaUsersModel(QObject* parent) : QAbstractTableModel(parent)
{
    reload();
}

UaUsersModel::~UaUsersModel() = default;

void UaUsersModel::setIniUaAuth(IniAuth* source)
{
    m_source = source;
    m_last = UsersService::Result();
    reload();
}

int UaUsersModel::rowCount(const QModelIndex&) const
{
    return static_cast<int>(m_users.size());
}

int UaUsersModel::columnCount(const QModelIndex&) const
{
    return 2;
}

QVariant UaUsersModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || index.row() < 0 || index.row() >= rowCount())
        return QVariant();
    const User& user = m_users[static_cast<size_t>(index.row())];
    switch (index.column()) {
    case 0:
        return QString::fromStdString(user.m_name);
    case 1:
        switch (user.m_role) {
        case Mox::Ini::eAuthRole_Admin:
            return tr("Admin");
        case Mox::Ini::eAuthRole_Operator:
            return tr("Operator");
        case Mox::Ini::eAuthRole_Guest:
            return tr("Guest");
        default:
            return QVariant();
        }
    default:
        return QString();
    }
}

QVariant UaUsersModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QVariant();
    if (section == 0)
        return tr("Name");
    if (section == 1)
        return tr("Role");
    return QVariant();
}

bool UaUsersModel::addUser(const User& user, const QString& password)
{
    return finish(UsersService(m_source).add(QString::fromStdString(user.m_name), password, user.m_role));
}

bool UaUsersModel::editUser(const User& user, User* oldUser, QString password)
{
    if (!oldUser)
        return false;
    // Role, name and password land together or not at all.
    return finish(
        UsersService(m_source).edit(*oldUser, QString::fromStdString(user.m_name), user.m_role, password));
}

bool UaUsersModel::getUser(int index, User& user) const
{
    if (index < 0 || index >= rowCount())
        return false;
    user = m_users[static_cast<size_t>(index)];
    return true;
}

bool UaUsersModel::deleteUser(int index)
{
    if (index < 0 || index >= rowCount())
        return false;
    return finish(UsersService(m_source).remove(m_users[size_t(index)]));
}

QString UaUsersModel::lastAdminGuard(const User& user, AuthRole newRole) const
{
    return UsersService(m_source).lastAdminGuard(user, newRole);
}

bool UaUsersModel::finish(UsersService::Result result)
{
    m_last = std::move(result);
    // The store may have re-read a file another program changed: show what it holds either way.
    reload();
    return m_last.ok();
}

void UaUsersModel::reload()
{
    beginResetModel();
    if (!m_source || IniAuth::isBad(m_source->getListOfUsers(m_users)))
        m_users.clear();
    endResetModel();
}
