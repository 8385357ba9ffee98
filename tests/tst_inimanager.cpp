#include "IniManager.h"
#include "iniTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace Mox::Ini;
using namespace IniTest;

class TestIniManager : public QObject
{
    Q_OBJECT

private slots:
    void readRules_data();
    void readRules();
    void savedImageAndRoundTrip();
    void queriesAndEdits();
    void reloadKeepsOldContentOnFailure();
    void missingFileIsCreatedOnSave();
    void strictSections();
    void uniqueKeyResults();
    void uniqueKeyMovesAndRenames();
    void uniqueKeyReload();

private:
    QString file(const QByteArray& bytes)
    {
        const QString p = m_dir.filePath(QString("f%1.ini").arg(++m_files));
        return writeFile(p, bytes) ? p : QString();
    }

    QTemporaryDir m_dir;
    int m_files = 0;
};

namespace {
// "A(x=1,z=3) B(y=2)"
QString dump(const IniManager& manager)
{
    QStringList sections;
    for (const auto& section : *manager.getSections()) {
        QStringList pairs;
        for (const auto& kv : section->m_values)
            pairs << QString::fromStdString(kv->m_key + "=" + kv->m_value);
        sections << QString::fromStdString(section->m_name) + "(" + pairs.join(',') + ")";
    }
    return sections.join(' ');
}
} // namespace

void TestIniManager::readRules_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("canOverwrite");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("document");
    QTest::newRow("later value wins") << QByteArray("[S]\nk=1\nj=0\nk=2\n") << true << true << "S(k=2,j=0)";
    QTest::newRow("repeated key fails")
        << QByteArray("[S]\nk=1\nj=0\nk=2\n") << false << false << "S(k=1,j=0)";
    QTest::newRow("repeated section continues")
        << QByteArray("[A]\nx=1\n[B]\ny=2\n[A]\nz=3\n") << false << true << "A(x=1,z=3) B(y=2)";
    QTest::newRow("pair before any header") << QByteArray("k=v\n[A]\n") << true << false << "";
    QTest::newRow("empty section name") << QByteArray("[A]\n[]\nk=v\n") << true << false << "A()";
    QTest::newRow("invalid line") << QByteArray("[A]\nx=1\nbad\n[B]\n") << true << false << "A(x=1)";
    QTest::newRow("empty key") << QByteArray("[A]\n=v\n") << false << true << "A(=v)";
    // A large section, continued after another one, with its first key past the start and its last repeated.
    QByteArray large("[A]\n");
    QStringList pairs;
    for (int i = 0; i < 100; ++i) {
        large += "k" + QByteArray::number(i) + "=" + QByteArray::number(i) + "\n";
        pairs << QString("k%1=%2").arg(i).arg(i == 5 || i == 99 ? "new" : QString::number(i));
    }
    large += "[B]\nb=1\n[A]\nk5=new\nk99=new\n";
    QTest::newRow("large section, later value")
        << large << true << true << "A(" + pairs.join(',') + ") B(b=1)";
    pairs[5] = "k5=5"; // the read stops at the first repetition
    pairs[99] = "k99=99";
    QTest::newRow("large section, repeated key")
        << large << false << false << "A(" + pairs.join(',') + ") B(b=1)";
}

void TestIniManager::readRules()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, canOverwrite);
    QFETCH(bool, success);
    QFETCH(QString, document);
    const QString f = file(bytes);
    bool ok = !success;
    std::unique_ptr<IniManager> manager;
    captureStderr([&] { manager.reset(new IniManager(path(f), ok, canOverwrite)); });
    QCOMPARE(ok, success);
    QCOMPARE(dump(*manager), document);
}

