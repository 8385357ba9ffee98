#include "core/auditTrail.h"

#include "core/certificateInfo.h"
#include "core/posixIo.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString s_frontEnd;
QString s_root = QStringLiteral("/");

const char s_logFile[] = "var/log/moxsecurityconfig/audit.jsonl";

QString userName(uint uid)
{
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid_t(uid), &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return QString::number(uid);
    return QString::fromLocal8Bit(found->pw_name);
}

// The user behind sudo or pkexec, else the one who logged in; this process's real user when none says.
uint realUid()
{
    // Only sudo or pkexec, which made this process root, may speak through the environment: anybody else
    // could set these to put another name on what they did.
    for (const char* variable : {"SUDO_UID", "PKEXEC_UID"}) {
        bool ok = false;
        const uint uid = qEnvironmentVariable(variable).toUInt(&ok);
        if (ok && ::geteuid() == 0)
            return uid;
    }
    QFile loginUid(QStringLiteral("/proc/self/loginuid"));
    bool ok = false;
    const uint uid = loginUid.open(QIODevice::ReadOnly) ? loginUid.read(32).trimmed().toUInt(&ok) : 0;
    // An unset login uid reads as (uid_t)-1.
    return ok && uid != uint(-1) ? uid : uint(::getuid());
}

// Makes each missing folder of path (the last one 0750) and gives why when that fails.
bool makeFolders(const QString& path, QString* why)
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString folder;
    for (int i = 0; i < parts.size(); ++i) {
        folder += QLatin1Char('/') + parts.at(i);
        if (::mkdir(QFile::encodeName(folder).constData(), i + 1 == parts.size() ? 0750 : 0755) != 0 &&
            errno != EEXIST) {
            *why = AuditTrail::tr("%1: %2").arg(folder, PosixIo::errorText());
            return false;
        }
    }
    return true;
}

