#include "core/rootedEnumerator.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString cleanRoot(const QString& root)
{
    return root.isEmpty() ? QStringLiteral("/") : QDir::cleanPath(QDir(root).absolutePath());
}

} // namespace

RootedInstEnumerator::RootedInstEnumerator(const QString& root) : m_root(root) {}

std::string RootedInstEnumerator::rooted(const QString& root, const std::string& path)
{
    if (path.empty())
        return path;
    // A loop leaves nothing to work on rather than a path the kernel would follow out of the root.
    return resolve(root, QString::fromStdString(path)).toStdString();
}

QString RootedInstEnumerator::resolve(const QString& root, const QString& path, QString* why)
{
    const QString base = cleanRoot(root);
    if (base == QLatin1String("/") || path.isEmpty())
        return path;
    // Resolved by hand, one component at a time: the kernel would follow a link's absolute target out of
    // the root, and a later open follows whatever link is left in the path.
    QStringList todo = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList done;
    bool missing = false; // below a missing component nothing is a link
    int links = 0;
    while (!todo.isEmpty()) {
        const QString part = todo.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!done.isEmpty())
                done.removeLast();
            continue;
        }
        done << part;
        if (missing)
            continue;
        const QByteArray real = QFile::encodeName(base + QLatin1Char('/') + done.join(QLatin1Char('/')));
        struct stat st;
        if (::lstat(real.constData(), &st) != 0) {
            missing = true;
            continue;
        }
        if (!S_ISLNK(st.st_mode))
            continue;
        // The kernel's own limit on links in one lookup.
        if (++links > 40) {
            if (why)
                *why = QStringLiteral("%1: too many levels of symbolic links").arg(path);
            return QString();
        }
        QByteArray target(4096, '\0');
        const ssize_t size = ::readlink(real.constData(), target.data(), size_t(target.size()));
        if (size < 0 || size >= target.size()) {
            missing = true;
            continue;
        }
        target.truncate(int(size));
        done.removeLast();
        if (target.startsWith('/'))
            done.clear();
        todo = QFile::decodeName(target).split(QLatin1Char('/'), Qt::SkipEmptyParts) + todo;
    }
    return done.isEmpty() ? base : base + QLatin1Char('/') + done.join(QLatin1Char('/'));
}

QString RootedInstEnumerator::inside(const QString& root, const QString& path)
{
    const QString base = cleanRoot(root);
    if (base == QLatin1String("/"))
        return path;
    if (path == base)
        return QStringLiteral("/");
    return path.startsWith(base + QLatin1Char('/')) ? path.mid(base.size()) : QString();
}

bool RootedInstEnumerator::Refresh()
{
    const bool refreshed = MoxLInstEnumerator::Refresh();
    // The list keeps its storage, so the active instance keeps its address across refreshes.
    for (MoxInstInstance& instance : Installs) {
        instance.OpensslDir = rooted(m_root, instance.OpensslDir);
        instance.OpcUaDefaultConfigPath = rooted(m_root, instance.OpcUaDefaultConfigPath);
        instance.CoreDefaultConfigPath = rooted(m_root, instance.CoreDefaultConfigPath);
    }
    return refreshed;
}
