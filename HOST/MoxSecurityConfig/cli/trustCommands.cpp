#include "trustCommands.h"

#include "commandLine.h"
#include "output.h"

#include <QJsonArray>

#include <algorithm>

namespace {

const char s_nameNote[] =
    "A file of the same name in the target folder is never replaced: the move fails, saying so. Nothing "
    "changes when any name is unknown or ambiguous.";

} // namespace

int TrustChangeCommand::executeWithInstallation()
{
    const TrustStore store(TrustStore::foldersOf(m_snapshot));
    Problems problems;
    const QList<Entry> all = store.list(&problems);
    for (const Problem& problem : problems)
        m_out->warning(problem);
    QList<Entry> chosen;
    int exitCode;
    if (!resolve(all, chosen, exitCode))
        return exitCode;
    if (m_out->dryRun()) {
        QStringList changes;
        for (const Entry& entry : chosen)
            changes << plannedChange(entry);
        return wouldChange(changes);
    }
    if (!confirmedFor(chosen, exitCode))
        return exitCode;
    exitCode = report(apply(store, chosen));
    QJsonArray array;
    for (const Entry& entry : chosen) {
        // What a failure left in place is reported where it is.
        const bool done = !entry.present();
        QJsonObject object{{QStringLiteral("thumbprint"), entry.thumbprint},
                           {QStringLiteral("name"), entry.name},
                           {QStringLiteral("from"), entry.path},
                           {QStringLiteral("done"), done}};
        reportEntry(entry, done, object);
        array.append(object);
    }
    m_out->data().insert(QStringLiteral("files"), array);
    return exitCode;
}

bool TrustChangeCommand::resolve(const QList<Entry>& all, QList<Entry>& chosen, int& exitCode)
{
    QList<Entry> candidates;
    std::copy_if(all.begin(), all.end(), std::back_inserter(candidates),
                 [&](const Entry& entry) { return takes(entry); });
    for (const QString& key : arguments()) {
        QString error;
        bool badInput = false;
        const Entry* entry = TrustStore::find(candidates, key, &error, &badInput);
        if (!entry && !badInput)
            explainMissing(all, key, error);
        if (!entry) {
            exitCode = fail(QStringLiteral("Nothing was changed: %1").arg(error), key,
                            badInput ? Output::Usage : Output::Failure);
            return false;
        }
        const bool twice = std::any_of(chosen.begin(), chosen.end(), [&](const Entry& e) {
            return e.folder == entry->folder && e.fileName == entry->fileName;
        });
        if (!twice)
            chosen << *entry;
    }
    return true;
}

void TrustChangeCommand::explainMissing(const QList<Entry>&, const QString&, QString&) const {}

bool TrustChangeCommand::confirmedFor(const QList<Entry>&, int&)
{
    return true;
}

TrustMoveCommand::TrustMoveCommand(const QString& name, TrustStore::Folder from, TrustStore::Folder to,
                                   Move move, const QString& summary)
    : TrustChangeCommand(name, "THUMBPRINT|FILE...", 1, s_manyArguments, {},
                         summary + QLatin1Char(' ') + QLatin1String(s_nameNote)),
      m_from(from), m_to(to), m_move(move)
{}

ActionResult TrustMoveCommand::apply(const TrustStore& store, const QList<Entry>& chosen)
{
    return (store.*m_move)(chosen);
}

QString TrustMoveCommand::target() const
{
    return TrustStore::foldersOf(m_snapshot).path(m_to);
}

void TrustMoveCommand::explainMissing(const QList<Entry>& all, const QString& key, QString& error) const
{
    if (const Entry* elsewhere = TrustStore::find(all, key, nullptr))
        error = QStringLiteral("'%1' is in the %2 folder, not in the %3 folder.")
                    .arg(elsewhere->path, TrustStore::folderName(elsewhere->folder),
                         TrustStore::folderName(m_from));
}

QString TrustMoveCommand::plannedChange(const Entry& entry) const
{
    return QStringLiteral("move %1 into %2").arg(entry.path, target());
}

