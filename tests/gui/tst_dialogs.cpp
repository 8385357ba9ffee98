// The certificate, settings and confirmation dialogs, alone and behind the main window's actions.
#include "backupsDialog.h"
#include "certificateDetailsDialog.h"
#include "confirmDialog.h"
#include "dialogFixture.h"
#include "mainWindow.h"
#include "settingsDialog.h"
#include "testEnumerator.h"
#include "testFiles.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QScrollBar>
#include <QTableWidget>

#include <QStringListModel>

#include <functional>
#include <list>

class TestDialogs : public DialogFixture
{
    Q_OBJECT

private slots:
    void warningsAndSuffixes();
    void generation_data();
    void generation();
    void failures_data();
    void failures();
    void wheelAndMnemonicsScrollTheForm();
    void window();
    void newPassPhraseNeedNotLockOut_data();
    void newPassPhraseNeedNotLockOut();
    void backups();
    void sampleLeavesAnInstallationAlone();

private:
    // The generate and delete buttons shown, as click() takes them.
    QString offers()
    {
        QStringList names;
        for (QPushButton* button :
             m_window->findChildren<QPushButton*>(QRegularExpression("^(generate|delete)\\w*PushButton_")))
            names << (button->isHidden() ? "" : button->objectName().remove("PushButton"));
        names.sort();
        return names.join(' ').trimmed();
    }
    void edit(const QString& from, const QString& to)
    {
        const QByteArray text = readAll(mox("OpcUa/MoxOpcUa.ini"));
        QVERIFY2(text.contains(from.toUtf8()), qPrintable(from));
        write(mox("OpcUa/MoxOpcUa.ini"), QByteArray(text).replace(from.toUtf8(), to.toUtf8()));
    }
    // Triggers a window's action or button, act handling the modal dialog of type D it opens; then offers().
    template <class D> QString click(QString name, std::function<void(D&)> act)
    {
        QObject scope; // no timer outlives a dialog that never opened
        QTimer::singleShot(0, &scope, [&] {
            if (D* dialog = m_window->findChild<D*>(); dialog && dialog->isModal()) {
                act(*dialog);
                if (dialog->isVisible())
                    dialog->reject();
            }
        });
        QObject* target = m_window->findChild<QObject*>(name.replace("_", "PushButton_"));
        QMetaObject::invokeMethod(target, target->inherits("QAction") ? "trigger" : "click");
        return offers();
    }
    // The question, if a framed dialog with a title asked it with Cancel as the default.
    QString confirm(const QString& button, bool ok = true)
    {
        QString question;
        click<ConfirmDialog>(button, [&](ConfirmDialog& dialog) {
            if (dialog.windowType() == Qt::Dialog && !dialog.windowTitle().isEmpty() &&
                field<QDialogButtonBox>(&dialog, "buttonBox")->button(QDialogButtonBox::Cancel)->isDefault())
                question = field<QLabel>(&dialog, "label")->text();
            field<QDialogButtonBox>(&dialog, "buttonBox")
                ->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)
                ->click();
        });
        return question;
    }

    std::unique_ptr<MainWindow> m_window;
    QStringListModel* m_errors = nullptr;
};

