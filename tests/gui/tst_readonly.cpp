// The window for a user who may not change the installation: read-only with a bar naming what it cannot
// write, and the way up through pkexec.
#include "accessBar.h"
#include "backupsDialog.h"
#include "mainWindow.h"
#include "moxsecFixture.h"
#include "nobodyCopy.h"
#include "testEnumerator.h"

#include <QtWidgets>

#include <sys/stat.h>
#include <unistd.h>

class TestReadOnly : public MoxsecFixture
{
    Q_OBJECT

    // The sample with an empty users file, a backup of it and the client folders, readable by all,
    // writable by root only.
    void lay()
    {
        QVERIFY(write(path("OpcUa/users.ini"), ""));
        QCOMPARE(moxsec({"auth", "delete", "--yes"}).exitCode, 0);
        QVERIFY(write(path("OpcUa/users.ini"), ""));
        // Backups are root's alone; opened to all here, so the dialog has one to show.
        QCOMPARE(QProcess::execute("chmod", {"-R", "a+rX", path("OpcUa/.backup")}), 0);
        for (const char* folder : {"trusted", "issuers", "crl", "rejected"})
            QVERIFY(QDir().mkpath(path("OpcUa/pki/") + folder));
        QCOMPARE(::chmod(QFile::encodeName(m_dir->path()).constData(), 0755), 0);
    }

    static QAbstractButton* button(const QWidget& window, const char* name)
    {
        return window.findChild<QAbstractButton*>(name);
    }

private slots:
    // The child run as nobody looks at the parent's installation: one of its own could not even be laid
    // from a checkout nobody may enter.
    void init()
    {
        if (qEnvironmentVariableIsEmpty("MOX_TEST_NOBODY_ROOT"))
            MoxsecFixture::init();
    }
    // As root the installation opens with no access bar; as nobody (this test's nobodySees in a child)
    // read-only.
    void readOnlyForNobody()
    {
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty() || ::geteuid() != 0)
            QSKIP("needs root and setpriv to drop privileges");
        lay();
        QVERIFY(MainWindow(nullptr, new TestEnumerator(m_dir->path()))
                    .findChild<QWidget*>("accessBar")
                    ->isHidden());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MOX_TEST_NOBODY_ROOT", m_dir->path());
        const QString self = nobodyCopy(QCoreApplication::applicationFilePath(), m_dir->filePath("bin"), env);
        QVERIFY(!self.isEmpty());
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", self, "nobodySees"});
        QVERIFY(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitCode() == 0 && !output.contains("SKIP"), output.constData());
    }
    void nobodySees()
    {
        const QString root = qEnvironmentVariable("MOX_TEST_NOBODY_ROOT");
        if (root.isEmpty())
            QSKIP("runs as nobody inside readOnlyForNobody");
        MainWindow window(nullptr, new TestEnumerator(root));
        const QString mox = root + "/mox/";
        // Each action's button, and what its tool tip names: the files and folders it may not write.
        const std::pair<const char*, QStringList> refused[] = {
            {"generatePushButton_opcUa", {"OpcUa/pki", "OpcUa", "OpcUa/.backup"}},
            {"generatePushButton_moxCore", {"moxcore", "OpcUa", "OpcUa/.backup"}},
            {"deleteAuthPushButton_opcUa", {"OpcUa", "OpcUa/.backup"}},
            {"deleteFoldersPushButton_clientCerts", {"OpcUa/pki", "OpcUa", "OpcUa/.backup"}},
            {"newUserPushButton_ua_auth", {"OpcUa/users.ini"}},
            {"importPushButton",
             {"OpcUa/pki/trusted", "OpcUa/pki/issuers", "OpcUa/pki/crl", "OpcUa/pki/rejected", "OpcUa",
              "OpcUa/.backup"}}};
        const QString cannot =
            "This user cannot write what this changes: run it as an administrator.\n" + mox;
        for (const auto& [name, unwritable] : refused) {
            const QAbstractButton* b = button(window, name);
            QVERIFY2(b && !b->isEnabled(), name);
            QCOMPARE(b->toolTip(), cannot + unwritable.join(", " + mox));
        }
        // Read-only locks no tab: what is there can still be looked at.
        for (const char* tab : {"tab_cert", "tab_clientCerts", "tab_ua_auth"})
            QVERIFY2(window.findChild<QWidget*>(tab)->isEnabled(), tab);
        const QWidget* bar = window.findChild<QWidget*>("accessBar");
        QVERIFY(bar->isVisibleTo(&window));
        const QString text = bar->findChild<QLabel*>("accessLabel")->text();
        for (const char* file : {"OpcUa/users.ini", "OpcUa/MoxOpcUa.ini", "moxcore", "OpcUa/pki/rejected"})
            QVERIFY2(text.contains(mox + file), qPrintable(text));
        QVERIFY(button(*bar, "restartAdminPushButton")->isVisibleTo(&window));

        // A backup can be looked at, not put back or deleted: both would write where it and its files lie.
        TestEnumerator instances(root);
        const ConfigSnapshot snapshot = ConfigSnapshot::load(instances.GetActiveInstance());
        BackupsDialog backups(snapshot);
        auto* table = backups.findChild<QTableWidget*>("backupsTableWidget");
        QCOMPARE(table->rowCount(), 1);
        table->selectRow(0);
        for (const char* name : {"restorePushButton", "deletePushButton"}) {
            QVERIFY2(!button(backups, name)->isEnabled(), name);
            QCOMPARE(button(backups, name)->toolTip(), cannot + "OpcUa, " + mox + "OpcUa/.backup");
        }
    }

    // "Restart as administrator" runs pkexec with this program and its arguments, then closes the window;
    // a missing pkexec, or one that does not start, says why and the window stays.
    void restartThroughPkexec_data()
    {
        QTest::addColumn<QByteArray>("pkexec"); // the stand-in's script, empty for none
        QTest::addColumn<QString>("said");      // in the message box; empty: none, the window closed
        QTest::newRow("started") << QByteArray("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\n") << "";
        QTest::newRow("missing") << QByteArray() << "pkexec was not found on the search path";
        QTest::newRow("does not start")
            << QByteArray("#!/nonexistent/interpreter\n") << "could not be started";
    }
    void restartThroughPkexec()
    {
        QFETCH(QByteArray, pkexec);
        QFETCH(QString, said);
        const QString bin = m_dir->filePath("bin"), stand = bin + "/pkexec";
        QVERIFY(QDir().mkpath(bin));
        if (!pkexec.isEmpty())
            QVERIFY(write(stand, pkexec) && ::chmod(QFile::encodeName(stand).constData(), 0755) == 0);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.toLocal8Bit());
        MainWindow window(nullptr, new TestEnumerator(m_dir->path()));
        window.show();
        QString shown;
        QTimer::singleShot(0, [&shown] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = box->text();
                box->close();
            }
        });
        window.findChild<AccessBar*>("accessBar")->restartAsAdministrator();
        qputenv("PATH", path);
        QVERIFY2(said.isEmpty() ? shown.isEmpty() : shown.contains(said), qPrintable(shown));
        QCOMPARE(window.isVisible(), !said.isEmpty());
        // pkexec needs the program's full path; the arguments go along as given.
        if (said.isEmpty())
            QTRY_COMPARE(QString::fromLocal8Bit(readAll(stand + ".args")).split('\n', Qt::SkipEmptyParts),
                         QStringList{QCoreApplication::applicationFilePath()} +
                             QCoreApplication::arguments().mid(1));
    }
};

QTEST_MAIN(TestReadOnly)
#include "tst_readonly.moc"
