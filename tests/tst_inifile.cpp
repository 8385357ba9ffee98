#include "DPrint.h"
#include "IniReader.h"
#include "IniWriter.h"
#include "iniTestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using namespace Mox::Ini;
using namespace IniTest;

class TestIniFile : public QObject
{
    Q_OBJECT

private slots:
    void lineEnds_data();
    void lineEnds();
    void grammar_data();
    void grammar();
    void blockBoundaries_data();
    void blockBoundaries();
    void messages();
    void printFlagsFromEnvironment_data();
    void printFlagsFromEnvironment();
    void valueParsers();
    void writerExactBytes();
    void writerKeepsLinkModeAndOwner();

private:
    QTemporaryDir m_dir;
};

namespace {
struct ReadResult
{
    QStringList calls; // one entry per item-handing call: "[section]" and/or "<key>=<value>", joined by '|'
    bool success = false;
    int line = 0;
};

ReadResult readAll(const QString& file)
{
    ReadResult result;
    bool success = false;
    IniReader reader(path(file), success);
    if (!success)
        return result;
    std::string key, value, section;
    bool sectionChanged = false, dataChanged = false;
    // The bound only keeps a faulty reader from looping for ever.
    for (int i = 0; i < 1000000 && reader.read(success, key, value, section, sectionChanged, dataChanged);
         ++i) {
        QStringList parts;
        if (sectionChanged)
            parts << "[" + QString::fromStdString(section) + "]";
        if (dataChanged)
            parts << "<" + QString::fromStdString(key) + ">=<" + QString::fromStdString(value) + ">";
        result.calls << parts.join('|');
    }
    result.success = success;
    result.line = reader.getLine();
    return result;
}

QStringList items(const QStringList& calls)
{
    return calls.join('|').split('|', Qt::SkipEmptyParts);
}
} // namespace

void TestIniFile::lineEnds_data()
{
    QTest::addColumn<QStringList>("ends");
    QTest::newRow("LF") << QStringList{"\n"};
    QTest::newRow("CR LF") << QStringList{"\r\n"};
    QTest::newRow("CR") << QStringList{"\r"};
    QTest::newRow("mixed") << QStringList{"\r", "\n", "\r\n"};
}

void TestIniFile::lineEnds()
{
    QFETCH(QStringList, ends);
    // Repeated so that the file spans many read blocks and the reader has to drop consumed text on the way.
    const QStringList lines{";note", "[A]", "k=v", "", "x=", "[B]", "a=b=c", "key = value", "last=1"};
    const QStringList once{"[A]", "<k>=<v>", "<x>=<>", "[B]", "<a>=<b=c>", "<key >=< value>", "<last>=<1>"};
    const int repeats = 300, count = repeats * lines.size();
    QByteArray bytes;
    QStringList expected;
    for (int i = 0; i < count; ++i)
        bytes += lines[i % lines.size()].toLatin1() + (i + 1 < count ? ends[i % ends.size()].toLatin1() : "");
    for (int i = 0; i < repeats; ++i)
        expected += once;
    const QString file = m_dir.filePath("ends.ini");
    QVERIFY(writeFile(file, bytes));
    const ReadResult r = readAll(file);
    QVERIFY(r.success);
    QCOMPARE(items(r.calls), expected);
    QCOMPARE(r.line, count + 1); // each line counted once
}

