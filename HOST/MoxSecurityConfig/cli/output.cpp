#include "output.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The text, and the detail on a line of its own, each escaped.
void write(FILE* stream, const QString& text, const QString& detail = QString())
{
    QByteArray bytes = Output::escaped(text).toUtf8() + '\n';
    if (!detail.isEmpty())
        bytes += Output::escaped(detail).toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

void writeBytes(FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

const char s_hex[] = "0123456789abcdef";

bool bidiControl(ushort c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x2028 && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

// The length of the valid UTF-8 sequence at data (size bytes left), 0 when there is none.
int sequenceLength(const uchar* data, int size)
{
    const uchar c = data[0];
    int length;
    uint lowest, value;
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf)
        length = 2, lowest = 0x80, value = c & 0x1f;
    else if (c >= 0xe0 && c <= 0xef)
        length = 3, lowest = 0x800, value = c & 0x0f;
    else if (c >= 0xf0 && c <= 0xf4)
        length = 4, lowest = 0x10000, value = c & 0x07;
    else
        return 0;
    if (size < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((data[i] & 0xc0) != 0x80)
            return 0;
        value = value << 6 | (data[i] & 0x3f);
    }
    const bool surrogate = value >= 0xd800 && value <= 0xdfff;
    return value >= lowest && value <= 0x10ffff && !surrogate ? length : 0;
}

void appendValidUtf8(QByteArray& out, const char* data, int size)
{
    int valid = 0; // start of the run not yet copied
    for (int i = 0; i < size;) {
        if (uchar(data[i]) < 0x80) {
            ++i;
            continue;
        }
        const int length = sequenceLength(reinterpret_cast<const uchar*>(data) + i, size - i);
        if (length) {
            i += length;
            continue;
        }
        out.append(data + valid, i - valid);
        out += "\xef\xbf\xbd";
        valid = ++i;
    }
    out.append(data + valid, size - valid);
}

// The value of the \uXXXX escape at text[at], or -1.
int escapeAt(const QByteArray& text, int at)
{
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u')
        return -1;
    bool ok;
    const int value = text.mid(at + 2, 4).toInt(&ok, 16);
    return ok ? value : -1;
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
        write(m_stdout, text);
}

void Output::error(const Problem& problem)
{
    const Problem worded{terminalWording(problem.message), problem.detail, problem.concern};
    m_errors << worded;
    write(m_stderr, QStringLiteral("moxsec: ") + worded.message, worded.detail);
}

void Output::warning(const Problem& problem)
{
    const Problem worded{terminalWording(problem.message), problem.detail, problem.concern};
    m_warnings << worded;
    if (!m_quiet && !m_json)
        write(m_stderr, QStringLiteral("moxsec: warning: ") + worded.message, worded.detail);
}

QString Output::terminalWording(const QString& message)
{
    static const struct
    {
        const char *window, *terminal;
    } whole[] = {
        {"User already exist.", "A user of that name already exists."},
        {"User does not exist.", "There is no such user."},
        {"Password have to be between 5 and 30 characters length.",
         "A password must have between 5 and 30 characters."},
        {"Username have to be between 2 and 20 characters length.",
         "A name must have between 2 and 20 characters."},
        {"Changes cannot be written to INI file.", "The users file could not be written."},
        {"Username contains characters that cannot be stored.",
         "The name holds characters the users file cannot store."},
    };
    for (const auto& pair : whole) {
        if (message == QLatin1String(pair.window))
            return QLatin1String(pair.terminal);
    }
    // A dialog's reason sits beside its field; on a terminal it follows what it is about ("Name 'x'
    // refused: it must ...").
    if (!message.contains(QLatin1String("This field ")))
        return message;
    QString text = message;
    text.replace(QLatin1String("This field has to have"), QLatin1String("it must have"))
        .replace(QLatin1String("This field "), QLatin1String("it "));
    if (text.startsWith(QLatin1String("it ")))
        text[0] = QLatin1Char('I');
    return text;
}

void Output::wouldChange(const QString& change)
{
    m_wouldChange << change;
    m_changed = true;
    line(QStringLiteral("Would %1.").arg(change));
}

void Output::record(const Problems& errors, const Problems& warnings)
{
    m_errors << errors;
    m_warnings << warnings;
}

bool Output::needsNoEscape(const char* utf8, int size)
{
    // Eight bytes at a time (a listing checks every name): none may have its high bit set, be below 0x20,
    // or be '"' or '\\'. For "any byte" these word tests are exact.
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = ones * 0x80;
    const auto anyBelow = [](std::uint64_t w, std::uint64_t n) { return (w - ones * n) & ~w & highs; };
    int i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, utf8 + i, sizeof w);
        if ((w & highs) | anyBelow(w, 0x20) | anyBelow(w ^ (ones * '"'), 1) | anyBelow(w ^ (ones * '\\'), 1))
            return false;
    }
    for (; i < size; ++i) {
        const uchar c = uchar(utf8[i]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\')
            return false;
    }
    return true;
}

void Output::appendJsonString(QByteArray& out, const char* utf8, int size)
{
    // Names are nearly always printable ASCII: one copy, quotes included, without the escaping walk.
    if (needsNoEscape(utf8, size)) {
        const int at = out.size();
        out.resize(at + size + 2);
        char* to = out.data() + at;
        to[0] = '"';
        std::memcpy(to + 1, utf8, size_t(size));
        to[size + 1] = '"';
        return;
    }
    out += '"';
    int plain = 0; // start of the run not yet copied
    for (int i = 0; i < size; ++i) {
        const uchar c = uchar(utf8[i]);
        if (c != '"' && c != '\\' && c >= 0x20)
            continue;
        appendValidUtf8(out, utf8 + plain, i - plain);
        plain = i + 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else {
            out += "\\u00";
            out += s_hex[c >> 4];
            out += s_hex[c & 15];
        }
    }
    appendValidUtf8(out, utf8 + plain, size - plain);
    out += '"';
}

QString Output::escaped(const QString& text)
{
    auto special = [](QChar ch) {
        const ushort c = ch.unicode();
        return c < 0x20 || c == '\\' || (c >= 0x7f && c <= 0x9f) || bidiControl(c);
    };
    if (std::none_of(text.begin(), text.end(), special))
        return text;
    QString out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const ushort c = ch.unicode();
        if (c == '\\') {
            out += QLatin1String("\\\\");
        } else if (c == '\r' || c == '\n' || c == '\t') {
            out += QLatin1String(c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t");
        } else if (c < 0x20 || c == 0x7f) {
            out += QLatin1Char('\\') + QString::number(c, 8).rightJustified(3, QLatin1Char('0'));
        } else if (c >= 0x80 && c <= 0x9f) { // C1, shown as its UTF-8 bytes
            out += QStringLiteral("\\302\\%1").arg(0200 + (c & 0x3f), 3, 8);
        } else if (bidiControl(c)) {
            out += QStringLiteral("\\u") + QString::number(c, 16).rightJustified(4, QLatin1Char('0'));
        } else {
            out += ch;
        }
    }
    return out;
}

QByteArray Output::validUtf8(const QByteArray& json)
{
    // Most documents are plain ASCII without surrogate escapes: those are returned as they are.
    const char* data = json.constData();
    bool plain = true;
    for (int i = 0; i < json.size() && plain; ++i)
        plain = uchar(data[i]) < 0x80 && !(data[i] == '\\' && (data[i + 1] == 'u' || data[i + 1] == 'U'));
    if (plain)
        return json;
    QByteArray checked;
    appendValidUtf8(checked, json.constData(), json.size());
    QByteArray out;
    out.reserve(checked.size());
    for (int i = 0; i < checked.size(); ++i) {
        const int value = escapeAt(checked, i);
        if (value < 0) {
            out += checked[i];
            // An escaped backslash is copied whole, so that its second half never starts an escape.
            if (checked[i] == '\\' && i + 1 < checked.size())
                out += checked[++i];
            continue;
        }
        const int low = value >= 0xd800 && value <= 0xdbff ? escapeAt(checked, i + 6) : -1;
        if (low >= 0xdc00 && low <= 0xdfff) {
            out += checked.mid(i, 12);
            i += 11;
        } else if (value >= 0xd800 && value <= 0xdfff) {
            out += "\\ufffd";
            i += 5;
        } else {
            out += checked.mid(i, 6);
            i += 5;
        }
    }
    return out;
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
        QJsonObject object = m_data;
        if (m_dryRun) {
            object.insert(QStringLiteral("dry_run"), true);
            object.insert(QStringLiteral("would_change"), QJsonArray::fromStringList(m_wouldChange));
        }
        QByteArray data = QJsonDocument(object).toJson(QJsonDocument::Compact);
        data.chop(1); // the closing brace, after which the raw members go
        const QByteArray head =
            "{\"changed\":" + QByteArray(m_changed ? "true" : "false") + ",\"data\":" + data;
        const QByteArray tail =
            "},\"errors\":" + QJsonDocument(toJson(m_errors)).toJson(QJsonDocument::Compact) +
            ",\"ok\":" + QByteArray(exitCode == Success ? "true" : "false") +
            ",\"warnings\":" + QJsonDocument(toJson(m_warnings)).toJson(QJsonDocument::Compact) + "}\n";
        // The raw members are written as they are, uncopied and unchecked: appendJsonString made them valid.
        writeBytes(m_stdout, validUtf8(head));
        bool first = data.size() == 1;
        for (const auto& raw : m_raw) {
            writeBytes(m_stdout, (first ? "" : ",") + jsonString(raw.first) + ':');
            writeBytes(m_stdout, raw.second);
            first = false;
        }
        writeBytes(m_stdout, validUtf8(tail));
    }
    std::fflush(m_stdout);
    std::fflush(m_stderr);
    return exitCode;
}
