// trust list: every file of the four client-certificate folders, what it is and whom it names.
#include "trustCommands.h"

#include "commandLine.h"
#include "output.h"

#include <QJsonArray>

namespace {

QString dateText(const QDateTime& time)
{
    return time.isValid() ? time.toString(Qt::ISODate) : QString();
}

QJsonObject entryJson(const TrustStore::Entry& entry)
{
    QJsonObject object{{QStringLiteral("folder"), TrustStore::folderName(entry.folder)},
                       {QStringLiteral("kind"), TrustStore::kindName(entry.kind)},
                       {QStringLiteral("name"), entry.name},
                       {QStringLiteral("uri"), entry.uri},
                       {QStringLiteral("validUntil"), dateText(entry.validUntil)},
                       {QStringLiteral("thumbprint"), entry.thumbprint},
                       {QStringLiteral("file"), entry.path},
                       {QStringLiteral("link"), entry.link}};
    if (entry.kind == TrustStore::Kind::Unreadable)
        object.insert(QStringLiteral("reason"), entry.reason);
    if (entry.link)
        object.insert(QStringLiteral("target"), entry.linkTarget);
    // "file" has invalid bytes replaced; a script that acts on the file needs the real ones.
    if (entry.nameLossy())
        object.insert(QStringLiteral("file_hex"), QString::fromLatin1(entry.pathBytes().toHex()));
    return object;
}

QJsonObject foldersJson(const TrustStore::Folders& folders)
{
    QJsonObject object;
    for (TrustStore::Folder folder : {TrustStore::Folder::Trusted, TrustStore::Folder::Issuers,
                                      TrustStore::Folder::Rejected, TrustStore::Folder::Revocation})
        object.insert(TrustStore::folderName(folder), folders.path(folder));
    return object;
}

// What trust list shows of an entry after its folder.
QString entryText(const TrustStore::Entry& entry)
{
    if (entry.link)
        return QStringLiteral("link to ") + entry.linkTarget;
    if (entry.kind == TrustStore::Kind::Unreadable)
        return QStringLiteral("unreadable: ") + entry.reason;
    return QStringLiteral("%1 %2 %3 %4")
        .arg(TrustStore::kindName(entry.kind), -14)
        .arg(entry.validUntil.isValid() ? entry.validUntil.toString(QStringLiteral("yyyy-MM-dd"))
                                        : QStringLiteral("-"),
             -10)
        .arg(entry.thumbprint, entry.uri.isEmpty()
                                   ? entry.name
                                   : entry.name + QStringLiteral(" <") + entry.uri + QLatin1Char('>'));
}

} // namespace

TrustListCommand::TrustListCommand()
    : InstallationCommand(
          "trust list", "", 0, 0, {},
          "Lists the client-certificate folders (trusted, issuers, rejected, revocation): each file's "
          "folder, kind (certificate, CA certificate, CRL, unreadable with the reason), name (CN), "
          "application URI, valid until, SHA-1 thumbprint and file. Files over 1 MB are listed as "
          "unreadable.")
{}

int TrustListCommand::executeWithInstallation()
{
    const TrustStore::Folders folders = TrustStore::foldersOf(m_snapshot);
    Problems problems;
    const QList<TrustStore::Entry> entries = TrustStore(folders).list(&problems);
    for (const Problem& problem : problems)
        m_out->error(problem);
    QJsonArray array;
    for (const TrustStore::Entry& entry : entries) {
        array.append(entryJson(entry));
        m_out->line(
            QStringLiteral("%1 %2").arg(TrustStore::folderName(entry.folder), -10).arg(entryText(entry)));
        m_out->line(QStringLiteral("           ") + entry.path);
    }
    if (entries.isEmpty())
        m_out->line(QStringLiteral("The client-certificate folders hold no files."));
    m_out->data().insert(QStringLiteral("folders"), foldersJson(folders));
    m_out->data().insert(QStringLiteral("entries"), array);
    return problems.isEmpty() ? Output::Success : Output::Failure;
}
