#include "backupsDialog.h"
#include "certificateDetailsDialog.h"
#include "certificateDialog.h"
#include "changeLogDialog.h"
#include "clientCertificatesTab.h"
#include "confirmDialog.h"
#include "formField.h"
#include "mainWindow.h"
#include "nobodyCopy.h"
#include "openSslRecorder.h"
#include "settingsDialog.h"
#include "signedInstallDialog.h"
#include "testCertificates.h"
#include "testEnumerator.h"
#include "uaUserDialog.h"

#include "core/auditTrail.h"

#include <QtTest>
#include <QtWidgets>

#include <unistd.h>

using namespace Mox::Ini;

namespace {
const char kConfig[] =
    "[APPLICATION]\nUSE_RELATIVE_PATH=Y\nAPPLICATION_URI=urn:localhost:mox\n"
    "APPLICATION_CERTIFICATE_PATH=pki/own/cert.der\nAPPLICATION_PRIVATE_KEY_PATH=pki/own/key.pem\n"
    "APPLICATION_PRIVATE_KEY_PASSWORD=\n[AUTH]\nCREDENTIALS_INI_PATH=auth/users.ini\n"
    "CREDENTIALS_USER_TOKEN_POLICY_ID=username\nOPTIONAL_ENCODING_SALT=\n[SECURITY]\n"
    "CERTIFICATE_TRUST_LIST_PATH=pki/trusted\nCERTIFICATE_ISSUER_LIST_PATH=pki/issuers\n"
    "CERTIFICATE_REVOCATION_LIST_PATH=pki/crl\nCERTIFICATE_REJECTED_LIST_PATH=pki/rejected\n";
const QString kNoPhrase = "The OPC UA key is encrypted, and the OPC UA config gives no pass phrase for it.";
const QString kNoCertificate = "The OPC UA key has no certificate: the certificate file is missing.";
// The path fields, grouped like the buttons, and where the sample configuration points them.
const char* const kPaths[][2] = {{"certificateLineEdit_moxCore", "moxcore/moxcore.cer"},
                                 {"privateKeyLineEdit_moxCore", "moxcore/moxcore.key"},
                                 {"certificateLineEdit_opcUa", "OpcUa/pki/own/cert.der"},
                                 {"privateKeyLineEdit_opcUa", "OpcUa/pki/own/key.pem"},
                                 {"moxOpcUaAuthLineEdit_opcUa", "OpcUa/auth/users.ini"},
                                 {"trustListLineEdit", "OpcUa/pki/trusted"},
                                 {"issuersLineEdit", "OpcUa/pki/issuers"},
                                 {"revocationLineEdit", "OpcUa/pki/crl"},
                                 {"rejectedLineEdit", "OpcUa/pki/rejected"}};

// The Errors tab's entries; with details false only their first lines, the messages themselves.
QStringList errors(MainWindow& w, bool details = false)
{
    QStringList entries =
        static_cast<QStringListModel*>(w.findChild<QListView*>("listView_errors")->model())->stringList();
    for (QString& entry : entries)
        entry = details ? entry : entry.section('\n', 0, 0);
    return entries;
}

// Per group (runtime core, OPC UA certificate, users file, client folders): G generate, D delete, . neither.
QString buttons(MainWindow& window)
{
    QString shown;
    for (QString g : {"PushButton_moxCore", "PushButton_opcUa", "AuthPushButton_opcUa",
                      "FoldersPushButton_clientCerts"}) {
        const bool generate = !window.findChild<QWidget*>("generate" + g)->isHidden();
        const bool remove = !window.findChild<QWidget*>("delete" + g)->isHidden();
        shown += generate ? (remove ? '?' : 'G') : (remove ? 'D' : '.');
    }
    return shown;
}

// Fills the user dialog and presses OK; the role is the combo box index (Guest, Operator, Admin).
void submit(QDialog& dialog, const QString& name, const QString& password, const QString& repeat, int role)
{
    dialog.findChild<QLineEdit*>("nameLineEdit")->setText(name);
    dialog.findChild<QLineEdit*>("passwordLineEdit")->setText(password);
    dialog.findChild<QLineEdit*>("passwordRepeatLineEdit")->setText(repeat);
    dialog.findChild<QComboBox*>("roleComboBox")->setCurrentIndex(role);
    dialog.accept();
}

// Among texts and then what under root a mnemonic may reach (buttons, group boxes, the labels of fields),
// those whose mnemonic letter an earlier one has already ("&&" is a plain ampersand).
QString sharedMnemonics(const QWidget* root, QStringList texts)
{
    for (const QAbstractButton* button : root->findChildren<QAbstractButton*>())
        texts << button->text();
    for (const QGroupBox* group : root->findChildren<QGroupBox*>())
        texts << group->title();
    for (const QLabel* label : root->findChildren<QLabel*>())
        texts << (label->buddy() ? label->text() : QString());
    // Some desktops' themes give OK and Cancel their first letters ("&OK").
    for (const QDialogButtonBox* box : root->findChildren<QDialogButtonBox*>()) {
        for (const QAbstractButton* button : box->buttons())
            texts << '&' + QString(button->text()).remove('&');
    }
    QMap<QChar, QString> first;
    QStringList shared;
    for (const QString& text : texts) {
        const int at = QString(text).replace("&&", "__").indexOf('&');
        if (at < 0 || at + 1 >= text.size())
            continue;
        const QChar letter = text[at + 1].toLower();
        if (first.contains(letter))
            shared << first[letter] + " / " + text;
        else
            first[letter] = text;
    }
    return shared.join(", ");
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QString path(const QString& relative) const { return m_dir->filePath("mox/" + relative); }
    // The window opens the key after its first paint; unshown, the tests open it at once.
    auto open(bool finished = true)
    {
        auto window = std::make_unique<MainWindow>(nullptr, new TestEnumerator(m_dir->path()));
        if (finished)
            window->finishStartup();
        return window;
    }

    void write(const QString& relative, const QByteArray& data = "")
    {
        QFile file(path(relative));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly));
        file.write(data);
    }

    // The sample configuration with keys changed ("KEY=value") or removed ("KEY").
    void writeConfig(const QStringList& changes = {})
    {
        QString text = kConfig;
        for (const QString& change : changes)
            text.replace(QRegularExpression("(?m)^" + change.section('=', 0, 0) + "=.*$"),
                         change.contains('=') ? change : "");
        write("OpcUa/MoxOpcUa.ini", text.toUtf8());
    }

    void clickAndFillUserDialog(QPushButton* button, const QString& name, const QString& password, int role)
    {
        QTimer::singleShot(0, button, [=] {
            auto* dialog = button->window()->findChild<UaUserDialog*>();
            submit(*dialog, name, password, password, role);
            if (dialog->isVisible())
                dialog->reject();
        });
        button->click();
    }

    // Answers the confirmations body brings up, in order (OK for true); returns the last question.
    static QString answering(QList<bool> answers, const std::function<void()>& body)
    {
        QString question;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<ConfirmDialog*>(QApplication::activeModalWidget());
            if (!dialog || answers.isEmpty() || dialog->property("answered").toBool())
                return;
            dialog->setProperty("answered", true);
            question = field<QLabel>(dialog, "label")->text();
            answers.takeFirst() ? dialog->accept() : dialog->reject();
        });
        poll.start(5);
        body();
        return question;
    }
    // Keys reach a table's shortcuts only while it has the focus in the active window.
    static void press(QWidget* window, QTableView* table, int row, Qt::Key key)
    {
        QApplication::setActiveWindow(window);
        table->setFocus();
        table->selectRow(row);
        QTest::keyClick(table, key);
    }
    static QString answer(QPushButton* button, QList<bool> answers)
    {
        return answering(answers, [button] { button->click(); });
    }

