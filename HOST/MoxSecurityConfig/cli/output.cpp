#include "output.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

namespace {

void write(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QJsonArray toJson(const Problems& problems)
{
    QJsonArray array;
    for (const Problem& problem : problems)
        array.append(QJsonObject{{QStringLiteral("message"), problem.message},
                                 {QStringLiteral("detail"), problem.detail}});
    return array;
}

} // namespace

void Output::line(const QString& text) const
{
    if (!m_json && !m_quiet)
        write(stdout, text);
}

void Output::error(const Problem& problem)
{
    m_errors << problem;
    write(stderr, QStringLiteral("moxsec: ") + problem.text());
}

void Output::warning(const Problem& problem)
{
    m_warnings << problem;
    if (!m_quiet)
        write(stderr, QStringLiteral("moxsec: warning: ") + problem.text());
}

void Output::record(const Problems& errors, const Problems& warnings)
{
    m_errors << errors;
    m_warnings << warnings;
}

int Output::finish(int exitCode) const
{
    if (m_json) {
        const QJsonObject object{{QStringLiteral("ok"), exitCode == Success},
                                 {QStringLiteral("changed"), m_changed},
                                 {QStringLiteral("errors"), toJson(m_errors)},
                                 {QStringLiteral("warnings"), toJson(m_warnings)},
                                 {QStringLiteral("data"), m_data}};
        const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    }
    std::fflush(stdout);
    return exitCode;
}
