// Certificates and CRLs for tests, made by the real openssl tool in a folder of the test's own.
#pragma once

#include <QtTest>

class TestCertificates
{
public:
    explicit TestCertificates(const QString& folder) : m_dir(folder)
    {
        QDir().mkpath(folder);
        write("req.cnf",
              "[req]\ndistinguished_name = dn\n[dn]\n"
              "[plain]\nbasicConstraints = critical, CA:FALSE\n"
              "[ca]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n");
    }

    // A self-signed certificate (CA or not) with CN (any UTF-8) and URI, PEM or DER; its path, empty on
    // failure.
    QString make(const QString& file, const QString& cn, bool ca = false, bool der = false,
                 const QString& uri = QString(), const QStringList& more = {})
    {
        QStringList args =
            QString("req -x509 -config req.cnf -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                    "-nodes -utf8 -days 30")
                .split(' ');
        args << "-extensions" << (ca ? "ca" : "plain") << "-subj"
             << "/CN=" + cn << "-keyout" << file + ".key"
             << "-out" << file << more;
        if (!uri.isEmpty())
            args << "-addext"
                 << "subjectAltName = URI:" + uri;
        if (der)
            args << "-outform"
                 << "DER";
        return run(args) ? m_dir + '/' + file : QString();
    }

    // A CRL (PEM) issued by the CA certificate made as caFile; lastUpdate as YYYYMMDDHHMMSSZ, else now.
    QString crl(const QString& file, const QString& caFile, const QString& lastUpdate = QString())
    {
        write("index.txt", "");
        write("crlnumber", "01\n");
        write("ca.cnf", "[ca]\ndefault_ca = own\n[own]\ndatabase = index.txt\ncrlnumber = crlnumber\n"
                        "default_md = sha256\ndefault_crl_days = 30\n");
        QStringList args{"ca",    "-gencrl", "-config", "ca.cnf", "-keyfile", caFile + ".key",
                         "-cert", caFile,    "-out",    file};
        if (!lastUpdate.isEmpty())
            args << "-crl_lastupdate" << lastUpdate;
        return run(args) ? m_dir + '/' + file : QString();
    }

    // The SHA-1 thumbprint openssl reports, 40 upper-case hex digits.
    QString thumbprint(const QString& path, bool der = false, bool crl = false)
    {
        QProcess process;
        process.start("openssl", {crl ? "crl" : "x509", "-in", path, "-inform", der ? "DER" : "PEM", "-noout",
                                  "-fingerprint", "-sha1"});
        process.waitForFinished(60000);
        return QString(process.readAllStandardOutput()).section('=', 1).trimmed().remove(':').toUpper();
    }

private:
    bool run(const QStringList& args)
    {
        QProcess process;
        process.setWorkingDirectory(m_dir);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("openssl", args);
        const bool ok = process.waitForFinished(60000) && process.exitCode() == 0;
        if (!ok)
            qWarning() << "openssl" << args << process.readAll();
        return ok;
    }
    void write(const QString& name, const QByteArray& data)
    {
        QFile file(m_dir + '/' + name);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(data);
    }

    QString m_dir;
};
