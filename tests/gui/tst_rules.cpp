// The window and moxsec on the same installation: what each allows, refuses and reports must agree.
#include "mainWindow.h"
#include "moxsecFixture.h"
#include "testCertificates.h"
#include "testEnumerator.h"

#include <QtWidgets>

class TestRules : public MoxsecFixture
{
    Q_OBJECT

    Run moxsec(const QString& arguments, const QByteArray& input = {})
    {
        return MoxsecFixture::moxsec(QProcess::splitCommand(arguments), input);
    }

    // The sample with alice (Admin), the client folders and an OPC UA pair, then each change:
    // "no key", "no cert", "key=cert", "key=garbage", "key locked" (by "sesame"), "phrase=barley",
    // "section" (a users section that is no role, a known one after it), "no uri", "broken" configuration.
    void lay(const QStringList& changes)
    {
        const QString key = path("OpcUa/pki/own/private/key.pem"), cert = path("OpcUa/pki/own/cert.pem");
        const QString config = path("OpcUa/MoxOpcUa.ini"), users = path("OpcUa/users.ini");
        QVERIFY(TestCertificates(m_dir->filePath("made")).make("cert.pem", "server") != "" &&
                QDir().mkpath(path("OpcUa/pki/own/private")));
        QVERIFY(QFile::copy(m_dir->filePath("made/cert.pem"), cert) &&
                QFile::copy(m_dir->filePath("made/cert.pem.key"), key));
        for (const QString& change : changes) {
            if (change == "no key" || change == "no cert")
                QVERIFY(QFile::remove(change == "no key" ? key : cert));
            else if (change == "key=cert")
                QVERIFY(QFile::remove(key) && QFile::copy(cert, key));
            else if (change == "key=garbage")
                QVERIFY(write(key, "garbage\n"));
            else if (change == "key locked")
                QVERIFY(QFile::remove(key) && openssl({"pkey", "-in", m_dir->filePath("made/cert.pem.key"),
                                                       "-out", key, "-aes128", "-passout", "pass:sesame"}));
            else if (change == "phrase=barley")
                QVERIFY(write(config, readAll(config).replace("APPLICATION_PRIVATE_KEY_PASSWORD=",
                                                              "APPLICATION_PRIVATE_KEY_PASSWORD=barley")));
            else if (change == "section")
                QVERIFY(write(users,
                              readAll(users) +
                                  "[SUPERUSER]\nmallory=X\n[GUEST]\ngus=ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP\n"));
            else if (change == "no uri")
                QVERIFY(write(config, readAll(config).replace("APPLICATION_URI=", "; was ")));
            else if (change == "broken")
                QVERIFY(write(config, "APPLICATION_URI=before any section\n" + readAll(config)));
            else
                QFAIL(qPrintable(change));
        }
    }

    std::unique_ptr<MainWindow> open()
    {
        auto window = std::make_unique<MainWindow>(nullptr, new TestEnumerator(m_dir->path()));
        window->finishStartup(); // unshown, it would leave the key for after the first paint
        return window;
    }

private slots:
    void init()
    {
        MoxsecFixture::init();
        QCOMPARE(moxsec("auth create").exitCode, 0);
        QCOMPARE(moxsec("users add alice --role admin --password-stdin", "Alice-pw-1\n").exitCode, 0);
        QCOMPARE(moxsec("folders create").exitCode, 0);
    }

    void pairHealth_data()
    {
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("detail"); // relative to mox/OpcUa/pki/own/, at the start of the detail
        const auto row = [](const char* tag, QStringList changes, QString message, QString detail) {
            QTest::newRow(tag) << changes << message << detail;
        };
        const QString noKey = "The OPC UA key file holds no private key.";
        row("certificate without key", {"no key"},
            "The OPC UA certificate has no key: the key file is missing.", "private/key.pem");
        row("key without certificate", {"no cert"},
            "The OPC UA key has no certificate: the certificate file is missing.", "cert.pem");
        row("key path at a certificate", {"key=cert"}, noKey, "private/key.pem:");
        row("key path at garbage", {"key=garbage"}, noKey, "private/key.pem:");
        row("encrypted key, no pass phrase", {"key locked"},
            "The OPC UA key is encrypted, and the OPC UA config gives no pass phrase for it.",
            "private/key.pem:");
        row("wrong pass phrase", {"key locked", "phrase=barley"},
            "The passphrase in OPC UA config does not work for the key.", "private/key.pem:");
    }

    // Each fault says what it is, naming the file, alike in the Errors tab and in moxsec status (exit 1).
    void pairHealth()
    {
        QFETCH(QStringList, changes);
        QFETCH(QString, message);
        QFETCH(QString, detail);
        lay(changes);
        auto window = open();
        const QString entry = message + "\n    " + path("OpcUa/pki/own/" + detail);
        // The Errors tab's entries as shown: the message, the detail on an indented second line.
        const QStringList errors =
            static_cast<QStringListModel*>(window->findChild<QListView*>("listView_errors")->model())
                ->stringList();
        QVERIFY2(errors.size() == 1 && errors.first().startsWith(entry), qPrintable(errors.join('\n')));
        const Run status = moxsec("status");
        QVERIFY2(status.exitCode == 1 && status.out.contains(("  " + entry).toUtf8()), status.out);
        // Half a pair is mended from the window: both its buttons show and work.
        for (const char* name : {"generatePushButton_opcUa", "deletePushButton_opcUa"}) {
            auto* button = window->findChild<QPushButton*>(name);
            QCOMPARE(!button->isHidden() && button->isEnabled(),
                     changes.first().startsWith("no ") || name[0] == 'd');
        }
    }