void TestIniFile::grammar_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("success");
    QTest::newRow("empty file") << QByteArray() << QStringList() << true;
    QTest::newRow("only comments") << QByteArray(";a\n\n;b\n") << QStringList() << true;
    QTest::newRow("header and pair in one call")
        << QByteArray("[S]\n\n;c\nk=v\n") << QStringList{"[S]|<k>=<v>"} << true;
    QTest::newRow("headers one by one")
        << QByteArray("[A]\n[B]\nk=v\n") << QStringList{"[A]", "[B]|<k>=<v>"} << true;
    QTest::newRow("header on the last line")
        << QByteArray("[A]\nk=v\n[B]") << QStringList{"[A]|<k>=<v>", "[B]"} << true;
    QTest::newRow("repeated header") << QByteArray("[A]\n[A]\n") << QStringList{"[A]", "[A]"} << true;
    QTest::newRow("name with = and ]")
        << QByteArray("[a=b]\n[a]b]\nk=v\n") << QStringList{"[a=b]", "[a]b]|<k>=<v>"} << true;
    QTest::newRow("empty name") << QByteArray("[]\n") << QStringList{"[]"} << true;
    QTest::newRow("bracket key") << QByteArray("[S]\n[x=1\n") << QStringList{"[S]|<[x>=<1>"} << true;
    QTest::newRow("empty key") << QByteArray("[S]\n=v\n=\n") << QStringList{"[S]|<>=<v>", "<>=<>"} << true;
    QTest::newRow("pair before any header") << QByteArray("k=v\n") << QStringList{"<k>=<v>"} << true;
    QTest::newRow("unclosed header") << QByteArray("[x\n") << QStringList() << false;
    QTest::newRow("hash is no comment") << QByteArray("[S]\n#x\n") << QStringList() << false;
    QTest::newRow("blanks before ;") << QByteArray("[S]\n  ;x\nk=v\n") << QStringList() << false;
    QTest::newRow("blank line of spaces") << QByteArray("[S]\n   \n") << QStringList() << false;
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[S]\nk=v\n") << QStringList() << false;
}

void TestIniFile::grammar()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, calls);
    QFETCH(bool, success);
    const QString file = m_dir.filePath("grammar.ini");
    QVERIFY(writeFile(file, bytes));
    ReadResult r;
    captureStderr([&] { r = readAll(file); });
    QCOMPARE(r.calls, calls);
    QCOMPARE(r.success, success);
}

void TestIniFile::blockBoundaries_data()
{
    // The reader takes the file 200 bytes at a time: put a line end, or a long line, across those blocks.
    // Ten-byte filler lines ending in LF, starting at an odd offset, never end on a block's last byte, so the
    // reader's buffer is never emptied and consumed text has to be dropped from its front.
    QTest::addColumn<QByteArray>("firstEnd");
    QTest::addColumn<int>("firstLength");
    QTest::addColumn<int>("fillers");
    QTest::newRow("CR LF split at 200") << QByteArray("\r\n") << 199 << 0;
    QTest::newRow("CR alone at 200") << QByteArray("\r") << 199 << 0;
    QTest::newRow("CR LF split at 400") << QByteArray("\r\n") << 399 << 0;
    QTest::newRow("one long line") << QByteArray("\r\n") << 100000 << 0;
    QTest::newRow("many lines pending") << QByteArray("\r\n") << 199 << 3000;
}

void TestIniFile::blockBoundaries()
{
    QFETCH(QByteArray, firstEnd);
    QFETCH(int, firstLength);
    QFETCH(int, fillers);
    QByteArray value(firstLength - 7, 'v');
    for (int i = 0; i < value.size(); i += 7)
        value[i] = char('a' + i % 26); // so that a shifted or repeated piece shows
    QByteArray bytes = "[S]\r\nk=" + value + firstEnd;
    QStringList expected{"[S]", "<k>=<" + QString::fromLatin1(value) + ">"};
    for (int i = 0; i < fillers; ++i) {
        const QByteArray key = "k" + QByteArray::number(100000 + i);
        bytes += key + "=x\n";
        expected << "<" + key + ">=<x>";
    }
    QCOMPARE(bytes.indexOf(firstEnd, 5), firstLength);
    bytes += "b=2\r\n\r\nbad\r\nc=3\r\n";
    expected << "<b>=<2>";
    const QString file = m_dir.filePath("blocks.ini");
    QVERIFY(writeFile(file, bytes));
    ReadResult r;
    const QByteArray err = captureStderr([&] { r = readAll(file); });
    QCOMPARE(items(r.calls), expected);
    QVERIFY(!r.success);
    QCOMPARE(err, "Invalid structure in INI file '" + file.toUtf8() + "' on line " +
                      QByteArray::number(5 + fillers) + ".\n");
}