void TestIniManager::savedImageAndRoundTrip()
{
    const QString f = file("[A]\nx=1\n;gone\n[B]\ny=2\n\n[A]\nz=3\n[E]\n");
    bool ok = false;
    IniManager manager(path(f), ok, false);
    QVERIFY(ok);
    QVERIFY(manager.save());
    QCOMPARE(readFile(f), QByteArray("[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n\r\n[E]\r\n"));

    // Text the grammar can carry must read back as it was stored.
    const std::string longValue(1000, 'L');
    QVERIFY(manager.setKey("A", "", "empty key", true));
    QVERIFY(manager.setKey("A", " padded ", " v = w ", true));
    QVERIFY(manager.setKey("A", "semi", ";x]", true));
    QVERIFY(manager.setKey("n=a]me", "utf8", "\xC3\xA9t\xC3\xA9", true));
    QVERIFY(manager.setKey("n=a]me", "long", longValue, true));
    QVERIFY(manager.save());
    const QString saved = dump(manager);
    bool again = false;
    IniManager reread(path(f), again, false);
    QVERIFY(again);
    QCOMPARE(dump(reread), saved);

    manager.dropSection("A");
    manager.dropSection("B");
    manager.dropSection("E");
    manager.dropSection("n=a]me");
    QVERIFY(manager.save());
    QCOMPARE(readFile(f), QByteArray());
}

void TestIniManager::queriesAndEdits()
{
    const QByteArray bytes("[A]\nx=1\ny=2\n[B]\nz=3\n");
    const QString f = file(bytes);
    bool ok = false;
    IniManager manager(path(f), ok, false);
    QVERIFY(ok);

    bool found = true;
    QVERIFY(manager.getSectionValues("missing", found).empty());
    QVERIFY(!found);
    const std::vector<KeyValue*> values = manager.getSectionValues("A", found);
    QVERIFY(found);
    QCOMPARE(values.size(), size_t(2));
    QCOMPARE(values[1]->m_key, std::string("y"));
    std::string value = "kept";
    QVERIFY(!manager.getValue("A", "z", value));
    QVERIFY(!manager.getValue("C", "x", value));
    QCOMPARE(value, std::string("kept"));
    QVERIFY(manager.getValue("B", "z", value));
    QCOMPARE(value, std::string("3"));

    QVERIFY(!manager.setKey("A", "x", "new", false));
    QVERIFY(manager.setKey("A", "y", "20", true)); // keeps its place
    QVERIFY(manager.setKey("A", "w", "4", false)); // appended
    QVERIFY(manager.setKey("C", "k", "v", false)); // new section at the end
    QVERIFY(!manager.setKey("", "k", "v", true));
    QVERIFY(manager.addSection("B"));
    QVERIFY(!manager.addSection(""));
    QVERIFY(manager.addSection("D"));
    QCOMPARE(dump(manager), QString("A(x=1,y=20,w=4) B(z=3) C(k=v) D()"));

    manager.dropKey("A", "y");
    manager.dropKey("A", "nothing");
    manager.dropKey("nowhere", "x");
    manager.dropSection("B");
    manager.dropSection("nowhere");
    QCOMPARE(dump(manager), QString("A(x=1,w=4) C(k=v) D()"));
    QCOMPARE(readFile(f), bytes); // edits stay in memory until a save
}

void TestIniManager::reloadKeepsOldContentOnFailure()
{
    const QString f = file("[A]\nx=1\n");
    bool ok = false;
    IniManager manager(path(f), ok, false);
    QVERIFY(writeFile(f, "[B]\ny=2\n"));
    QVERIFY(manager.reload());
    QCOMPARE(dump(manager), QString("B(y=2)"));

    for (const QByteArray& broken : {QByteArray("[C]\nz=3\nbad\n"), QByteArray("[C]\nz=3\nz=4\n")}) {
        QVERIFY(writeFile(f, broken));
        QVERIFY(!manager.reload());
        QCOMPARE(dump(manager), QString("B(y=2)"));
    }
    QVERIFY(QFile::remove(f));
    captureStderr([&] { QVERIFY(!manager.reload()); });
    QCOMPARE(dump(manager), QString("B(y=2)"));
}