    void ruleBook_data()
    {
        // Per action (actions' order): 1 allowed, 0 refused, f refused unless --force; the reason refusals
        // give in both front ends.
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("allowed");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char* tag, QStringList changes, QString allowed, QString reason = {}) {
            QTest::newRow(tag) << changes << allowed << reason;
        };
        row("clean", {}, "11111111111");
        row("key refused", {"key locked", "phrase=barley"}, "11111111111");
        row("half pair", {"no cert"}, "11111111111");
        row("unknown users section", {"section"}, "11111111011",
            "holds a section that is no role: [SUPERUSER]");
        row("missing setting", {"no uri"}, "0fffff10111",
            "The OPC UA config does not contain: APPLICATION_URI");
        row("broken configuration", {"broken"}, "00000000000",
            "The OPC UA config file was not parsed correctly.");
    }

    // One state, every action: the window enables exactly what moxsec allows, and both say why not.
    void ruleBook()
    {
        QFETCH(QStringList, changes);
        QFETCH(QString, allowed);
        QFETCH(QString, reason);
        lay(changes);
        const QString subject =
            "--country DE --state BY --locality Munich --organization Plant --yes --dry-run";
        // Each action's command and the window's control for it ("" where the window has none).
        const std::pair<QString, const char*> actions[] = {
            {"cert generate opcua " + subject, "generatePushButton_opcUa"},
            {"cert delete opcua --yes --dry-run", "deletePushButton_opcUa"},
            {"cert generate core " + subject, "generatePushButton_moxCore"},
            {"cert delete core --yes --dry-run", "deletePushButton_moxCore"},
            {"auth create --dry-run", "generateAuthPushButton_opcUa"},
            {"auth delete --yes --dry-run", "deleteAuthPushButton_opcUa"},
            {"folders create --dry-run", "generateFoldersPushButton_clientCerts"},
            {"folders delete --yes --dry-run", "deleteFoldersPushButton_clientCerts"},
            {"users add bob --role guest --password-stdin --dry-run", "newUserPushButton_ua_auth"},
            {"trust import " + m_dir->filePath("made/cert.pem") + " --dry-run", "tab_clientCerts"},
            {"config set-uri urn:MOX:UA:Other --dry-run", ""}};
        auto window = open();
        auto* tabs = window->findChild<QTabWidget*>("tabWidget");
        auto* notice = window->findChild<QLabel*>("usersNoticeLabel");
        QVERIFY(notice);
        for (int i = 0; i < allowed.size(); ++i) {
            const auto& [command, name] = actions[i];
            const QString tag = QString("%1: %2").arg(allowed[i]).arg(command);
            const Run run = moxsec(command, "Bob-pw-123\n");
            QVERIFY2(run.exitCode == (allowed[i] == '1' ? 0 : 1), qPrintable(tag + "\n" + run.err));
            if (allowed[i] != '1')
                QVERIFY2(run.err.contains(reason.toUtf8()), qPrintable(tag + "\n" + run.err));
            if (allowed[i] == 'f') {
                const Run forced = moxsec(command + " --force");
                QVERIFY2(forced.exitCode == 0, qPrintable(tag + "\n" + forced.err));
            }
            if (!*name)
                continue;
            auto* control = window->findChild<QWidget*>(name);
            QVERIFY2(control->isEnabled() == (allowed[i] == '1'), qPrintable(tag));
            // Why: on the control, else on its locked tab, else (users) above the users table.
            QWidget* page = control;
            while (page && tabs->indexOf(page) < 0)
                page = page->parentWidget();
            const QString why = control->toolTip() + tabs->tabToolTip(tabs->indexOf(page)) + notice->text();
            QVERIFY2(allowed[i] == '1' || why.contains(reason), qPrintable(tag + "\n" + why));
        }
    }

    // A users section that is no role: the known users stay listed, the tab says which section it could not
    // use, and no front end writes a user until the file is fixed.
    void unknownUsersSection()
    {
        lay({"section"});
        const QByteArray before = readAll(path("OpcUa/users.ini"));
        auto window = open();
        auto* table = window->findChild<QTableView*>("usersList_uaAuth");
        QCOMPARE(table->model()->rowCount(), 2);
        QCOMPARE(table->model()->index(1, 0).data().toString(), "gus");
        // The notice's text and the disabled button are the rule book's; the list stays usable.
        QVERIFY(table->isEnabled() && !window->findChild<QLabel*>("usersNoticeLabel")->isHidden());
        window->uaAuthCreateUser(); // as a shortcut would: no dialog opens, nothing is written
        table->selectRow(0);
        window->uaAuthDeleteUser();

        const Run list = moxsec("users list");
        QVERIFY(list.exitCode == 1 && list.out.contains("alice") && list.out.contains("gus"));
        QVERIFY2(list.err.contains("[SUPERUSER]"), list.err);
        const Run add = moxsec("users add bob --role guest --password-stdin", "Bob-pw-123\n");
        QVERIFY(add.exitCode == 1 && add.err.contains("[SUPERUSER]"));
        QCOMPARE(readAll(path("OpcUa/users.ini")), before);
    }
};

QTEST_MAIN(TestRules)
#include "tst_rules.moc"
