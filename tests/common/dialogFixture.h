// Dialog and interop tests: a sample installation, the recording openssl, a certificate dialog on them.
#pragma once

#include "certificateDialog.h"
#include "formField.h"
#include "openSslRecorder.h"
#include "testFiles.h"

#include <QtTest>

class DialogFixture : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_form.reset();
        m_openssl.reset();
        m_dir.reset(new QTemporaryDir);
        const QString script = qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/scripts/install-sample.sh";
        QCOMPARE(QProcess::execute("bash", {script, m_dir->path()}), 0);
        m_openssl.reset(new OpenSslRecorder(m_dir->filePath("tool")));
        // The dialog remembers subject fields; each test starts without them.
        QSettings("MoxSecurityConfig", "MoxSecurityConfig").clear();
    }

protected:
    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static void write(const QString& path, const QByteArray& data = {})
    {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && writeFile(path, data));
    }
    QString mox(const QString& relative) const { return m_dir->filePath("mox/" + relative); }
    CertificateDialog* dialog(const QString& cert, const QString& key, QString password = {},
                              QString uri = {})
    {
        m_form.reset(
            new CertificateDialog(!cert.contains("moxcore"), mox("OpenSSL"), cert, key, password, uri));
        return fillSubject(m_form.get());
    }
    static CertificateDialog* fillSubject(CertificateDialog* form)
    {
        for (const char* name :
             {"organizationLineEdit", "localityLineEdit", "stateLineEdit", "countryLineEdit"})
            field<QLineEdit>(form, name)->setText("DE");
        return form;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<OpenSslRecorder> m_openssl;
    std::unique_ptr<CertificateDialog> m_form;
};
