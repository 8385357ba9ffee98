#include "core/trustStore.h"

#include "testCertificates.h"

#include <QtTest>

#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using Kind = TrustStore::Kind;
using Folder = TrustStore::Folder;

class TestTrustStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;
    std::unique_ptr<TestCertificates> m_make;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_plainPem, m_plainDer, m_ca, m_crl;

    // node-opcua's layout.
    TrustStore::Folders folders() const
    {
        const QString pki = m_dir->filePath("pki");
        return {pki + "/trusted/certs", pki + "/issuers/certs", pki + "/issuers/crl", pki + "/rejected"};
    }
    QString in(Folder folder, const QString& name) const { return folders().path(folder) + '/' + name; }
    static void copy(const QString& from, const QString& to) { QVERIFY(QFile::copy(from, to)); }
    static QList<TrustStore::Entry> named(const QList<TrustStore::Entry>& all, const QString& fileName)
    {
        QList<TrustStore::Entry> found;
        for (const auto& entry : all)
            if (entry.fileName == fileName)
                found << entry;
        return found;
    }

private slots:
    void initTestCase()
    {
        m_make = std::make_unique<TestCertificates>(m_certs.path());
        m_plainPem = m_make->make("plain.pem", "Client A", false, false, "urn:test:a");
        m_plainDer = m_make->make("plain.der", "Client\\/B", false, true);
        m_ca = m_make->make("ca.pem", "Partner CA", true);
        m_crl = m_make->crl("partner.crl", "ca.pem");
        QVERIFY(!m_plainPem.isEmpty() && !m_plainDer.isEmpty() && !m_ca.isEmpty() && !m_crl.isEmpty());
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        const auto f = folders();
        for (Folder folder : {Folder::Trusted, Folder::Issuers, Folder::Revocation, Folder::Rejected})
            QVERIFY(QDir().mkpath(f.path(folder)));
    }

    // What each file is, and that a file which is none of them is listed with its reason and left alone.
    void listing()
    {
        copy(m_plainPem, in(Folder::Rejected, "a.pem"));
        copy(m_plainDer, in(Folder::Trusted, "b.der"));
        copy(m_ca, in(Folder::Issuers, "ca.pem"));
        copy(m_crl, in(Folder::Revocation, "partner.crl"));
        QFile notes(in(Folder::Trusted, "notes.txt"));
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("not a certificate") > 0);
        notes.close();
        QFile big(in(Folder::Trusted, "big.der"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(TrustStore::s_maxFileSize + 1));
        big.close();
        Problems problems;
        const auto all = TrustStore(folders()).list(&problems);
        QVERIFY(problems.isEmpty());
        QCOMPARE(all.size(), 6);

        const auto a = named(all, "a.pem").value(0);
        QCOMPARE(a.folder, Folder::Rejected);
        QCOMPARE(a.kind, Kind::Certificate);
        QCOMPARE(a.name, QString("Client A"));
        QCOMPARE(a.uri, QString("urn:test:a"));
        QCOMPARE(a.thumbprint, m_make->thumbprint(m_plainPem));
        QVERIFY(a.validUntil > QDateTime::currentDateTimeUtc().addDays(29));
        QCOMPARE(named(all, "b.der").value(0).thumbprint, m_make->thumbprint(m_plainDer, true));
        QCOMPARE(named(all, "ca.pem").value(0).kind, Kind::CaCertificate);
        const auto crl = named(all, "partner.crl").value(0);
        QCOMPARE(crl.kind, Kind::Crl);
        QCOMPARE(crl.name, QString("Partner CA"));
        QCOMPARE(crl.thumbprint, m_make->thumbprint(m_crl, false, true));
        const auto notesEntry = named(all, "notes.txt").value(0);
        QCOMPARE(notesEntry.kind, Kind::Unreadable);
        QVERIFY2(notesEntry.reason.contains("Neither"), qPrintable(notesEntry.reason));
        QVERIFY2(named(all, "big.der").value(0).reason.contains("larger than 1 MB"),
                 qPrintable(named(all, "big.der").value(0).reason));
        QVERIFY(QFile::exists(notes.fileName()));
    }

    void moves_data()
    {
        QTest::addColumn<bool>("trust"); // else reject
        QTest::addColumn<bool>("clash"); // a different file of the same name waits in the target
        QTest::newRow("trust") << true << false;
        QTest::newRow("reject") << false << false;
        QTest::newRow("trust onto a name taken") << true << true;
        QTest::newRow("reject onto a name taken") << false << true;
    }
    void moves()
    {
        QFETCH(bool, trust);
        QFETCH(bool, clash);
        const Folder from = trust ? Folder::Rejected : Folder::Trusted;
        const Folder to = trust ? Folder::Trusted : Folder::Rejected;
        copy(m_plainPem, in(from, "c.pem"));
        if (clash)
            copy(m_ca, in(to, "c.pem"));
        const TrustStore store(folders());
        QList<TrustStore::Entry> entries;
        for (const auto& entry : named(store.list(), "c.pem"))
            if (entry.folder == from)
                entries << entry;
        QCOMPARE(entries.size(), 1);
        const auto result = trust ? store.trust(entries) : store.reject(entries);
        QCOMPARE(result.ok, !clash);
        QCOMPARE(result.changed, !clash);
        QCOMPARE(QFile::exists(in(from, "c.pem")), clash);
        QCOMPARE(m_make->thumbprint(in(to, "c.pem")), m_make->thumbprint(clash ? m_ca : m_plainPem));
        if (clash)
            QVERIFY2(result.problems.first().detail.contains("already holds"),
                     qPrintable(result.problems.first().text()));
    }

    // Across file systems the file is copied, synced, then the original removed.
    void moveAcrossFileSystems()
    {
        if (::mount("tmpfs", QFile::encodeName(folders().trusted).constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("mounting is not permitted here");
        copy(m_plainDer, in(Folder::Rejected, "d.der"));
        const TrustStore store(folders());
        const auto result = store.trust(named(store.list(), "d.der"));
        const QString moved = m_make->thumbprint(in(Folder::Trusted, "d.der"), true);
        const bool gone = !QFile::exists(in(Folder::Rejected, "d.der"));
        ::umount2(QFile::encodeName(folders().trusted).constData(), MNT_DETACH);
        QVERIFY2(result.ok, qPrintable(result.problems.value(0).text()));
        QCOMPARE(moved, m_make->thumbprint(m_plainDer, true));
        QVERIFY(gone);
    }

    // A link is moved or removed itself; what it points to never moves and never goes.
    void symbolicLink()
    {
        const QString target = m_dir->filePath("outside.pem");
        copy(m_plainPem, target);
        QVERIFY(QFile::link(target, in(Folder::Rejected, "link.pem")));
        const TrustStore store(folders());
        const auto linked = named(store.list(), "link.pem");
        QCOMPARE(linked.size(), 1);
        QVERIFY(linked.first().link);
        QCOMPARE(linked.first().kind, Kind::Certificate);
        QVERIFY(store.trust(linked).ok);
        QCOMPARE(QFileInfo(in(Folder::Trusted, "link.pem")).symLinkTarget(), target);
        QVERIFY(store.remove(named(store.list(), "link.pem")).ok);
        QVERIFY(!QFileInfo(in(Folder::Trusted, "link.pem")).isSymLink());
        QCOMPARE(m_make->thumbprint(target), m_make->thumbprint(m_plainPem));
    }

    // Without the right to write the trust list the move fails with the reason and nothing is lost.
    void readOnlyFolder()
    {
        QVERIFY(QFile::setPermissions(m_dir->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                         QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                         QFileDevice::ExeOther));
        copy(m_plainPem, in(Folder::Rejected, "e.pem"));
        QVERIFY(::chown(QFile::encodeName(folders().rejected).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(folders().trusted).constData(), 0555) == 0);
        int channel[2];
        QVERIFY(::pipe(channel) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(channel[0]);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(2);
            const TrustStore store(folders());
            const auto result = store.trust(named(store.list(), "e.pem"));
            const QByteArray text = result.problems.value(0).text().toUtf8();
            ::write(channel[1], text.constData(), size_t(text.size()));
            ::_exit(result.ok ? 1 : 0);
        }
        ::close(channel[1]);
        char buffer[1024] = {};
        const ssize_t n = ::read(channel[0], buffer, sizeof buffer - 1);
        ::close(channel[0]);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, buffer);
        QVERIFY2(n > 0 && QString(buffer).contains("Permission denied"), buffer);
        QVERIFY(QString(buffer).contains("e.pem"));
        QCOMPARE(m_make->thumbprint(in(Folder::Rejected, "e.pem")), m_make->thumbprint(m_plainPem));
        QVERIFY(!QFile::exists(in(Folder::Trusted, "e.pem")));
    }

    void import_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("folder");
        QTest::addColumn<QString>("name"); // %1 the thumbprint
        QTest::newRow("PEM certificate") << "plain.pem" << int(TrustStore::Target::ByContent)
                                         << int(Folder::Trusted) << "Client A [%1].pem";
        QTest::newRow("DER certificate, CN with a slash") << "plain.der" << int(TrustStore::Target::ByContent)
                                                          << int(Folder::Trusted) << "Client_B [%1].der";
        QTest::newRow("CA") << "ca.pem" << int(TrustStore::Target::ByContent) << int(Folder::Issuers)
                            << "Partner CA [%1].pem";
        QTest::newRow("CRL") << "partner.crl" << int(TrustStore::Target::ByContent) << int(Folder::Revocation)
                             << "partner.crl";
        QTest::newRow("CA into the trust list")
            << "ca.pem" << int(TrustStore::Target::Trusted) << int(Folder::Trusted) << "Partner CA [%1].pem";
        QTest::newRow("certificate among the issuers")
            << "plain.pem" << int(TrustStore::Target::Issuers) << int(Folder::Issuers) << "Client A [%1].pem";
    }
    void import()
    {
        QFETCH(QString, source);
        QFETCH(int, target);
        QFETCH(int, folder);
        QFETCH(QString, name);
        const QString path = m_certs.filePath(source);
        const bool der = source.endsWith(".der");
        const QString thumbprint = m_make->thumbprint(path, der, source.endsWith(".crl"));
        // New files take the folder's owner and group, whoever imports them.
        QVERIFY(::chown(QFile::encodeName(folders().path(Folder(folder))).constData(), 65534, 65534) == 0);
        const TrustStore store(folders());
        QStringList written;
        auto result = store.importFiles({path}, TrustStore::Target(target), &written);
        QVERIFY2(result.ok, qPrintable(result.problems.value(0).text()));
        const QString expected = in(Folder(folder), name.contains("%1") ? name.arg(thumbprint) : name);
        QCOMPARE(written, QStringList{expected});
        QCOMPARE(m_make->thumbprint(expected, der, source.endsWith(".crl")), thumbprint);
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(expected).constData(), &st) == 0);
        QVERIFY(st.st_uid == 65534 && st.st_gid == 65534 && (st.st_mode & 07) == 0);
        // Again: the same bytes are there already, so nothing changes and nothing fails.
        result = store.importFiles({path}, TrustStore::Target(target));
        QVERIFY(result.ok && !result.changed && result.warnings.size() == 1);
        QCOMPARE(store.list().size(), 1);
    }

    void importRefused()
    {
        const QString notes = m_dir->filePath("notes.crl");
        QFile file(notes);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("-----BEGIN X509 CRL-----\nbroken\n") > 0);
        file.close();
        copy(m_plainPem, in(Folder::Revocation, "partner.crl")); // a different file under the CRL's name
        const auto result = TrustStore(folders()).importFiles({notes, m_crl}, TrustStore::Target::ByContent);
        QVERIFY(!result.ok && !result.changed);
        QCOMPARE(result.problems.size(), 2);
        QVERIFY(result.problems[0].message.contains("notes.crl"));
        QVERIFY2(result.problems[1].detail.contains("already holds another file"),
                 qPrintable(result.problems[1].text()));
        QCOMPARE(m_make->thumbprint(in(Folder::Revocation, "partner.crl")), m_make->thumbprint(m_plainPem));
    }

    // A later CRL of the same issuer replaces the one of its name; an earlier one does not.
    void crlUpdate()
    {
        QVERIFY(QDir(m_certs.path()).mkpath("older"));
        const QString older = m_make->crl("older/partner.crl", "ca.pem", "20250101000000Z");
        QVERIFY(!older.isEmpty());
        const TrustStore store(folders());
        QVERIFY(store.importFiles({older}, TrustStore::Target::ByContent).ok);
        const QString path = in(Folder::Revocation, "partner.crl");
        QCOMPARE(m_make->thumbprint(path, false, true), m_make->thumbprint(older, false, true));
        ActionResult result = store.importFiles({m_crl}, TrustStore::Target::ByContent);
        QVERIFY(result.ok && result.changed);
        QCOMPARE(m_make->thumbprint(path, false, true), m_make->thumbprint(m_crl, false, true));
        result = store.importFiles({older}, TrustStore::Target::ByContent);
        QVERIFY(!result.ok && !result.changed);
        QCOMPARE(m_make->thumbprint(path, false, true), m_make->thumbprint(m_crl, false, true));
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("cn");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "MOX-OPC_UA@host"
                               << "MOX-OPC_UA@host [AB].der";
        QTest::newRow("separators") << "a/b\\c"
                                    << "a_b_c [AB].der";
        QTest::newRow("control and NUL") << QString("x\ny") + QChar(0) << "x_y_ [AB].der";
        QTest::newRow("hidden") << "..x"
                                << "_.x [AB].der";
        QTest::newRow("empty") << ""
                               << "certificate [AB].der";
    }
    void fileNames()
    {
        QFETCH(QString, cn);
        QFETCH(QString, expected);
        QCOMPARE(TrustStore::fileNameFor(cn, "AB", true), expected);
    }
};

QTEST_GUILESS_MAIN(TestTrustStore)
#include "tst_truststore.moc"