void TestIniFile::messages()
{
    // Empty sections above the bad line; nothing after it is read or reported.
    const QString file = m_dir.filePath("seven.ini");
    QVERIFY(writeFile(file, "[A]\n[B]\n\n;c\n[C]\nk=v\nbad\n[D]\nworse\n"));
    ReadResult r;
    QCOMPARE(captureStderr([&] { r = readAll(file); }),
             "Invalid structure in INI file '" + file.toUtf8() + "' on line 7.\n");
    QVERIFY(!r.success);

    const QString missing = m_dir.filePath("missing.ini");
    bool success = true;
    QCOMPARE(captureStderr([&] { IniReader reader(path(missing), success); }),
             "Missing configuration file '" + missing.toUtf8() + "'.\n");
    QVERIFY(!success);

    const XDWORD saved = g_dwPrintFlags;
    g_dwPrintFlags = ~XDWORD(16);
    QCOMPARE(captureStderr([&] { r = readAll(file); }), QByteArray());
    g_dwPrintFlags = saved;
}

void TestIniFile::valueParsers()
{
    // Numbers beyond 32 bits clamp, then negative ones wrap.
    const std::pair<const char*, XDWORD> numbers[] = {{" \t+7", 7u},
                                                      {"12abc", 12u},
                                                      {"abc", 0u},
                                                      {"-1", 4294967295u},
                                                      {"2147483648", 2147483647u},
                                                      {"-2147483649", 2147483648u}};
    for (const auto& n : numbers)
        QVERIFY2(IniReader::parseUInt(n.first) == n.second, n.first);

    for (const auto& word : {std::make_pair("YES", true), std::make_pair("ON", true),
                             std::make_pair("OFF", false), std::make_pair("N", false)}) {
        bool result = !word.second;
        QVERIFY2(IniReader::parseBool(word.first, result) && result == word.second, word.first);
    }
    for (const char* other : {"off", "TRUE", "1", " ON", ""}) {
        bool result = true;
        QVERIFY2(!IniReader::parseBool(other, result) && result, other);
    }
    QVERIFY(IniReader::validateUriPart("") && IniReader::validateUriPart("Ab-9_z"));
    for (const char* bad : {"a.b", "a b", "\xC3\xA9"})
        QVERIFY2(!IniReader::validateUriPart(bad), bad);

    // A separator at the first byte alone is not searched; a trailing one is cut off.
    const std::pair<const char*, const char*> folders[] = {{"/etc/x.ini", "/etc"}, {"dir/", "dir"},
                                                           {"a\\b.ini", "a"},      {"/name", "kept"},
                                                           {"ab", "kept"},         {"a", "kept"}};
    for (const auto& f : folders) {
        std::string folder = "kept";
        QVERIFY2(IniReader::getFolderOfFile(f.first, folder) == (std::strcmp(f.second, "kept") != 0) &&
                     folder == f.second,
                 f.first);
    }

    // Pieces are taken byte for byte; an empty one fails, with the pieces before it already out.
    typedef std::vector<std::string> Fields;
    const std::tuple<const char*, bool, Fields> arrays[] = {{"[ a,b]", true, {" a", "b"}},
                                                            {"[]", true, {}},
                                                            {"[a,,b]", false, {"a"}},
                                                            {"[,a]", false, {}},
                                                            {"[a", false, {"old"}}};
    for (const auto& [text, ok, expected] : arrays) {
        Fields fields{"old"};
        QVERIFY2(IniReader::parseArray(text, fields) == ok && fields == expected, text);
    }
    const std::tuple<const char*, bool, Fields> names[] = {
        {"A:B:C", true, {"A", "B", "C"}}, {"", false, {}}, {"A::B", false, {"A"}}, {"A:", false, {"A"}}};
    for (const auto& [text, ok, expected] : names) {
        Fields tree{"old"};
        QVERIFY2(IniReader::parseSectionName(text, tree) == ok && tree == expected, text);
    }

    const std::string options[] = {"R", "W", "X", "W"};
    std::int32_t index = -1;
    QVERIFY(IniReader::getIndexInField("W", options, 4, index) && index == 1);
    QVERIFY(!IniReader::getIndexInField("X", options, 2, index) && index == 1);
    EnumMask mask(4);
    mask.add(3);
    QVERIFY(!IniReader::getFields({"X", "Q", "R"}, options, 4, mask)); // stops at the unknown string
    QCOMPARE(mask.getFilled(), (std::vector<std::uint32_t>{2, 3}));
    EnumMask wide(32);
    wide.add(31);
    wide.add(7);
    QCOMPARE(wide.getFilled(), (std::vector<std::uint32_t>{7, 31}));
    EnumMask narrow(3);
    narrow.add(7);
    QVERIFY(narrow.getFilled().empty()); // bits beyond the size are not listed
}

