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

void Output::appendJsonString(QByteArray& out, const char* utf8, int size)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (int i = 0; i < size; ++i) {
        const uchar c = uchar(utf8[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    out += '"';
}

QByteArray Output::jsonString(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    appendJsonString(out, utf8.constData(), utf8.size());
    return out;
}

int Output::finish(int exitCode) const
{
    if (m_json) {
        QByteArray data = QJsonDocument(m_data).toJson(QJsonDocument::Compact);
        for (const auto& raw : m_raw) {
            data.chop(1); // the closing brace
            data += (data.size() > 1 ? "," : "") + jsonString(raw.first) + ':' + raw.second + '}';
        }
        const QByteArray bytes =
            "{\"changed\":" + QByteArray(m_changed ? "true" : "false") + ",\"data\":" + data +
            ",\"errors\":" + QJsonDocument(toJson(m_errors)).toJson(QJsonDocument::Compact) +
            ",\"ok\":" + QByteArray(exitCode == Success ? "true" : "false") +
            ",\"warnings\":" + QJsonDocument(toJson(m_warnings)).toJson(QJsonDocument::Compact) + "}\n";
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    }
    std::fflush(stdout);
    return exitCode;
}
