// IniEditor: one value changes, every other byte stays, and the managers read the new value.
#include "IniEditor.h"
#include "IniManager.h"

#include "testFiles.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Mox::Ini;

class TestIniEditor : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString file() const { return m_dir.filePath("MoxOpcUa.ini"); }
    static QByteArray read(const QString& path) { return readFile(path); }
    static bool write(const QString& path, const QByteArray& bytes) { return writeFile(path, bytes); }
    QStringList leftovers() const
    {
        return QDir(m_dir.path()).entryList({"*.tmp"}, QDir::Hidden | QDir::Files);
    }

private slots:
    void edit_data();
    void edit();
    void failedSaveLeavesTheFile();
    void keepsModeAndOwnerRefusesLinks();
};

void TestIniEditor::edit_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("value");    // set for key "k"
    QTest::addColumn<QByteArray>("after"); // empty: refused, the file unchanged
    const QByteArray mixed = "; head\r\n[A]\r\nk=1\nx = y=z\r\n\r\n; about k\r\nk=2\r\n[B]\nk=3\n";
    QTest::newRow("last of a repeated key, line ends kept")
        << mixed << "A"
        << "9" << QByteArray("; head\r\n[A]\r\nk=1\nx = y=z\r\n\r\n; about k\r\nk=9\r\n[B]\nk=3\n");
    QTest::newRow("sections of one name are one") << QByteArray("[A]\nk=1\n[B]\nk=0\n[A]\nk=2\n") << "A"
                                                  << "new" << QByteArray("[A]\nk=1\n[B]\nk=0\n[A]\nk=new\n");
    QTest::newRow("missing key after the last key line, CR LF of the first line")
        << QByteArray("[A]\r\nj=1\n\n; next\n[B]\nk=3\n") << "A"
        << "v" << QByteArray("[A]\r\nj=1\nk=v\r\n\n; next\n[B]\nk=3\n");
    QTest::newRow("missing key in a section without keys")
        << QByteArray("[A]\n; only a comment\n[B]\nj=1") << "A"
        << "v" << QByteArray("[A]\nk=v\n; only a comment\n[B]\nj=1");
    QTest::newRow("missing key after a last line without line end") << QByteArray("[A]\r\nj=1") << "A"
                                                                    << "" << QByteArray("[A]\r\nj=1\r\nk=");
    QTest::newRow("missing section, one empty line before it")
        << QByteArray("; c\r\n[A]\nj=1") << "S"
        << "v" << QByteArray("; c\r\n[A]\nj=1\r\n\r\n[S]\r\nk=v\r\n");
    QTest::newRow("missing section after an empty last line") << QByteArray("[A]\nj=1\n\n") << "S"
                                                              << "v" << QByteArray("[A]\nj=1\n\n[S]\nk=v\n");
    QTest::newRow("empty file") << QByteArray() << "S"
                                << "v" << QByteArray("[S]\nk=v\n");
    QTest::newRow("CR alone ends lines") << QByteArray("[A]\rk=1\r") << "A"
                                         << "2" << QByteArray("[A]\rk=2\r");
    QTest::newRow("a line break in the value") << mixed << "A"
                                               << "a\nb" << QByteArray();
    QTest::newRow("a CR in the value") << mixed << "A"
                                       << "a\rb" << QByteArray();
    QTest::newRow("a line the reader refuses") << QByteArray("[A]\nk=1\nnonsense\n") << "A"
                                               << "2" << QByteArray();
    QTest::newRow("a key outside any section") << QByteArray("k=1\n[A]\n") << "A"
                                               << "2" << QByteArray();
}

void TestIniEditor::edit()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    QVERIFY(write(file(), before));
    std::string error;
    const bool ok =
        IniEditor::setValue(file().toStdString(), section.toStdString(), "k", value.toStdString(), &error);
    QCOMPARE(ok, !after.isEmpty());
    QCOMPARE(read(file()), ok ? after : before);
    QCOMPARE(error.empty(), ok);
    QVERIFY(error.empty() || QString::fromStdString(error).contains(file()));
    QCOMPARE(leftovers(), QStringList());
    if (!ok)
        return;
    // What the tool and the runtime read is the new value.
    bool parsed = false;
    IniManager manager(file().toStdString(), parsed, true);
    std::string read;
    QVERIFY(parsed && manager.getValue(section.toStdString(), "k", read));
    QCOMPARE(QString::fromStdString(read), value);
}

void TestIniEditor::failedSaveLeavesTheFile()
{
    // A save cut short by the file size limit (a full disk alike) leaves the old file and no temporary.
    const QByteArray before =
        "[APPLICATION]\nAPPLICATION_URI=urn:MOX:UA:Old\n" + QByteArray(4096, ';') + "\n";
    QVERIFY(write(file(), before));
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string error;
        const bool ok =
            IniEditor::setValue(file().toStdString(), "APPLICATION", "APPLICATION_URI", "urn:New", &error);
        ::_exit(!ok && error.find("cannot write") != std::string::npos ? 0 : 1);
    }
    int status = -1;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    QCOMPARE(read(file()), before);
    QCOMPARE(leftovers(), QStringList());
}

void TestIniEditor::keepsModeAndOwnerRefusesLinks()
{
    QVERIFY(write(file(), "[A]\nk=1\n"));
    const QByteArray path = QFile::encodeName(file());
    QCOMPARE(::chmod(path.constData(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root)
        QCOMPARE(::chown(path.constData(), 1234, 4321), 0);
    std::string error;
    QVERIFY(IniEditor::setValue(file().toStdString(), "A", "k", "2", &error));
    struct stat st;
    QCOMPARE(::stat(path.constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0640);
    if (root)
        QVERIFY(st.st_uid == 1234 && st.st_gid == 4321);

    // Never through a link: the link and its target stay as they were.
    const QString link = m_dir.filePath("link.ini");
    QVERIFY(QFile::link(file(), link));
    QVERIFY(!IniEditor::setValue(link.toStdString(), "A", "k", "3", &error));
    QVERIFY(QString::fromStdString(error).contains("symbolic link"));
    QCOMPARE(read(file()), QByteArray("[A]\nk=2\n"));
    QVERIFY(QFileInfo(link).isSymLink());
}

QTEST_MAIN(TestIniEditor)
#include "tst_inieditor.moc"