void TestDialogs::warningsAndSuffixes()
{
    // A pass phrase or URI other than the configured one is marked.
    QLineEdit* password = field<QLineEdit>(
        dialog(mox("c.pem"), mox("k.pem"), "s3cret", "urn:MOX:UA:TestServer"), "passwordLineEdit");
    QCOMPARE(field<QLineEdit>(m_form.get(), "applicationURILineEdit")->styleSheet() + password->styleSheet(),
             QString());
    QTest::keyClick(password, Qt::Key_Backspace);
    QCOMPARE(password->styleSheet(), CertificateDialog::s_warningStyle);
    // The warning says that the password differs, never what the configured one is.
    QVERIFY(!password->toolTip().isEmpty() && !password->toolTip().contains("s3cret"));
    // A URI the form can compose is proposed as configured; any other leaves the form as it was.
    QLineEdit* uri = field<QLineEdit>(dialog(mox("c.pem"), mox("k.pem"), "", "urn:example:Plant"),
                                      "applicationURILineEdit");
    QCOMPARE(uri->text() + uri->styleSheet(), "urn:MOX:UA" + CertificateDialog::s_warningStyle);
    uri = field<QLineEdit>(dialog(mox("c.pem"), mox("k.pem"), "", "urn:MOX:UA:Plant"),
                           "applicationURILineEdit");
    QCOMPARE(uri->text() + uri->styleSheet() +
                 field<QLineEdit>(m_form.get(), "passwordLineEdit")->styleSheet(),
             "urn:MOX:UA:Plant");
    field<QCheckBox>(m_form.get(), "useNameOfTheMachineCheckBox")->click();
    QCOMPARE(uri->styleSheet(), CertificateDialog::s_warningStyle);
    const QString onHost = "urn:" + QSysInfo::machineHostName() + ":MOX:UA";
    uri = field<QLineEdit>(dialog(mox("c.pem"), mox("k.pem"), "s3cret", onHost), "applicationURILineEdit");
    QCOMPARE(uri->text() + uri->styleSheet() + field<QLineEdit>(m_form.get(), "endPartLineEdit")->text(),
             onHost);

    // File names: the certificate label and the status line; nothing enables a refused OK again.
    const QString bad = "|Bad extension of the requested files.";
    const QStringList cases{
        "x.cert x.key", "Certificate: x.cert (DER encoding)|",
        "x.PEM x.pem",  "Certificate have to be one of .der, .cer, .cert, .crt or .pem extensions." + bad,
        "x.pem x.der",  "Certificate: x.pem (PEM encoding)" + bad,
        "x.pem x.pem",  "Certificate: x.pem (PEM encoding)|The requested files has the same name."};
    for (int i = 0; i < cases.size(); i += 2) {
        dialog(mox(cases[i].section(' ', 0, 0)), mox(cases[i].section(' ', 1)))->validate();
        QCOMPARE(field<QLabel>(m_form.get(), "certLabel")->text() + '|' +
                     field<QLabel>(m_form.get(), "statusLabel")->text(),
                 cases[i + 1]);
        QCOMPARE(
            field<QDialogButtonBox>(m_form.get(), "buttonBox")->button(QDialogButtonBox::Ok)->isEnabled(),
            cases[i + 1].endsWith('|'));
    }

    // The subject goes to openssl unescaped: slash, backslash and quote are refused, each in its own field.
    for (const char* text : {"a/b", "a\\b", "a\"b"}) {
        field<QLineEdit>(dialog(mox("c.pem"), mox("k.pem")), "organizationUnitLineEdit")->setText(text);
        QVERIFY(!m_form->validate());
        QCOMPARE(field<QLineEdit>(m_form.get(), "organizationUnitLineEdit")->styleSheet(),
                 CertificateDialog::s_invalidStyle);
        QVERIFY(field<QLineEdit>(m_form.get(), "nameLineEdit")->styleSheet().isEmpty());
    }
    QVERIFY(dialog(mox("c.pem"), mox("k.pem"))->validate());

    // Names, addresses and the URI are checked before any openssl runs, each marked on its field (the URI on
    // the part that composes it, as moxsec says it); the first reason is visible text.
    QTest::keyClicks(field<QLineEdit>(dialog(mox("c.pem"), mox("k.pem")), "endPartLineEdit"), "Plant 1");
    field<QTextEdit>(m_form.get(), "ipAddressesTextEdit")->setPlainText("127.0.0.1\n10.0.0.300");
    field<QTextEdit>(m_form.get(), "domainNamesTextEdit")->setPlainText("plant_1");
    m_form->accept();
    QStringList marks{field<QLabel>(m_form.get(), "statusLabel")->text()};
    for (const char* name : {"endPartLineEdit", "domainNamesTextEdit", "ipAddressesTextEdit"}) {
        const QWidget* edit = field<QWidget>(m_form.get(), name);
        marks << (edit->styleSheet() == CertificateDialog::s_invalidStyle ? edit->toolTip() : "unmarked");
    }
    QCOMPARE(marks, QStringList({"The URI cannot contain spaces.", "The URI cannot contain spaces.",
                                 "'plant_1' is not a valid DNS name.",
                                 "'10.0.0.300' is not an IPv4 or IPv6 address."}));
    QVERIFY(m_openssl->calls().isEmpty() && m_form->result() != QDialog::Accepted);

    // It fits the offscreen 800x600 screen with OK and Cancel inside; the form scrolls instead.
    dialog(mox("c.pem"), mox("k.pem"))->show();
    QVERIFY2(m_form->frameGeometry().height() <= 600, qPrintable(QString::number(m_form->height())));
    QVERIFY(m_form->rect().contains(field<QDialogButtonBox>(m_form.get(), "buttonBox")->geometry()));
    QVERIFY(field<QScrollArea>(m_form.get(), "formScrollArea")->verticalScrollBar()->maximum() > 0);
}