void TestIniManager::missingFileIsCreatedOnSave()
{
    const QString f = m_dir.filePath("created.ini");
    bool ok = true;
    std::unique_ptr<IniManager> manager;
    QCOMPARE(captureStderr([&] { manager.reset(new IniManager(path(f), ok, false)); }),
             "Missing configuration file '" + f.toUtf8() + "'.\n");
    QVERIFY(!ok);
    QCOMPARE(dump(*manager), QString());
    manager->setNewFileMode(0640);
    QVERIFY(manager->setKey("S", "k", "v", false));
    QVERIFY(manager->save());
    QCOMPARE(readFile(f), QByteArray("[S]\r\nk=v\r\n"));
    QCOMPARE(fileMode(f), 0640);
}

void TestIniManager::strictSections()
{
    const QString f = file("[X]\nk=v\n");
    bool ok = false;
    StrictIniManager manager(path(f), ok); // reading at construction admits any name
    QVERIFY(ok);
    QVERIFY(!manager.addSection("Y"));
    QVERIFY(!manager.setKey("Y", "k", "v", true));
    manager.setAllowedSections({"Y"});
    QVERIFY(manager.addSection("Y"));
    QVERIFY(manager.setKey("X", "k2", "v2", true)); // existing sections stay usable
    QCOMPARE(dump(manager), QString("X(k=v,k2=v2) Y()"));
    QVERIFY(!manager.reload()); // the file's X is not allowed
    QCOMPARE(dump(manager), QString("X(k=v,k2=v2) Y()"));
}

void TestIniManager::uniqueKeyResults()
{
    const QString f = file("[A]\na=1\nb=2\n[B]\nc=3\n");
    bool ok = false;
    UniqueKeyIniManager manager(path(f), ok);
    QVERIFY(ok);
    manager.setAllowedSections({"A", "B", "C"});
    QCOMPARE(dump(manager), QString("A(a=1,b=2) B(c=3) C()"));

    QCOMPARE(manager.addKey("a", "Missing", "x"), UKIMResult_ExistingKey);
    QCOMPARE(manager.addKey("c", "A", "x"), UKIMResult_ExistingKey);
    QCOMPARE(manager.addKey("n", "Missing", "x"), UKIMResult_MissingSection);
    QCOMPARE(manager.addKey("n", "B", "9"), UKIMResult_Good);

    std::string old = "kept", section = "kept";
    QCOMPARE(manager.setKeyValue("zz", "v", old), UKIMResult_MissingKey);
    QCOMPARE(old, std::string("kept"));
    QCOMPARE(manager.setKeyValue("c", "30", old), UKIMResult_Good);
    QCOMPARE(old, std::string("3"));
    QCOMPARE(manager.getKeySectionAndValue("zz", section, old), UKIMResult_MissingKey);
    QCOMPARE(section + old, std::string("kept3"));
    QCOMPARE(manager.getKeySectionAndValue("n", section, old), UKIMResult_Good);
    QCOMPARE(section + old, std::string("B9"));

    QCOMPARE(manager.dropKey("a", old, section), UKIMResult_Good);
    QCOMPARE(section + old, std::string("A1"));
    QCOMPARE(manager.dropKey("a", old, section), UKIMResult_MissingKey);
    QCOMPARE(manager.getKeySectionAndValue("a", section, old), UKIMResult_MissingKey);
    QCOMPARE(dump(manager), QString("A(b=2) B(c=30,n=9) C()"));

    std::vector<std::string> keys{"stale"};
    QVERIFY(manager.getSectionKeys("B", keys));
    QCOMPARE(keys, (std::vector<std::string>{"c", "n"}));
    keys = {"stale"};
    QVERIFY(!manager.getSectionKeys("Missing", keys));
    QVERIFY(keys.empty());
    QVERIFY(manager.getSectionsName(keys));
    QCOMPARE(keys, (std::vector<std::string>{"A", "B", "C"}));

    // A document without sections.
    const QString none = file("");
    UniqueKeyIniManager empty(path(none), ok);
    QCOMPARE(empty.addKey("k", "A", "v"), UKIMResult_MissingSection);
    QCOMPARE(empty.setKeySection("k", "A", old), UKIMResult_MissingKey);
    QCOMPARE(empty.renameKey("k", "j"), UKIMResult_MissingKey);
    QCOMPARE(empty.renameKey("k", "k"), UKIMResult_Good);
    QVERIFY(empty.getSectionsName(keys));
    QVERIFY(keys.empty());
}