void TrustMoveCommand::reportEntry(const Entry& entry, bool done, QJsonObject& object)
{
    const QString to = target() + QLatin1Char('/') + entry.fileName;
    object.insert(QStringLiteral("to"), to);
    if (done) {
        m_out->line(QStringLiteral("Moved %1").arg(entry.path));
        m_out->line(QStringLiteral("   to %1").arg(to));
    }
}

TrustAcceptCommand::TrustAcceptCommand()
    : TrustMoveCommand(
          "trust accept", TrustStore::Folder::Rejected, TrustStore::Folder::Trusted, &TrustStore::trust,
          "Moves certificates from the rejected folder into the trust list, so those clients may connect. A "
          "certificate is named by its SHA-1 thumbprint or a unique prefix of at least 8 hex digits, by its "
          "file name or by its path.")
{}

TrustRejectCommand::TrustRejectCommand()
    : TrustMoveCommand(
          "trust reject", TrustStore::Folder::Trusted, TrustStore::Folder::Rejected, &TrustStore::reject,
          "Moves certificates from the trust list into the rejected folder, so those clients are refused. "
          "Named as with trust accept.")
{}

TrustRemoveCommand::TrustRemoveCommand()
    : TrustChangeCommand(
          "trust remove", "THUMBPRINT|FILE...", 1, s_manyArguments, {&s_yes, &s_noBackup},
          "Deletes certificates or CRLs from any of the four folders (asks on a terminal, else needs "
          "--yes). Named as with trust accept. A symbolic link is removed itself, never what it points to. " +
              backupNote())
{}

QString TrustRemoveCommand::plannedChange(const Entry& entry) const
{
    return QStringLiteral("remove %1").arg(entry.path);
}

bool TrustRemoveCommand::confirmedFor(const QList<Entry>& chosen, int& exitCode)
{
    QStringList paths;
    for (const Entry& entry : chosen)
        paths << entry.path;
    return confirmed(
        QStringLiteral("Delete %1?").arg(paths.join(QStringLiteral(", "))) + backupQuestion(paths), exitCode);
}

ActionResult TrustRemoveCommand::apply(const TrustStore& store, const QList<Entry>& chosen)
{
    const ActionResult result = store.remove(chosen, backup());
    reportBackups(result);
    return result;
}

void TrustRemoveCommand::reportEntry(const Entry& entry, bool done, QJsonObject&)
{
    if (done)
        m_out->line(QStringLiteral("Removed %1").arg(entry.path));
}

TrustImportCommand::TrustImportCommand()
    : InstallationCommand(
          "trust import", "FILE...", 1, s_manyArguments, {&s_issuer, &s_trusted},
          "Imports certificates (PEM or DER) and CRLs. By content a CA certificate goes to the issuers, any "
          "other certificate to the trust list, a CRL to the revocation folder; --issuer or --trusted puts "
          "certificates there instead. A certificate is written as '<CN> [<thumbprint>].der' or '.pem' after "
          "its encoding, a CRL keeps its name. An existing file is never replaced, except a CRL by a later "
          "one of the same issuer.")
{}

bool TrustImportCommand::checkArguments(int& exitCode)
{
    if (!m_line->isSet(s_issuer) || !m_line->isSet(s_trusted))
        return true;
    exitCode = usage(QStringLiteral("--issuer and --trusted exclude each other."));
    return false;
}

int TrustImportCommand::executeWithInstallation()
{
    const TrustStore store(TrustStore::foldersOf(m_snapshot));
    QStringList written;
    const ActionResult result = store.importFiles(arguments(),
                                                  m_line->isSet(s_issuer)    ? TrustStore::Target::Issuers
                                                  : m_line->isSet(s_trusted) ? TrustStore::Target::Trusted
                                                                             : TrustStore::Target::ByContent,
                                                  &written, m_out->dryRun());
    if (m_out->dryRun()) {
        reportProblems(result);
        QStringList changes;
        for (const QString& path : written)
            changes << QStringLiteral("write %1").arg(path);
        const int exitCode = wouldChange(changes);
        return result.ok ? exitCode : int(Output::Failure);
    }
    const int exitCode = report(result);
    for (const QString& path : written)
        m_out->line(QStringLiteral("Imported %1").arg(path));
    m_out->data().insert(QStringLiteral("written"), QJsonArray::fromStringList(written));
    return exitCode;
}