bool writeRecord(const QString& path, const QByteArray& line, QString* why)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!makeFolders(folder, why))
        return false;
    PosixIo::Descriptor fd(::open(QFile::encodeName(path).constData(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        *why = PosixIo::errorText();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = AuditTrail::tr("it is no regular file");
        return false;
    }
    // One write under the lock keeps the lines of parallel writers whole.
    if (::flock(fd.get(), LOCK_EX) != 0 ||
        ::write(fd.get(), line.constData(), size_t(line.size())) != line.size() ||
        ::fdatasync(fd.get()) != 0) {
        *why = PosixIo::errorText();
        return false;
    }
    return true;
}

// RFC 3164 datagram, facility authpriv (10), severity notice (5). Nobody listening is no failure.
void sendToLogger(const QString& socketPath, const QByteArray& message)
{
    const QByteArray path = QFile::encodeName(socketPath);
    struct sockaddr_un address = {};
    if (size_t(path.size()) >= sizeof address.sun_path)
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    PosixIo::Descriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return;
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    // RFC 3164 pads the day with a blank: "Mar  1 08:00:00".
    const QDateTime now = QDateTime::currentDateTime();
    const QString stamp = QLocale::c().toString(now, QStringLiteral("MMM ")) +
                          QStringLiteral("%1 ").arg(now.date().day(), 2) +
                          now.toString(QStringLiteral("HH:mm:ss"));
    const QByteArray datagram = "<85>" + stamp.toLatin1() + ' ' + QByteArray(host) + " moxsecurityconfig[" +
                                QByteArray::number(::getpid()) + "]: " + message;
    ::sendto(fd.get(), datagram.constData(), size_t(datagram.size()), MSG_NOSIGNAL,
             reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
}

// A value as the logger's line shows it: quoted where it holds a blank, a quote, a backslash or '=', and
// every control character escaped, so no name or path can end the line or forge another field.
QByteArray quoted(const QString& value)
{
    const QByteArray bytes = value.toUtf8();
    QByteArray out;
    bool plain = !bytes.isEmpty();
    for (const char c : bytes) {
        const uchar u = uchar(c);
        plain = plain && u > ' ' && u != 0x7f && c != '"' && c != '=' && c != '\\';
        if (c == '"' || c == '\\')
            out += '\\';
        if (u < ' ' || u == 0x7f)
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return plain ? bytes : '"' + out + '"';
}

} // namespace

void AuditTrail::setFrontEnd(const QString& frontEnd)
{
    s_frontEnd = frontEnd;
}

QString AuditTrail::frontEnd()
{
    return s_frontEnd;
}

void AuditTrail::setRoot(const QString& root)
{
    s_root = root.isEmpty() ? QStringLiteral("/") : root;
}

QString AuditTrail::logPath()
{
    return QDir::cleanPath(s_root + QLatin1Char('/') + QLatin1String(s_logFile));
}

QString AuditTrail::socketPath()
{
    return QDir::cleanPath(s_root + QStringLiteral("/dev/log"));
}

AuditTrail::Record AuditTrail::recordOf(const Event& event, bool ok, bool changed, const QString& reason)
{
    Record record;
    record.time = QDateTime::currentDateTimeUtc();
    record.uid = uint(::geteuid());
    record.user = userName(record.uid);
    record.realUid = realUid();
    record.realUser = userName(record.realUid);
    record.frontEnd = s_frontEnd;
    record.event = event;
    record.ok = ok;
    record.changed = changed;
    record.reason = ok ? QString() : reason;
    return record;
}

bool AuditTrail::append(const Record& record, QString* why)
{
    sendToLogger(socketPath(), keyValues(record));
    return writeRecord(logPath(), QJsonDocument(toJson(record)).toJson(QJsonDocument::Compact) + '\n', why);
}

QJsonObject AuditTrail::toJson(const Record& record)
{
    return QJsonObject{
        {QStringLiteral("time"), record.time.toString(Qt::ISODateWithMs)},
        {QStringLiteral("realUid"), qint64(record.realUid)},
        {QStringLiteral("realUser"), record.realUser},
        {QStringLiteral("uid"), qint64(record.uid)},
        {QStringLiteral("user"), record.user},
        {QStringLiteral("frontEnd"), record.frontEnd},
        {QStringLiteral("action"), record.event.action},
        {QStringLiteral("files"), QJsonArray::fromStringList(record.event.files)},
        {QStringLiteral("subject"), record.event.subject},
        {QStringLiteral("result"), record.ok ? QStringLiteral("ok") : QStringLiteral("failed")},
        {QStringLiteral("changed"), record.changed},
        {QStringLiteral("reason"), record.reason}};
}

bool AuditTrail::fromJson(const QByteArray& line, Record& record, QString* why)
{
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(line, &error).object();
    record.time = QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    const QString result = object.value(QStringLiteral("result")).toString();
    if (error.error != QJsonParseError::NoError || !record.time.isValid() ||
        (result != QLatin1String("ok") && result != QLatin1String("failed"))) {
        *why = error.error != QJsonParseError::NoError ? error.errorString() : tr("no time or result");
        return false;
    }
    record.realUid = uint(object.value(QStringLiteral("realUid")).toDouble());
    record.realUser = object.value(QStringLiteral("realUser")).toString();
    record.uid = uint(object.value(QStringLiteral("uid")).toDouble());
    record.user = object.value(QStringLiteral("user")).toString();
    record.frontEnd = object.value(QStringLiteral("frontEnd")).toString();
    record.event.action = object.value(QStringLiteral("action")).toString();
    for (const QJsonValue& file : object.value(QStringLiteral("files")).toArray())
        record.event.files << file.toString();
    record.event.subject = object.value(QStringLiteral("subject")).toString();
    record.ok = result == QLatin1String("ok");
    record.changed = object.value(QStringLiteral("changed")).toBool();
    record.reason = object.value(QStringLiteral("reason")).toString();
    return true;
}

QByteArray AuditTrail::keyValues(const Record& record)
{
    const QJsonObject object = toJson(record);
    QByteArrayList pairs;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue value = it.value();
        const QString text = value.isArray() ? value.toVariant().toStringList().join(QLatin1Char(','))
                             : value.isBool()
                                 ? (value.toBool() ? QStringLiteral("yes") : QStringLiteral("no"))
                             : value.isDouble() ? QString::number(value.toDouble(), 'f', 0)
                                                : value.toString();
        pairs << it.key().toUtf8() + '=' + quoted(text);
    }
    return pairs.join(' ');
}

QList<AuditTrail::Record> AuditTrail::read(const QString& path, const QDateTime& since, Problems* problems)
{
    QList<Record> records;
    QFile file(path);
    if (!file.exists())
        return records;
    if (!file.open(QIODevice::ReadOnly)) {
        problems->append(
            Problem{tr("Cannot read the change log."), tr("%1: %2").arg(path, file.errorString())});
        return records;
    }
    const qint64 start = qMax<qint64>(0, file.size() - s_maxRead);
    file.seek(start);
    QByteArray bytes = file.read(s_maxRead);
    if (start > 0) {
        // The cut line is no record; only the newest part of a large log is shown.
        bytes = bytes.mid(bytes.indexOf('\n') + 1);
        problems->append(
            Problem{tr("Only the newest %1 MiB of the change log are shown.").arg(s_maxRead >> 20), path});
    }
    const QByteArrayList lines = bytes.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).trimmed().isEmpty())
            continue;
        Record record;
        QString why;
        if (!fromJson(lines.at(i), record, &why))
            problems->append(Problem{tr("A line of the change log is damaged and was skipped."),
                                     tr("%1, line %2: %3").arg(path).arg(i + 1).arg(why)});
        else if (!since.isValid() || record.time >= since)
            records << record;
    }
    return records;
}

QString AuditTrail::thumbprintOf(const QString& path)
{
    CertificateInfo info;
    return !path.isEmpty() && CertificateInfo::readFile(path, info, nullptr) ? info.sha1Thumbprint
                                                                             : QString();
}