void TestIniManager::uniqueKeyMovesAndRenames()
{
    const QString f = file("[A]\na=1\nb=2\n[B]\nc=3\n[C]\n");
    bool ok = false;
    UniqueKeyIniManager manager(path(f), ok);
    manager.setAllowedSections({"A", "B", "C"});

    std::string old;
    QCOMPARE(manager.setKeySection("a", "A", old), UKIMResult_Good);
    QCOMPARE(old, std::string("A"));
    QCOMPARE(dump(manager), QString("A(a=1,b=2) B(c=3) C()"));
    QCOMPARE(manager.setKeySection("a", "B", old), UKIMResult_Good);
    QCOMPARE(old, std::string("A"));
    QCOMPARE(dump(manager), QString("A(b=2) B(c=3,a=1) C()"));
    old = "kept";
    QCOMPARE(manager.setKeySection("zz", "B", old), UKIMResult_MissingKey);
    QCOMPARE(manager.setKeySection("zz", "Missing", old), UKIMResult_MissingKey);
    QCOMPARE(old, std::string("kept"));
    QCOMPARE(manager.setKeySection("b", "Missing", old), UKIMResult_MissingSection);
    QCOMPARE(old, std::string("A"));

    QCOMPARE(manager.renameKey("c", "b"), UKIMResult_ExistingKey);
    QCOMPARE(manager.renameKey("zz", "b"), UKIMResult_ExistingKey);
    QCOMPARE(manager.renameKey("zz", "yy"), UKIMResult_MissingKey);
    QCOMPARE(manager.renameKey("zz", "zz"), UKIMResult_Good);
    QCOMPARE(manager.renameKey("c", "d"), UKIMResult_Good);
    QCOMPARE(dump(manager), QString("A(b=2) B(d=3,a=1) C()"));

    QVERIFY(manager.save());
    QCOMPARE(readFile(f), QByteArray("[A]\r\nb=2\r\n\r\n[B]\r\nd=3\r\na=1\r\n\r\n[C]\r\n"));
}

void TestIniManager::uniqueKeyReload()
{
    const QString f = file("[A]\na=1\n[B]\nb=2\n");
    bool ok = false;
    UniqueKeyIniManager manager(path(f), ok);
    manager.setAllowedSections({"A", "B"});
    QVERIFY(writeFile(f, "[A]\na=1\n[B]\nb=2\n[Z]\nz=9\n"));
    QVERIFY(!manager.reload());
    QCOMPARE(dump(manager), QString("A(a=1) B(b=2)"));
    QVERIFY(writeFile(f, "[B]\nb=3\n"));
    QVERIFY(manager.reload());
    QCOMPARE(dump(manager), QString("B(b=3)"));
    QCOMPARE(manager.addKey("a", "A", "1"), UKIMResult_MissingSection);
    QVERIFY(writeFile(f, "[A]\nk=1\n[B]\nk=2\n")); // one key in two sections is read as it is
    QVERIFY(manager.reload());
    QCOMPARE(dump(manager), QString("A(k=1) B(k=2)"));
}

QTEST_GUILESS_MAIN(TestIniManager)
#include "tst_inimanager.moc"
