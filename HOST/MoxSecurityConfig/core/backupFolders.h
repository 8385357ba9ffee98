// The folders one backup is made in: beside each path that goes, in the .backup folder of its folder, all
// under one name that is free in every one of them (and in the manifests' folder), each marked with its
// sequence number. Only sub-folders this user owns are used, and none is reached through a link.
#pragma once

#include "core/posixIo.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <vector>

class BackupFolders
{
public:
    struct Holder
    {
        QString path;
        PosixIo::Descriptor dir;
        PosixIo::Descriptor root;
        PosixIo::Descriptor target;
        bool made = false; // its backup folder was made by this call
    };

    // A sub-folder of dir that this user owns, made 0700 when missing (made says so); never a link.
    static PosixIo::Descriptor ownFolder(int dirFd, const QByteArray& name, bool create,
                                         bool* made = nullptr);
    // A backup's name as the tool gives it: "yyyyMMdd-HHmmss", with "-NN" when that was taken.
    static bool isToolName(const QByteArray& name);
    // The tool's backups in the .backup folder rootFd with their sequence numbers, oldest first.
    static QList<QPair<quint64, QByteArray>> toolBackups(int rootFd);

    // Opens the folders the paths (their entries, byte for byte, when given) lie in, with their .backup. Each
    // step says why it failed, or is empty.
    QString open(const QStringList& paths, const QList<QByteArray>& entries);
    bool empty() const { return m_holders.empty(); }
    Holder* of(const QString& path);
    // Picks the backup's name and makes its folder in every holder; an earlier call of the same deletion
    // (used) chose the name already. The folders made are added to used.
    QString makeTargets(QStringList& used, const QDateTime& when, const QString& manifestFolder);
    const QString& name() const { return m_name; }

private:
    bool makeAll(const QString& candidate, int& failure);

    std::vector<Holder> m_holders;
    PosixIo::Descriptor m_manifests;
    QString m_name;
    QString m_reused;
};