void TestDialogs::generation_data()
{
    // The certificate; the pass phrase, key size, digest and validity as chosen, then as openssl gets them.
    QTest::addColumn<QString>("choice");
    QTest::newRow("PEM") << "pki/own/cert.pem||2048 bits|SHA 256|5 Years|2048|sha256|1825";
    QTest::newRow("DER, pass phrase") << "c/x.der|pa ss|3072 bits|SHA 512|20 Years|3072|sha512|7300";
    QTest::newRow("core, DER") << "moxcore/moxcore.cer||1024 bits|SHA 256|1 Day|1024|sha256|1";
}

void TestDialogs::generation()
{
    QFETCH(QString, choice);
    const QStringList chosen = choice.split('|');
    const QString& password = chosen[1];
    const QString cert = mox(chosen[0]);
    const QString key = mox("k/private/key.pem");
    const QString dir = QFileInfo(cert).path();
    const QString form = cert.endsWith(".pem") ? "PEM" : "DER";
    // An old readable key is replaced by a new file, private from its first byte.
    write(key, "old");
    QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    dialog(cert, key, "", "urn:MOX:UA");
    field<QComboBox>(m_form.get(), "rsaKeyStrengthComboBox")->setCurrentText(chosen[2]);
    field<QComboBox>(m_form.get(), "signatureAlgorithmComboBox")->setCurrentText(chosen[3]);
    field<QComboBox>(m_form.get(), "certificateValidityComboBox")->setCurrentText(chosen[4]);
    field<QTextEdit>(m_form.get(), "domainNamesTextEdit")->setPlainText("one.example\n\ntwo.example\n");
    field<QTextEdit>(m_form.get(), "ipAddressesTextEdit")->setPlainText("127.0.0.1");
    field<QCheckBox>(m_form.get(), "passwordCheckBox")->setChecked(!password.isEmpty());
    field<QLineEdit>(m_form.get(), "passwordLineEdit")->setText(password);
    field<QLineEdit>(m_form.get(), "passwordRepeatLineEdit")->setText(password);
    m_form->accept();
    QVERIFY2(m_form->result() == QDialog::Accepted,
             qPrintable(field<QLabel>(m_form.get(), "statusLabel")->text()));
    // The next dialog proposes the subject fields just used.
    const CertificateDialog next(true, mox("OpenSSL"), cert, key, "", "");
    QCOMPARE(field<QLineEdit>(&next, "organizationLineEdit")->text() +
                 field<QLineEdit>(&next, "countryLineEdit")->text(),
             QString("DEDE"));
    if (!cert.contains("moxcore")) // and the server's alternative names
        QCOMPARE(field<QTextEdit>(&next, "domainNamesTextEdit")->toPlainText() + '|' +
                     field<QTextEdit>(&next, "ipAddressesTextEdit")->toPlainText(),
                 QString("one.example\n\ntwo.example\n|127.0.0.1"));

    // The exact command lines, arguments between bars; a pass phrase travels in the child's environment only.
    // Every output goes to a fresh temporary file, named here by its role.
    const QString env = QString("env:") + OpenSslTool::passphraseVariable;
    const QString in = password.isEmpty() ? "" : "|-passin|" + env;
    const QString pass = (password.isEmpty() ? "<unset>" : password) + ": ";
    const QStringList expected{pass + (password.isEmpty() ? "genrsa" : "genrsa|-des3|-passout|" + env) + '|' +
                                   chosen[5],
                               pass + "req|-new|-key|<key>|-subj|/C=DE/ST=DE/L=DE/O=DE/OU=/CN=" +
                                   field<QLineEdit>(m_form.get(), "nameLineEdit")->text() + "|-config|" +
                                   mox("OpenSSL/qvd_openssl.cnf") + in,
                               pass + "x509|-req|-in|<csr>|-signkey|<key>|-extfile|<ext>" + in + "|-" +
                                   chosen[6] + "|-days|" + chosen[7] + "|-outform|" + form};
    const std::pair<QString, const char*> temporaries[] = {{QFileInfo(key).path() + "/.key.pem", "<key>"},
                                                           {dir + "/.request.csr", "<csr>"},
                                                           {dir + "/.openssl_v3.ext", "<ext>"}};
    QStringList calls;
    for (const OpenSslRecorder::Call& call : m_openssl->calls()) {
        calls << call.passphrase + ": " + call.arguments.join('|');
        for (const auto& [prefix, role] : temporaries)
            calls.last().replace(QRegularExpression(QRegularExpression::escape(prefix) + "\\.[^|/]+\\.tmp"),
                                 role);
    }
    QCOMPARE(calls, expected);
    // The alternative names appended exactly; no temporary file stays behind.
    const QByteArray names = "\nsubjectAltName=URI:urn:MOX:UA,DNS:one.example,DNS:two.example,IP:127.0.0.1";
    QCOMPARE(readAll(m_openssl->file("ext.seen")),
             readAll(mox("OpenSSL/qvd_openssl_v3.ext")) + (cert.contains("moxcore") ? "" : names));
    QCOMPARE(QDir(dir).entryList({"*.tmp"}, QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(QDir(QFileInfo(key).path()).entryList({"*.tmp"}, QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(int(QFile::permissions(key) & 0x7077), int(QFile::ReadOwner | QFile::WriteOwner));
}

void TestDialogs::failures_data()
{
    // The openssl steps run, the files in the certificate's folder afterwards (hidden ones too), the message
    // (empty: generated). A failure never touches the pair that was there.
    QTest::addColumn<QString>("outcome");
    const QString all = "|cert.pem key.pem unrelated|";
    QTest::newRow("no-cnf") << "0" + all + "Missing the CNF file: %1/qvd_openssl.cnf";
    QTest::newRow("stale copy left alone") << "3|cert.pem key.pem openssl_v3.ext unrelated|";
    QTest::newRow("no-openssl") << "0" + all + "Cannot generate the private key.";
    QTest::newRow("FAIL genrsa") << "1" + all + "Cannot generate the private key.|genrsa: fake failure";
    QTest::newRow("FAIL req") << "2" + all + "Cannot generate the CSR (certificate signing request).";
    QTest::newRow("FAIL x509") << "3" + all + "Cannot generate the certificate.";
    QTest::newRow("HANG x509, killed at the time limit")
        << "3" + all + "Cannot generate the certificate.|openssl did not finish within 2 s and was stopped.";
    QTest::newRow("HANG x509, cancelled")
        << "3" + all + "Cannot generate the certificate.|Stopped: generation was cancelled.";
}

void TestDialogs::failures()
{
    QFETCH(QString, outcome);
    const QStringList expected = outcome.split('|');
    const QString setup = QTest::currentDataTag();
    for (const char* name : {"own/cert.pem", "own/key.pem", "own/unrelated"})
        write(mox(name), "earlier");
    if (setup == "no-cnf")
        QVERIFY(QFile::remove(mox("OpenSSL/qvd_openssl.cnf")));
    else if (setup.startsWith("stale")) // a copy a killed run left does not block generation
        write(mox("own/openssl_v3.ext"), "stale");
    else if (setup == "no-openssl")
        qputenv("PATH", mox("empty").toUtf8());
    else // a failing step first writes a partial output
        qputenv("MOX_FAKE_" + setup.section(' ', 0, 0).toUtf8(),
                setup.section(' ', 1, 1).remove(',').toUtf8());
    if (setup.startsWith("stale")) // the new pair replaces the old one
        QVERIFY(QFile::remove(mox("own/cert.pem")) && QFile::remove(mox("own/key.pem")));
    dialog(mox("own/cert.pem"), mox("own/key.pem"))->setStepTimeout(2000);
    QTimer cancel; // Cancel while the hanging step runs stops it at once
    connect(&cancel, &QTimer::timeout, m_form.get(), [this] {
        if (field<QLabel>(m_form.get(), "statusLabel")->text().startsWith("Step 3"))
            m_form->reject();
    });
    if (setup.startsWith("HANG x509, cancelled")) {
        m_form->setStepTimeout(60000);
        cancel.start(50);
    }
    m_form->accept();
    const QStringList status = field<QLabel>(m_form.get(), "statusLabel")->text().split('\n');
    QCOMPARE(status.first(), expected[2].isEmpty() ? QString("Step 3 of 3: signing the certificate...")
                                                   : QString(expected[2]).replace("%1", mox("OpenSSL")));
    if (expected.size() > 3) // the cause goes below the message
        QCOMPARE(status.value(1), expected[3]);
    QCOMPARE(m_form->result() == QDialog::Accepted, expected[2].isEmpty());
    QCOMPARE(QString::number(m_openssl->calls().size()), expected[0]);
    QCOMPARE(QDir(mox("own")).entryList(QDir::Files | QDir::Hidden).join(' '), expected[1]);
    if (expected[2].isEmpty())
        QCOMPARE(readAll(mox("own/openssl_v3.ext")), QByteArray("stale"));
    else
        QCOMPARE(readAll(mox("own/key.pem")) + readAll(mox("own/cert.pem")), QByteArray("earlierearlier"));
}

// The wheel over a choice without focus scrolls the form and leaves the choice (else the key size changes
// under a scrolling mouse); a focused choice still takes it. A mnemonic shows its field.
void TestDialogs::wheelAndMnemonicsScrollTheForm()
{
    CertificateDialog* form = dialog(mox("c.pem"), mox("k.pem"));
    form->show();
    QApplication::setActiveWindow(form);
    QVERIFY(QTest::qWaitForWindowActive(form));
    QScrollBar* bar = field<QScrollArea>(form, "formScrollArea")->verticalScrollBar();
    const auto wheel = [](QWidget* target) {
        const QPoint at = target->rect().center();
        QWheelEvent event(at, target->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        // As the window system sends it: only a user's wheel goes on to the parents.
        QSpontaneKeyEvent::setSpontaneous(&event);
        qApp->notify(target, &event);
    };
    const QList<QComboBox*> boxes = form->findChildren<QComboBox*>();
    for (QComboBox* box : boxes) {
        field<QLineEdit>(form, "nameLineEdit")->setFocus();
        bar->setValue(0);
        const int index = box->currentIndex();
        wheel(box);
        QCOMPARE(box->currentIndex(), index);
        QVERIFY2(bar->value() > 0, qPrintable(box->objectName()));
    }
    QComboBox* days = field<QComboBox>(form, "certificateValidityComboBox");
    days->setCurrentIndex(0);
    days->setFocus();
    wheel(days);
    QCOMPARE(days->currentIndex(), 1);

    field<QLineEdit>(form, "nameLineEdit")->setFocus();
    bar->setValue(0);
    QVERIFY(days->visibleRegion().isEmpty());
    QTest::keyClick(form, Qt::Key_V, Qt::AltModifier);
    QVERIFY(days->hasFocus() && !days->visibleRegion().isEmpty());
}

// Each refresh builds the list anew in other storage, as an enumerator that reads the disk may. The old list
// stays allocated but blank, so an address held across a refresh is never handed out again.
class MovingEnumerator : public TestEnumerator
{
public:
    using TestEnumerator::TestEnumerator;
    bool Refresh() override
    {
        std::vector<MoxInstInstance> fresh(Installs);
        InstActive = InstActive ? &fresh[size_t(InstActive - Installs.data())] : nullptr;
        Installs.swap(fresh);
        for (MoxInstInstance& old : fresh)
            old.Clear();
        m_retired.push_back(std::move(fresh));
        return true;
    }

private:
    std::list<std::vector<MoxInstInstance>> m_retired;
};

void TestDialogs::window()
{
    m_window.reset(new MainWindow(nullptr, new MovingEnumerator(m_dir->path(), 3)));
    m_errors = static_cast<QStringListModel*>(m_window->findChild<QListView*>()->model());
    const QString none = "generateAuth_opcUa generateFolders_clientCerts generate_moxCore generate_opcUa";
    const auto generate = [](CertificateDialog& form) { fillSubject(&form)->accept(); };
    for (const QString& button : none.split(' ')) // each action ends with a reload
        QVERIFY2(!click<CertificateDialog>(button, generate).contains(button), qPrintable(button));
    const QString all = "deleteAuth_opcUa deleteFolders_clientCerts delete_moxCore delete_opcUa";
    QCOMPARE(offers() + m_errors->stringList().join(' '), all);
    // The question names what goes and where the backup lies.
    const QString question = confirm("delete_opcUa", false);
    QCOMPARE(question.section('\n', 0, 0), QString("Do you really want to delete the certificate?"));
    QVERIFY2(question.contains(mox("OpcUa/pki/own/private/key.pem")) &&
                 question.contains(mox("OpcUa/pki/own/private/.backup/<date-time>")),
             qPrintable(question));
    QCOMPARE(offers(), all);
    for (const QString& button : all.split(' '))
        QVERIFY2(!confirm(button).isEmpty() && !offers().contains(button), qPrintable(button));
    QCOMPARE(offers() + m_errors->stringList().join(' '), none);

    // A trust list holding what the tool needs is kept, the Errors tab says why (the rest of the guard:
    // tst_filesafety); an unset one never stands for the working folder. The other folders go each time.
    QTemporaryDir work;
    write(work.filePath("precious"));
    const QString saved = QDir::currentPath();
    QDir::setCurrent(work.path());
    const QStringList cases = QString(".|%1|..|%1|../moxcore|%2||")
                                  .arg("it holds the protected file '" + mox("OpcUa/MoxOpcUa.ini") + "'",
                                       "it holds the protected file '" + mox("moxcore/exec.mox") + "'")
                                  .split('|');
    for (int i = 0; i < cases.size(); i += 2) {
        edit("TRUST_LIST_PATH=" + (i ? cases[i - 2] : "pki/trusted") + '\n',
             "TRUST_LIST_PATH=" + cases[i] + '\n');
        m_window->reloadData();
        m_window->findChild<QPushButton*>("generateFoldersPushButton_clientCerts")->click();
        const QString kept = m_window->findChild<QLineEdit*>("trustListLineEdit")->text();
        confirm("deleteFolders_clientCerts");
        for (const char* folder : {"issuers", "crl", "rejected"})
            QVERIFY2(!QFileInfo::exists(mox("OpcUa/pki/") + folder), folder);
        const QString resolved = QFileInfo(kept).canonicalFilePath();
        const QString why =
            QString("The folder '%1'%2 was not deleted: %3.")
                .arg(kept, resolved == QDir::cleanPath(kept) ? QString() : " (resolved: '" + resolved + "')",
                     cases[i + 1]);
        QCOMPARE(m_errors->stringList().join('\n'), cases[i + 1].isEmpty() ? QString() : why);
    }
    QDir::setCurrent(saved);
    QVERIFY(QFile::exists(work.filePath("precious")));
    QVERIFY(QFile::exists(mox("OpcUa/MoxOpcUa.ini")) && QFile::exists(mox("moxcore/exec.mox")));

    // Settings: instance 2's paths are the wrong kinds of entry, instance 1 is missing; choosing it reloads.
    QVERIFY(QDir().mkpath(mox("instance2/OpcUa/MoxOpcUa.ini")));
    write(mox("instance2/OpenSSL"));
    QStringList marks;
    click<SettingsDialog>("actionSettings", [&marks](SettingsDialog& dialog) {
        for (int i : {2, 1}) {
            dialog.findChild<QComboBox*>()->setCurrentIndex(i);
            for (QLineEdit* edit : dialog.findChildren<QLineEdit*>(QRegularExpression("LineEdit$")))
                marks << (edit->styleSheet() == "color: red;" ? edit->toolTip() : "");
        }
        dialog.accept();
    });
    QCOMPARE(marks.join('|'),
             QString("This file does not exist.||This folder does not exist.|This file does not exist.|"
                     "This folder does not exist.|This folder does not exist."));
    // Problems that do not depend on each other come together, each with its path.
    const QStringList instance1 = {"No OpenSSL directory was specified.\n    " + mox("instance1/OpenSSL"),
                                   "The OPC UA config file does not exist.\n    " +
                                       mox("instance1/OpcUa/MoxOpcUa.ini")};
    QCOMPARE(m_errors->stringList(), instance1);
    // After the list was built anew the dialog still shows the chosen instance, and the window works on it.
    int shown = -1;
    click<SettingsDialog>("actionSettings", [&shown](SettingsDialog& dialog) {
        shown = dialog.findChild<QComboBox*>()->currentIndex();
    });
    m_window->findChild<QAction*>("actionReload")->trigger();
    QCOMPARE(QString::number(shown) + m_errors->stringList().join('|'), "1" + instance1.join('|'));
}

void TestDialogs::newPassPhraseNeedNotLockOut_data()
{
    QTest::addColumn<bool>("update"); // the answer to the question whether to write the configuration
    QTest::newRow("update accepted") << true;
    QTest::newRow("update declined") << false;
}

// A key made with a pass phrase the configuration does not hold must not lock every tab, the key's delete
// button included: nothing could then mend it.
void TestDialogs::newPassPhraseNeedNotLockOut()
{
    QFETCH(bool, update);
    edit("cert.pem", "cert.der");
    const QString config = mox("OpcUa/MoxOpcUa.ini");
    const QByteArray before = readAll(config);
    m_window.reset(new MainWindow(nullptr, new TestEnumerator(m_dir->path(), 3)));
    QStringList questions; // and warnings, which have no Yes
    bool yesIsDefault = false;
    QTimer answer; // the questions come after the dialog closed, from inside the click
    connect(&answer, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                questions << box->text();
                yesIsDefault |=
                    questions.size() == 1 && box->defaultButton() == box->button(QMessageBox::Yes);
                box->button(!box->button(QMessageBox::Yes) ? QMessageBox::Ok
                            : update                       ? QMessageBox::Yes
                                                           : QMessageBox::No)
                    ->click();
            }
        }
    });
    answer.start(20);
    click<CertificateDialog>("generate_opcUa", [](CertificateDialog& form) {
        field<QComboBox>(fillSubject(&form), "rsaKeyStrengthComboBox")->setCurrentIndex(0);
        field<QCheckBox>(&form, "passwordCheckBox")->setChecked(true);
        field<QLineEdit>(&form, "passwordLineEdit")->setText("new phrase");
        field<QLineEdit>(&form, "passwordRepeatLineEdit")->setText("new phrase");
        form.accept();
        QVERIFY2(form.result() == QDialog::Accepted, qPrintable(field<QLabel>(&form, "statusLabel")->text()));
    });
    answer.stop();
    // The dialog proposed the configured URI, so only the pass phrase differs. The configuration is 0644:
    // before the pass phrase goes in, the window asks to take others' access.
    QVERIFY(questions.value(0).contains("APPLICATION_PRIVATE_KEY_PASSWORD") && yesIsDefault &&
            !questions.value(0).contains("APPLICATION_URI"));
    QCOMPARE(questions.size(), update ? 2 : 1);
    QCOMPARE(questions.value(1).section('\n', 0, 0), update ? config + " has mode 0644." : QString());
    QCOMPARE(fileMode(config), update ? 0640 : 0644);
    QCOMPARE(
        m_window->findChild<QListView*>()->model()->index(0, 0).data().toString().section('\n', 0, 0),
        update ? QString()
               : QString("The OPC UA key is encrypted, and the OPC UA config gives no pass phrase for it."));
    QVERIFY(m_window->findChild<QWidget*>("tab_cert")->isEnabled());
    QCOMPARE(offers(), "delete_opcUa generateAuth_opcUa generateFolders_clientCerts generate_moxCore");
    QCOMPARE(readAll(config),
             update ? QByteArray(before).replace("APPLICATION_PRIVATE_KEY_PASSWORD=\n",
                                                 "APPLICATION_PRIVATE_KEY_PASSWORD=new phrase\n")
                    : before);
    // The new certificate's details: the button shows for it, the dialog reads it (DER by its suffix).
    QVERIFY(!m_window->findChild<QPushButton*>("detailsPushButton_opcUa")->isHidden() &&
            m_window->findChild<QPushButton*>("detailsPushButton_moxCore")->isHidden());
    CertificateDetailsDialog details(mox("OpcUa/pki/own/cert.der"));
    QCOMPARE(details.error() + details.value("Encoding") + details.value("URI"), "DERurn:MOX:UA:TestServer");
    QVERIFY(details.value("SHA-1 thumbprint").contains(QRegularExpression("^[0-9A-F]{40}$")));
}

void TestDialogs::backups()
{
    // The users file and a trusted certificate deleted in the window come back through Data > Backups; a
    // taken name refuses until "Replace" is ticked, and the backup of what it replaced is then deleted for
    // good.
    const QString users = mox("OpcUa/users.ini"), trusted = mox("OpcUa/pki/trusted/a.pem");
    write(users, "[ADMIN]\r\n");
    write(trusted, "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n");
    m_window.reset(new MainWindow(nullptr, new TestEnumerator(m_dir->path(), 3)));
    QVERIFY(!confirm("deleteAuth_opcUa").isEmpty());
    m_window->findChild<QTableWidget*>("certificatesTable")->selectRow(0);
    const QString question = confirm("deletePushButton");
    QVERIFY2(question.contains(mox("OpcUa/pki/trusted/.backup/<date-time>")), qPrintable(question));
    QVERIFY(!QFileInfo::exists(users) && !QFileInfo::exists(trusted));
    write(users, "new");

    QStringList seen;
    click<BackupsDialog>("actionBackups", [&seen](BackupsDialog& dialog) {
        auto* table = dialog.findChild<QTableWidget*>("backupsTableWidget");
        auto* message = dialog.findChild<QLabel*>("messageLabel");
        for (const bool replace : {false, true, true}) {
            dialog.findChild<QCheckBox*>("replaceCheckBox")->setChecked(replace);
            table->selectRow(table->rowCount() - 1);
            dialog.findChild<QPushButton*>("restorePushButton")->click();
            seen << message->text();
        }
        QTimer::singleShot(0, &dialog, [&dialog] {
            field<QDialogButtonBox>(dialog.findChild<ConfirmDialog*>(), "buttonBox")
                ->button(QDialogButtonBox::Ok)
                ->click();
        });
        table->selectRow(0);
        dialog.findChild<QPushButton*>("deletePushButton")->click();
        seen << QString::number(table->rowCount());
    });
    QVERIFY2(seen.value(0).contains("Tick \"Replace\"") && seen.value(1).endsWith("restored.") &&
                 seen.value(2).endsWith("restored.") && seen.value(3) == "0",
             qPrintable(seen.join('|')));
    QCOMPARE(readAll(users), QByteArray("[ADMIN]\r\n"));
    QCOMPARE(readAll(trusted), QByteArray("-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n"));
    QCOMPARE(QDir(mox("OpcUa/.backup")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestDialogs::sampleLeavesAnInstallationAlone()
{
    // init() laid down one; a second run over an existing installation must change nothing in it.
    write(mox("OpcUa/MoxOpcUa.ini"), "[APPLICATION]\r\nmine=1\r\n");
    const QString script = qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/scripts/install-sample.sh";
    QCOMPARE(QProcess::execute("bash", {script, m_dir->path()}), 0);
    QCOMPARE(readAll(mox("OpcUa/MoxOpcUa.ini")), QByteArray("[APPLICATION]\r\nmine=1\r\n"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot));
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
