// The window's install of a CA-signed certificate: the dialog lists each check as passed or failed before
// anything is written, and offers Install only when all passed.
#include "certificateDetailsDialog.h"
#include "mainWindow.h"
#include "moxsecFixture.h"
#include "testEnumerator.h"

#include <QtTest>
#include <QtWidgets>

class TestSignedInstall : public MoxsecFixture
{
    Q_OBJECT

private slots:
    void checkList_data();
    void checkList();

private:
    QString ca(const QString& name) const { return m_dir->path() + "/ca/" + name; }
    static bool openssl(const QStringList& arguments) { return QProcess::execute("openssl", arguments) == 0; }
};

void TestSignedInstall::checkList_data()
{
    QTest::addColumn<QByteArray>("extensions");
    QTest::addColumn<bool>("chain");
    QTest::addColumn<QStringList>("listed");
    const QString key = "Passed: It belongs to the installed or the pending key",
                  uri = "Passed: Its URI is APPLICATION_URI", now = "Passed: It is valid now";
    QTest::newRow("usages and chain missing")
        << QByteArray("keyUsage=digitalSignature\n") << false
        << QStringList{key, uri, now, "Failed: It carries the usages of an application instance certificate",
                       "Failed: It verifies up to a CA certificate given"};
    QTest::newRow("all passed") << QByteArray("keyUsage=digitalSignature,nonRepudiation,keyEncipherment,"
                                              "dataEncipherment\nextendedKeyUsage=serverAuth,clientAuth\n")
                                << true
                                << QStringList{key,
                                               uri,
                                               now,
                                               "Passed: It carries the usages of an application instance "
                                               "certificate",
                                               "Passed: It verifies up to a CA certificate given",
                                               "Passed: Its CA certificates can go into the issuers folder"};
}

void TestSignedInstall::checkList()
{
    QFETCH(QByteArray, extensions);
    QFETCH(bool, chain);
    QFETCH(QStringList, listed);
    QCOMPARE(moxsec({"cert", "generate", "opcua", "--country", "DE", "--state", "BY", "--locality", "Town",
                     "--organization", "Org", "--uri-end", "TestServer", "--yes"})
                 .exitCode,
             0);
    QCOMPARE(moxsec({"folders", "create"}).exitCode, 0);
    QVERIFY(QDir().mkpath(ca("")) && write(ca("ext"), extensions));
    QCOMPARE(moxsec({"cert", "csr", "opcua", "--out", ca("req.pem")}).exitCode, 0);
    QVERIFY(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca("ca.key"), "-out",
                     ca("ca.pem"), "-subj", "/CN=Test CA", "-days", "10", "-addext",
                     "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign,cRLSign"}));
    QVERIFY(openssl({"x509", "-req", "-in", ca("req.pem"), "-CA", ca("ca.pem"), "-CAkey", ca("ca.key"),
                     "-CAcreateserial", "-days", "30", "-copy_extensions", "copy", "-extfile", ca("ext"),
                     "-out", ca("leaf.pem")}));
    const QMap<QString, QByteArray> before = files();

    MainWindow window(nullptr, new TestEnumerator(m_dir->path()));
    auto* open = window.findChild<QPushButton*>("installSignedPushButton_opcUa");
    QVERIFY(open && !open->isHidden());
    QStringList shown;
    bool installOffered = true;
    QTimer::singleShot(0, [&] {
        auto* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog);
        dialog->findChild<QLineEdit*>("certificateLineEdit")->setText(ca("leaf.pem"));
        dialog->findChild<QLineEdit*>("chainLineEdit")->setText(chain ? ca("ca.pem") : QString());
        QTest::mouseClick(dialog->findChild<QPushButton*>("checkPushButton"), Qt::LeftButton);
        auto* list = dialog->findChild<QListWidget*>("checksListWidget");
        for (int i = 0; i < list->count(); ++i)
            shown << list->item(i)->text().section('\n', 0, 0);
        auto* install = dialog->findChild<QPushButton*>("installPushButton");
        installOffered = install->isEnabled();
        if (installOffered)
            QTest::mouseClick(install, Qt::LeftButton);
        else
            qobject_cast<QDialog*>(dialog)->reject();
    });
    QTest::mouseClick(open, Qt::LeftButton);
    QCOMPARE(shown, listed);
    QCOMPARE(installOffered, chain);
    if (chain) {
        QCOMPARE(readAll(path("OpcUa/pki/own/cert.pem")), readAll(ca("leaf.pem")));
        // The details show the chain up to the CA now in the issuers folder.
        CertificateDetailsDialog details(path("OpcUa/pki/own/cert.pem"), nullptr,
                                         {path("OpcUa/pki/issuers")});
        QVERIFY2(details.value("Chain").endsWith("\n/CN=Test CA"), qPrintable(details.value("Chain")));
    } else
        QCOMPARE(files(), before);
}

QTEST_MAIN(TestSignedInstall)
#include "tst_signed_install.moc"