private slots:
    // On node-opcua's layout: a refused client is trusted with the button, the table follows files the server
    // drops in while the window is open, and Delete takes several rows after naming them.
    void clientCertificatesTab()
    {
        writeConfig({"CERTIFICATE_TRUST_LIST_PATH=pki/trusted/certs",
                     "CERTIFICATE_ISSUER_LIST_PATH=pki/issuers/certs",
                     "CERTIFICATE_REVOCATION_LIST_PATH=pki/issuers/crl",
                     "CERTIFICATE_REJECTED_LIST_PATH=pki/rejected"});
        for (const char* folder : {"trusted/certs", "issuers/certs", "issuers/crl", "rejected"})
            QVERIFY(QDir().mkpath(path("OpcUa/pki/") + folder));
        TestCertificates make(m_dir->filePath("certs"));
        const QString first = make.make("first.pem", "Panel 1", false, false, "urn:panel:1");
        const QString second = make.make("second.der", "Panel 2", false, true);
        QVERIFY(QFile::copy(first, path("OpcUa/pki/rejected/panel1.pem")));
        auto window = open();
        auto* table = window->findChild<QTableWidget*>("certificatesTable");
        auto* trust = window->findChild<QPushButton*>("trustPushButton");
        auto* reject = window->findChild<QPushButton*>("rejectPushButton");
        auto* tabs = window->findChild<QTabWidget*>("tabWidget");
        // No users file yet: the locked users tab names the button that makes it.
        QVERIFY(tabs->tabToolTip(tabs->indexOf(window->findChild<QWidget*>("tab_ua_auth")))
                    .contains("\"Generate new authorization file\" on the Certificates tab"));
        QCOMPARE(table->rowCount(), 1);
        QCOMPARE(table->item(0, ClientCertificatesTab::UriColumn)->text(), QString("urn:panel:1"));
        QCOMPARE(table->item(0, ClientCertificatesTab::ThumbprintColumn)->text(), make.thumbprint(first));
        // Valid for 30 days: within the warning time.
        QCOMPARE(table->item(0, ClientCertificatesTab::ValidUntilColumn)->background().color(),
                 QColor(255, 236, 150));
        QVERIFY(!trust->isEnabled());
        // The tab widens a narrow window; what still does not fit is elided, and whole in the tool tip.
        window->resize(400, 400);
        window->show();
        tabs->setCurrentWidget(window->findChild<QWidget*>("tab_clientCerts"));
        QVERIFY(window->width() > 400 && table->horizontalHeader()->length() <= table->viewport()->width());
        QVERIFY(table->item(0, ClientCertificatesTab::ThumbprintColumn)
                    ->toolTip()
                    .startsWith(make.thumbprint(first)));
        table->selectRow(0);
        QVERIFY(trust->isEnabled() && !reject->isEnabled());
        // Details… shows the selected certificate.
        QString shown;
        QTimer::singleShot(0, window.get(), [&] {
            if (auto* details = qobject_cast<CertificateDetailsDialog*>(QApplication::activeModalWidget())) {
                shown = details->value("SHA-1 thumbprint");
                details->reject();
            }
        });
        window->findChild<QPushButton*>("detailsPushButton")->click();
        QCOMPARE(shown, make.thumbprint(first));
        trust->click();
        QVERIFY(!QFile::exists(path("OpcUa/pki/rejected/panel1.pem")));
        QCOMPARE(make.thumbprint(path("OpcUa/pki/trusted/certs/panel1.pem")), make.thumbprint(first));
        QCOMPARE(table->item(0, ClientCertificatesTab::FolderColumn)->text(), QString("Trusted"));

        QVERIFY(QFile::copy(second, path("OpcUa/pki/rejected/panel2.der")));
        QTRY_COMPARE(table->rowCount(), 2);
        // Its file swapped after the row was listed: Trust refuses, saying why, and leaves it where it was.
        QVERIFY(QFile::remove(path("OpcUa/pki/rejected/panel2.der")) &&
                QFile::copy(first, path("OpcUa/pki/rejected/panel2.der")));
        table->selectRow(table->findItems("Rejected", Qt::MatchExactly).value(0)->row());
        trust->click();
        auto* tab = window->findChild<ClientCertificatesTab*>();
        QVERIFY2(tab->lastFailure().contains("panel2.der") &&
                     tab->lastFailure().contains("changed since it was listed"),
                 qPrintable(tab->lastFailure()));
        QVERIFY(window->findChild<QMessageBox*>()->isVisible());
        window->findChild<QMessageBox*>()->close();
        QVERIFY(!QFile::exists(path("OpcUa/pki/trusted/certs/panel2.der")));
        // The Delete key asks too; Cancel keeps the row.
        QVERIFY(answering({false}, [&] {
                    press(window.get(), table, 0, Qt::Key_Delete);
                }).contains(path("OpcUa/pki/trusted/certs/panel1.pem")));
        QCOMPARE(table->rowCount(), 2);
        table->selectAll();
        QVERIFY(!trust->isEnabled() && !reject->isEnabled());
        const QString question = answer(window->findChild<QPushButton*>("deletePushButton"), {true});
        QVERIFY2(question.contains(path("OpcUa/pki/trusted/certs/panel1.pem")) &&
                     question.contains(path("OpcUa/pki/rejected/panel2.der")),
                 qPrintable(question));
        QCOMPARE(table->rowCount(), 0);
        QVERIFY(QDir(path("OpcUa/pki/rejected")).isEmpty() &&
                QDir(path("OpcUa/pki/trusted/certs")).isEmpty());
    }

    // The CRL checks read every CA and CRL file: not while the window starts, but once it is painted.
    void crlWarningsAfterFirstPaint()
    {
        writeConfig();
        TestCertificates make(m_dir->filePath("certs"));
        QVERIFY(QDir().mkpath(path("OpcUa/pki/issuers")));
        QVERIFY(QFile::copy(make.make("ca.pem", "Plant CA", true), path("OpcUa/pki/issuers/ca.pem")));
        auto window = open();
        auto* warning = window->findChild<QLabel*>("warningLabel");
        QVERIFY(!warning->text().contains("has no CRL"));
        window->show();
        QTRY_VERIFY2(warning->text().contains("The CA Plant CA has no CRL in the revocation folder"),
                     qPrintable(warning->text()));
        // An import into the trust list, which does not exist yet, names it and what makes it.
        auto* tab = window->findChild<ClientCertificatesTab*>();
        tab->importPaths({make.make("panel.pem", "Panel")});
        QVERIFY2(tab->lastFailure().contains("folder " + path("OpcUa/pki/trusted") + " does not exist") &&
                     tab->lastFailure().contains("\"Generate folders\"") &&
                     tab->lastFailure().contains("moxsec folders create"),
                 qPrintable(tab->lastFailure()));
    }

    // The window acts on what is on disk now. A key path put right behind its back: Delete refuses, reloads
    // and says so, instead of deleting the certificate alone; then it takes the whole pair. Another program's
    // saves reload the window with a notice; its own writes do not.
    void actsOnDisk()
    {
        writeConfig({"APPLICATION_PRIVATE_KEY_PATH=pki/own/gone.pem"});
        write("OpcUa/pki/own/cert.der", "certificate");
        QCOMPARE(QProcess::execute("openssl", {"genrsa", "-out", path("OpcUa/pki/own/key.pem"), "1024"}), 0);
        auto window = open();
        auto* remove = window->findChild<QPushButton*>("deletePushButton_opcUa");
        QVERIFY(remove->isEnabled());
        writeConfig();
        answer(remove, {true});
        QVERIFY(QFile::exists(path("OpcUa/pki/own/cert.der")) &&
                QFile::exists(path("OpcUa/pki/own/key.pem")));
        QCOMPARE(::errors(*window, true).last(),
                 "The configuration changed on disk, so nothing was done: check what is shown now and try "
                 "again.\n    " +
                     path("OpcUa/pki/own/gone.pem") + " is now " + path("OpcUa/pki/own/key.pem"));
        QVERIFY(answer(remove, {true}).contains(path("OpcUa/pki/own/key.pem")));
        QVERIFY(!QFile::exists(path("OpcUa/pki/own/cert.der")) &&
                !QFile::exists(path("OpcUa/pki/own/key.pem")));

        // Saved by another program, by rename: the window follows, and says so.
        auto* usersField = window->findChild<QLineEdit*>("moxOpcUaAuthLineEdit_opcUa");
        QString text = kConfig;
        QSaveFile save(path("OpcUa/MoxOpcUa.ini"));
        QVERIFY(save.open(QIODevice::WriteOnly));
        save.write(text.replace("auth/users.ini", "other/users.ini").toUtf8());
        QVERIFY(save.commit());
        QTRY_COMPARE(usersField->text(), path("OpcUa/other/users.ini"));
        const QString notice = "The configuration changed on disk and was read again.";
        QCOMPARE(window->statusBar()->currentMessage(), notice);
        // Its own writes raise no notice: the users file and a user.
        window->statusBar()->clearMessage();
        AuditTrail::setFrontEnd("window"); // as main() does
        window->findChild<QPushButton*>("generateAuthPushButton_opcUa")->click();
        clickAndFillUserDialog(window->findChild<QPushButton*>("newUserPushButton_ua_auth"), "alice",
                               "alicepw", 2);
        QTest::qWait(500);
        QCOMPARE(window->findChild<QTableView*>("usersList_uaAuth")->model()->rowCount(), 1);
        QCOMPARE(window->statusBar()->currentMessage(), QString());
        // Recorded as the window's, in the log under its root, which Help > Change log shows.
        AuditTrail::setFrontEnd(QString());
        ChangeLogDialog changeLog;
        auto* table = changeLog.findChild<QTableWidget*>("logTableWidget");
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(table->item(0, 2)->text() + '|' + table->item(0, 3)->text() + '|' +
                     table->item(0, 4)->text(),
                 QString("window|users add|alice"));
        // The users file removed by another program: the window shows it gone.
        QVERIFY(QFile::remove(path("OpcUa/other/users.ini")));
        QTRY_COMPARE(usersField->styleSheet(), QString("color: red;"));
        QCOMPARE(window->statusBar()->currentMessage(), notice);
    }

    // Each mnemonic reaches one thing: the menu bar with each tab, each menu, and each dialog.
    void mnemonicsAreUnique()
    {
        writeConfig();
        auto window = open();
        QStringList bar;
        const QWidget none;
        for (const QAction* menu : window->menuBar()->actions()) {
            bar << menu->text();
            QStringList items;
            for (const QAction* item : menu->menu()->actions())
                items << item->text();
            QCOMPARE(sharedMnemonics(&none, items), QString());
        }
        auto* tabs = window->findChild<QTabWidget*>("tabWidget");
        for (int tab = 0; tab < tabs->count(); ++tab)
            bar << tabs->tabText(tab);
        for (int i = 0; i < tabs->count(); ++i)
            QCOMPARE(sharedMnemonics(tabs->widget(i), bar), QString());
        UaUsersModel users;
        MoxInstInstance* instance = nullptr;
        const ConfigSnapshot snapshot;
        TestEnumerator instances(m_dir->path(), 2); // the settings dialog only borrows it
        ConfirmDialog confirm("Delete?", true);
        confirm.setBackupOffered(true);
        const std::unique_ptr<QDialog> dialogs[] = {
            std::make_unique<CertificateDialog>(true, path("OpenSSL"), path("c.pem"), path("k.pem"), "", ""),
            std::make_unique<UaUserDialog>(&users, nullptr, nullptr),
            std::make_unique<SettingsDialog>(&instances, &instance),
            std::make_unique<CertificateDetailsDialog>(path("c.pem")),
            std::make_unique<BackupsDialog>(snapshot),
            std::make_unique<SignedInstallDialog>(snapshot, CertificateRequest::Mode::OpcUa)};
        for (const auto& dialog : dialogs)
            QCOMPARE(sharedMnemonics(dialog.get(), {}), QString());
        QCOMPARE(sharedMnemonics(&confirm, {}), QString());
    }

    // A large rejected folder: the tab opens with its first rows and adds the rest from a worker; a row
    // trusted meanwhile is the certificate it shows, the reload that follows neither loses nor repeats a row.
    void clientCertificatesFillInBatches()
    {
        const QString pki = m_dir->filePath("pki");
        const TrustStore::Folders folders{pki + "/trusted", pki + "/issuers", pki + "/crl",
                                          pki + "/rejected"};
        QVERIFY(QDir().mkpath(folders.trusted) && QDir().mkpath(folders.rejected));
        TestCertificates make(m_dir->filePath("certs"));
        const QString target = make.make("target.pem", "Target"),
                      other = make.make("other.der", "Other", false, true);
        QVERIFY(QFile::copy(target, folders.rejected + "/0-target.pem"));
        const int copies = ClientCertificatesTab::s_firstRows + 2 * ClientCertificatesTab::s_batchRows;
        for (int i = 0; i < copies; ++i)
            QVERIFY(::link(QFile::encodeName(other).constData(),
                           QFile::encodeName(folders.rejected + QString("/c%1.der").arg(i, 4, 10, QChar('0')))
                               .constData()) == 0);
        ClientCertificatesTab tab;
        tab.setFolders(folders);
        auto* table = tab.findChild<QTableWidget*>("certificatesTable");
        QCOMPARE(table->rowCount(), ClientCertificatesTab::s_firstRows);
        table->selectRow(0);
        QCOMPARE(tab.selectedEntries().value(0).thumbprint, make.thumbprint(target));
        QVERIFY(tab.filling()); // the worker has meanwhile sent batches of this listing, not yet shown
        tab.findChild<QPushButton*>("trustPushButton")->click();
        QCOMPARE(make.thumbprint(folders.trusted + "/0-target.pem"), make.thumbprint(target));
        QCOMPARE(QDir(folders.rejected).count(), uint(copies + 2));
        QTRY_VERIFY(!tab.filling());
        QCOMPARE(table->rowCount(), copies + 1);
        QSet<QString> paths;
        for (int row = 0; row < table->rowCount(); ++row) {
            paths.insert(tab.entries()[row].path);
            QCOMPARE(table->item(row, ClientCertificatesTab::FileColumn)->text(),
                     tab.entries()[row].fileName);
        }
        QCOMPARE(paths.size(), copies + 1);
        QCOMPARE(table->item(0, ClientCertificatesTab::FolderColumn)->text(), QString("Trusted"));
    }

    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(QDir(m_dir->path()).mkpath("mox/OpenSSL"));
    }

    // disk, per path field: 0 missing, 1 there, f a file for a folder, p/s a key plain or locked by "sesame"
    void reloadFollowsConfigAndDisk_data()
    {
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("disk");
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<QString>("buttons");
        auto row = [](const char* tag, QStringList changes, QString disk, QStringList errors,
                      QString buttons) { QTest::newRow(tag) << changes << disk << errors << buttons; };
        // Half a pair is an error, and its pair offers both buttons to mend it.
        row("one of each pair", {}, "01 10 1 1110",
            {"The OPC UA certificate has no key: the key file is missing.",
             "The runtime core key has no certificate: the certificate file is missing."},
            "??DG");
        row("locked key alone, no pass phrase, a file for a folder", {}, "00 0s 0 f111",
            {kNoCertificate, kNoPhrase}, "G?GG");
        row("lower-case yes, empty URI", {"USE_RELATIVE_PATH=yes", "APPLICATION_URI="}, "00 00 1 0000",
            {"APPLICATION_URI", "The OPC UA config file is invalid."}, "G.GG");
        const QStringList required{"APPLICATION_CERTIFICATE_PATH", "APPLICATION_PRIVATE_KEY_PATH",
                                   "CREDENTIALS_INI_PATH"};
        row("required keys missing", required, "00 00 0 0000", required, "G..G");
    }

    void reloadFollowsConfigAndDisk()
    {
        QFETCH(QStringList, changes);
        QFETCH(QString, disk);
        QFETCH(QStringList, errors);
        QFETCH(QString, buttons);
        for (QString& error : errors)
            error.prepend(error.contains(' ') ? "" : "The OPC UA config does not contain: ");
        writeConfig(changes);
        disk.remove(' ');
        for (int i = 0; i < disk.size(); ++i) {
            if (disk[i] == '1' && i >= 5)
                QVERIFY(QDir().mkpath(path(kPaths[i][1])));
            else if (disk[i] != '0')
                write(kPaths[i][1]);
            const QString key =
                QString("genrsa -out %1 %2 1024")
                    .arg(path(kPaths[i][1]), disk[i] == 's' ? "-aes128 -passout pass:sesame" : "");
            if (disk[i] == 'p' || disk[i] == 's')
                QCOMPARE(QProcess::execute("openssl", QProcess::splitCommand(key)), 0);
        }
        OpenSslRecorder recorder(path("recorder"));
        auto window = open(false);
        window->show(); // the key is opened once the window is painted
        QTRY_COMPARE(::errors(*window), errors);
        QCOMPARE(::buttons(*window), buttons);
        // The key is read in process: the pass phrase never goes to another program.
        QCOMPARE(recorder.calls().size(), 0);
        if (!changes.filter("_PATH").isEmpty())
            return; // the path fields are no longer the sample's
        // Relative paths resolve against the configuration's folder; what is missing is red and says why.
        for (int i = 0; i < disk.size(); ++i) {
            auto* edit = window->findChild<QLineEdit*>(kPaths[i][0]);
            const bool there = disk[i] != '0' && disk[i] != 'f';
            QCOMPARE(edit->text(), path(kPaths[i][1]));
            QCOMPARE(edit->toolTip(),
                     there ? "" : QString("This %1 does not exist.").arg(i < 5 ? "file" : "folder"));
            QCOMPARE(edit->styleSheet(), there ? "" : "color: red;");
        }
    }

    void usersTab()
    {
        writeConfig({"OPTIONAL_ENCODING_SALT=pepper"});
        write("OpcUa/auth/users.ini");
        QFile::setPermissions(path("OpcUa/auth/users.ini"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        auto window = open();
        // Hashes every local user can read: a warning with the mode, which locks nothing.
        auto* warning = window->findChild<QLabel*>("warningLabel");
        QVERIFY(warning->isVisibleTo(window.get()) && window->findChild<QWidget*>("tab_cert")->isEnabled());
        QCOMPARE(warning->text(), "Every local user can read or write this file (mode 0604).\n" +
                                      path("OpcUa/auth/users.ini"));
        auto login = [&](const char* name, const char* password) {
            bool ok = false;
            return IniAuth(path("OpcUa/auth/users.ini").toStdString(), ok, "pepper").getRole(name, password);
        };
        auto* view = window->findChild<QTableView*>("usersList_uaAuth");
        auto* edit = window->findChild<QPushButton*>("editUserPushButton_ua_auth");
        auto* remove = window->findChild<QPushButton*>("deleteUserPushButton_ua_auth");
        // Without an Admin the tab says so, and which role mends it, for as long as none is there.
        auto* notice = window->findChild<QLabel*>("usersNoticeLabel");
        const auto noAdmin = [&] { return !notice->isHidden() && notice->text().contains("the role Admin"); };
        QVERIFY(noAdmin());
        for (QString name : {"alice", "bob"})
            clickAndFillUserDialog(window->findChild<QPushButton*>("newUserPushButton_ua_auth"), name,
                                   name + "pw", name == "alice" ? 2 : 0);
        QVERIFY(notice->isHidden());
        QCOMPARE(login("alice", "alicepw"), eAuthRole_Admin);
        view->selectRow(1);
        QVERIFY(!edit->isHidden() && !remove->isHidden());
        view->clearSelection();
        QVERIFY(edit->isHidden() && remove->isHidden());
        // Enter on a row opens that user for editing.
        window->show();
        auto* tabs = window->findChild<QTabWidget*>("tabWidget");
        tabs->setCurrentWidget(window->findChild<QWidget*>("tab_ua_auth"));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QString edited;
        QTimer::singleShot(0, window.get(), [&] {
            if (auto* dialog = qobject_cast<UaUserDialog*>(QApplication::activeModalWidget())) {
                edited = field<QLineEdit>(dialog, "nameLineEdit")->text();
                dialog->reject();
            }
        });
        press(window.get(), view, 1, Qt::Key_Return);
        QCOMPARE(edited, QString("bob"));

        // Renamed with a new password and role: logs in under the new name; demoting the only Admin asks.
        view->selectRow(0);
        QVERIFY(answering({true}, [&] {
                    clickAndFillUserDialog(edit, "alicia", "newpass", 1);
                }).contains("no one will be able to administer the server"));
        QVERIFY(login("alicia", "newpass") == eAuthRole_Operator &&
                login("alice", "alicepw") == eAuthRole_None);
        QVERIFY(noAdmin());

        // Delete asks, naming the user; Cancel keeps the row, OK deletes. The Delete key does the same.
        view->selectRow(1);
        QCOMPARE(answer(remove, {false}), QString("Do you really want to delete the user bob?"));
        QCOMPARE(view->model()->rowCount(), 2);
        answering({true}, [&] { press(window.get(), view, 1, Qt::Key_Delete); });
        QVERIFY(view->model()->rowCount() == 1 && view->model()->index(0, 0).data() == "alicia");

        // The last Admin takes a second, explicit yes: one Cancel there keeps him.
        clickAndFillUserDialog(window->findChild<QPushButton*>("newUserPushButton_ua_auth"), "root", "rootpw",
                               2);
        view->selectRow(
            view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, "root").value(0).row());
        QVERIFY(answer(remove, {true, false}).contains("no one will be able to administer the server"));
        QCOMPARE(view->model()->rowCount(), 2);

        // The users file deleted behind the window's back is not recreated from memory: the delete is
        // refused, the window shows the disk as it is now, and the Errors tab says so.
        QVERIFY(QDir(path("OpcUa/auth")).removeRecursively());
        view->selectRow(
            view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, "alicia").value(0).row());
        answer(remove, {true});
        QVERIFY(!QFile::exists(path("OpcUa/auth/users.ini")));
        QCOMPARE(view->model()->rowCount(), 0);
        QCOMPARE(errors(*window, true), QStringList{"The configuration changed on disk, so nothing was done: "
                                                    "check what is shown now and try again.\n    " +
                                                    path("OpcUa/auth/users.ini") + " is gone"});
        auto* certificates = window->findChild<QWidget*>("tab_cert");
        QVERIFY(tabs->currentIndex() == 3 && tabs->currentWidget()->objectName() == "tab_errors");
        QVERIFY(certificates->isEnabled() && !view->isEnabled());

        // A configuration that no longer parses leaves the earlier one in use; the users file still loads.
        write("OpcUa/auth/users.ini");
        write("OpcUa/MoxOpcUa.ini", "APPLICATION_URI=before any section\n");
        window->reloadData();
        QCOMPARE(errors(*window, true),
                 QStringList{"The OPC UA config file was not parsed correctly.\n    " +
                             path("OpcUa/MoxOpcUa.ini") + ", line 1: a key before the first section"});
        QCOMPARE(window->findChild<QLineEdit*>("certificateLineEdit_opcUa")->text(),
                 path("OpcUa/pki/own/cert.der"));
        QVERIFY(!certificates->isEnabled() && view->isEnabled());

        writeConfig();
        window->reloadData();
        QVERIFY(tabs->count() == 3 && certificates->isEnabled() && view->isEnabled());
    }

    // An action that fails says what and why. As root nothing fails for want of rights, so the window runs
    // again in a child as nobody (this very test, its function below) on a tree only root may write.
    void failingActionSaysWhy()
    {
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty() || ::geteuid() != 0)
            QSKIP("needs root and setpriv to drop privileges");
        writeConfig();
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::permissions(m_dir->path()) | QFile::ExeOther |
                                                         QFile::ReadOther));
        QFile::setPermissions(path("OpcUa/MoxOpcUa.ini"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MOX_TEST_NOBODY_ROOT", m_dir->path());
        const QString self = nobodyCopy(QCoreApplication::applicationFilePath(), m_dir->filePath("bin"), env);
        QVERIFY(!self.isEmpty());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(setpriv,
                    {"--reuid=65534", "--regid=65534", "--clear-groups", self, "nobodyCreatesUsersFile"});
        QVERIFY(child.waitForFinished(60000));
        QVERIFY2(child.exitCode() == 0, child.readAll().constData());
        QVERIFY(!QFile::exists(path("OpcUa/auth/users.ini")));
    }
    void nobodyCreatesUsersFile()
    {
        const QString root = qEnvironmentVariable("MOX_TEST_NOBODY_ROOT");
        if (root.isEmpty())
            QSKIP("runs as nobody inside failingActionSaysWhy");
        MainWindow window(nullptr, new TestEnumerator(root));
        // The read-only window disables the button; the slot shows what the action itself reports.
        window.generateUaAuth();
        const QStringList shown = errors(window, true);
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].startsWith("Cannot create the users file.\n") &&
                     shown[0].contains("Permission denied"),
                 qPrintable(shown[0]));
    }

    // marks per field: . none, r required, n/p name/password length, m mismatch, b a name unfit for the file,
    // s blanks around a new name (the limits themselves, in bytes too, are the users service's: tst_core)
    void userDialogValidates_data()
    {
        QTest::addColumn<QString>("edited"); // the user being edited, empty to create one
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("repeat");
        QTest::addColumn<QString>("marks");
        auto row = [](const char* tag, QString edited, QString name, QString password, QString repeat,
                      QString marks) { QTest::newRow(tag) << edited << name << password << repeat << marks; };
        row("all empty", "", "", "", "", "rrr");
        row("shortest", "", "cc", "abcde", "abcde", "...");
        row("too short", "", "c", "abcd", "abcd", "np.");
        row("name with =, mismatch", "", "a=b", "secret", "secreT", "b.m");
        row("name with LF", "", "a\nb", "secret", "secret", "b..");
        row("name with leading ;", "", ";ab", "secret", "secret", "b..");
        row("new name with a trailing blank", "", "bob ", "secret", "secret", "s..");
        row("edit, password kept", "alice", "alice", "", "", "...");
        row("edit, existing name with blanks kept", " old ", " old ", "", "", "...");
        row("edit, rename without password", "alice", "alicia", "", "", ".rr");
    }

    void userDialogValidates()
    {
        const QMap<QChar, QString> tips{
            {'r', "This field is required."},
            {'n', "This field has to have between 2 and 20 characters."},
            {'p', "This field has to have between 5 and 30 characters."},
            {'m', "The passwords have to match."},
            {'b', "The name cannot contain \"=\", a line break or a NUL, or begin with \";\"."},
            {'s', "A name cannot start or end with a blank."}};
        QFETCH(QString, edited);
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, repeat);
        QFETCH(QString, marks);
        UaUsersModel model; // without a store, so a form that passes is refused there
        User user(edited.toStdString(), eAuthRole_Operator);
        UaUserDialog dialog(&model, nullptr, edited.isEmpty() ? nullptr : &user);
        submit(dialog, name, password, repeat, 1);
        int i = 0;
        QString firstReason;
        const QStringList labels{"Name:", "Password:", "Password repeat:"};
        for (const char* field : {"nameLineEdit", "passwordLineEdit", "passwordRepeatLineEdit"}) {
            auto* edit = dialog.findChild<QLineEdit*>(field);
            QCOMPARE(edit->toolTip(), tips[marks[i]]);
            if (firstReason.isEmpty() && marks[i] != '.')
                firstReason = labels[i] + ' ' + tips[marks[i]];
            QCOMPARE(edit->styleSheet().isEmpty(), marks[i++] == '.');
        }
        // The first reason is visible text, not only a tool tip; a form that passes reaches the store.
        auto* status = dialog.findChild<QLabel*>("statusLabel");
        QCOMPARE(status->text().section('\n', 0, 0),
                 marks == "..." ? QString(edited.isEmpty() ? "An error occurred while creating user."
                                                           : "An error occurred while editing user.")
                                : firstReason);
        if (marks == "rrr") { // each mark goes as soon as its field is right
            auto* nameEdit = dialog.findChild<QLineEdit*>("nameLineEdit");
            QTest::keyClicks(nameEdit, "bob");
            QVERIFY(nameEdit->styleSheet().isEmpty());
            QCOMPARE(status->text(), QString("Password: This field is required."));
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
