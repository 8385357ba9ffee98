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
    if (!m_source)
        return false;
    const std::string passwordBytes = password.toUtf8().toStdString();
    if (IniAuth::isBad(m_source->addUser(user.m_name, passwordBytes, user.m_role)))
        return false;
    reload();
    return true;
}

bool UaUsersModel::editUser(const User& user, User* oldUser, QString password)
{
    if (!m_source || !oldUser)
        return false;
    const std::string passwordBytes = password.toUtf8().toStdString();
    if (user.m_role == oldUser->m_role && user.m_name == oldUser->m_name && password.isEmpty())
        return true;
    // One save: a rename never lands without the password the new name needs, nor the role without both.
    if (IniAuth::isBad(m_source->updateUser(oldUser->m_name, user.m_name, user.m_role,
                                            password.isEmpty() ? nullptr : &passwordBytes)))
        return false;
    reload();
    return true;
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
    if (index < 0 || index >= rowCount() || !m_source)
        return false;
    if (IniAuth::isBad(m_source->removeUser(m_users[static_cast<size_t>(index)].m_name)))
        return false;
    reload();
    return true;
}

void UaUsersModel::reload()
{
    beginResetModel();
    if (!m_source || IniAuth::isBad(m_source->getListOfUsers(m_users)))
        m_users.clear();
    endResetModel();
}