void TestIniFile::writerExactBytes()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("written.ini");
    const QByteArray old(10000, 'x');
    QVERIFY(writeFile(file, old));
    const std::string longKey(150, 'K'), longValue(300, 'V');
    {
        bool success = false;
        IniWriter writer(path(file), success);
        QVERIFY(success);
        writer.addSection("A");
        writer.addKeyValue("k", "");
        writer.addComment(" c");
        writer.addVoidLine();
        writer.addKeyValue(longKey, longValue);
        writer.addKeyValue(" sp ", " v=w ");
        QCOMPARE(readFile(file), old); // nothing reaches the target before the commit
        QVERIFY(writer.commit());
    }
    QCOMPARE(readFile(file), "[A]\r\nk=\r\n; c\r\n\r\n" +
                                 QByteArray::fromStdString(longKey + "=" + longValue) + "\r\n sp = v=w \r\n");
    QCOMPARE(entries(dir.path()), QStringList{"written.ini"});

    const QByteArray committed = readFile(file);
    {
        bool success = false;
        IniWriter writer(path(file), success);
        writer.addSection("dropped");
    }
    QCOMPARE(readFile(file), committed);
    QCOMPARE(entries(dir.path()), QStringList{"written.ini"});
}

void TestIniFile::writerKeepsLinkModeAndOwner()
{
    if (::geteuid() != 0)
        QSKIP("only root can give the file another owner");
    // A relative link into a subfolder: the new content must land beside the real file, not the link.
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("real"));
    const QString real = dir.filePath("real/target.ini"), link = dir.filePath("link.ini");
    QVERIFY(writeFile(real, "old\r\n"));
    QVERIFY(::symlink("real/target.ini", path(link).c_str()) == 0);
    QVERIFY(::chmod(path(real).c_str(), 0640) == 0);
    QVERIFY(::chown(path(real).c_str(), 65534, 65534) == 0);
    {
        bool success = false;
        IniWriter writer(path(link), success, 0600);
        QVERIFY(success);
        writer.addSection("N");
        QVERIFY(writer.commit());
    }
    QCOMPARE(QFileInfo(link).symLinkTarget(), QFileInfo(real).absoluteFilePath());
    QCOMPARE(readFile(real), QByteArray("[N]\r\n"));
    QCOMPARE(fileMode(real), 0640);
    struct stat st;
    QVERIFY(::stat(path(real).c_str(), &st) == 0);
    QCOMPARE(st.st_uid, uid_t(65534));
    QCOMPARE(st.st_gid, gid_t(65534));
    QCOMPARE(entries(dir.filePath("real")), QStringList{"target.ini"});
    QCOMPARE(entries(dir.path()), (QStringList{"link.ini", "real"}));

    for (const unsigned mode : {0600u, 0640u}) {
        const QString created = dir.filePath(QString("new%1.ini").arg(mode, 0, 8));
        bool success = false;
        IniWriter writer(path(created), success, mode);
        QVERIFY(success && writer.commit());
        QCOMPARE(fileMode(created), int(mode));
    }
}

void TestIniFile::printFlagsFromEnvironment_data()
{
    QTest::addColumn<QString>("flags"); // empty: not set
    QTest::addColumn<bool>("printed");
    QTest::newRow("not set") << "" << true;
    QTest::newRow("16") << "16" << true;
    QTest::newRow("0x11") << "0x11" << true;
    QTest::newRow("0") << "0" << false;
    QTest::newRow("other classes") << "15" << false;
}

void TestIniFile::printFlagsFromEnvironment()
{
    // The flags are taken when the library loads, so only a fresh process shows them.
    QFETCH(QString, flags);
    QFETCH(bool, printed);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("MOX_PRINT_FLAGS");
    if (!flags.isEmpty())
        env.insert("MOX_PRINT_FLAGS", flags);
    const QString missing = m_dir.filePath("missing.ini");
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"--open-missing", missing});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardError(),
             printed ? "Missing configuration file '" + missing.toUtf8() + "'.\n" : QByteArray());
}

// "--open-missing PATH" only opens a missing file, for printFlagsFromEnvironment.
int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--open-missing") == 0) {
        bool success = true;
        IniReader reader(argv[2], success);
        return success ? 1 : 0;
    }
    QCoreApplication app(argc, argv);
    TestIniFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_inifile.moc"
