#include "core/trustStore.h"

#include "testCertificates.h"
#include "testFiles.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
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
        QVERIFY(writeFile(in(Folder::Trusted, "notes.txt"), "not a certificate"));
        QVERIFY(writeFile(in(Folder::Trusted, "big.der"), "") &&
                QFile::resize(in(Folder::Trusted, "big.der"), TrustStore::s_maxFileSize + 1));
        Problems problems;
        const auto all = TrustStore(folders()).list(&problems);
        QVERIFY(problems.isEmpty());
        QCOMPARE(all.size(), 6);

        const auto a = named(all, "a.pem").value(0);
        QVERIFY(a.folder == Folder::Rejected && a.kind == Kind::Certificate);
        QCOMPARE(QStringList({a.name, a.uri, a.thumbprint}),
                 QStringList({"Client A", "urn:test:a", m_make->thumbprint(m_plainPem)}));
        QVERIFY(a.validUntil > QDateTime::currentDateTimeUtc().addDays(29));
        QCOMPARE(named(all, "b.der").value(0).thumbprint, m_make->thumbprint(m_plainDer, true));
        QCOMPARE(named(all, "ca.pem").value(0).kind, Kind::CaCertificate);
        const auto crl = named(all, "partner.crl").value(0);
        QVERIFY(crl.kind == Kind::Crl);
        QCOMPARE(QStringList({crl.name, crl.thumbprint}),
                 QStringList({"Partner CA", m_make->thumbprint(m_crl, false, true)}));
        const auto notesEntry = named(all, "notes.txt").value(0);
        QCOMPARE(notesEntry.kind, Kind::Unreadable);
        QVERIFY2(notesEntry.reason.contains("Neither"), qPrintable(notesEntry.reason));
        QVERIFY2(named(all, "big.der").value(0).reason.contains("larger than 1 MB"),
                 qPrintable(named(all, "big.der").value(0).reason));
        QVERIFY(QFile::exists(in(Folder::Trusted, "notes.txt")));
    }

    // Many files on several threads, each with its own library context, list as one loop lists them: every
    // kind, links, what is no regular file, names that are no UTF-8, and a certificate whose extension is
    // malformed (still a certificate, as libcrypto's plain decoding has it).
    void parallelListing()
    {
        const QString rejected = folders().rejected;
        const QString badExtension = m_make->make("bad.pem", "Bad extension", false, false, QString(),
                                                  {"-addext", "basicConstraints = critical, DER:30:03:01"});
        QVERIFY(!badExtension.isEmpty());
        const QString sources[] = {m_plainPem, m_plainDer, m_ca, m_crl, badExtension};
        for (int i = 0; i < 60; ++i)
            copy(sources[i % 5],
                 rejected + QString("/%1-%2").arg(i).arg(QFileInfo(sources[i % 5]).fileName()));
        QVERIFY(writeFile(in(Folder::Trusted, "notes.txt"), "-----BEGIN CERTIFICATE-----\nx"));
        const QByteArray base = QFile::encodeName(rejected) + '/';
        QVERIFY(::symlink("0-plain.pem", (base + "link.pem").constData()) == 0);
        QVERIFY(::mkfifo((base + "fifo.pem").constData(), 0600) == 0);
        QVERIFY(::link((base + "1-plain.der").constData(), (base + "caf\xe9.der").constData()) == 0);
        auto text = [](const QList<TrustStore::Entry>& entries) {
            QStringList lines;
            for (const auto& e : entries) {
                QStringList fields{QString::number(int(e.folder)), QString::number(int(e.kind)), e.name,
                                   e.uri};
                fields << e.validUntil.toString(Qt::ISODate) << e.thumbprint << e.fileName
                       << e.nameBytes().toHex() << e.path << e.reason << QString::number(e.link)
                       << e.linkTarget;
                lines << fields.join('|');
            }
            return lines;
        };
        TrustStore store(folders());
        store.setThreads(1);
        const auto oneThread = store.list();
        store.setThreads(4);
        const auto listed = store.list();
        QCOMPARE(text(listed), text(oneThread));
        // Each file as a full parse of its bytes has it.
        QList<TrustStore::Entry> parsed;
        for (const auto& entry : listed) {
            if (entry.link || entry.reason == "Not a regular file.") {
                parsed << entry;
                continue;
            }
            std::ifstream file(entry.pathBytes().constData(), std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            parsed << TrustStore::inspect(QByteArray::fromStdString(bytes));
            parsed.last().folder = entry.folder;
            parsed.last().fileName = entry.fileName;
            parsed.last().fileNameBytes = entry.fileNameBytes;
            parsed.last().path = entry.path;
        }
        QCOMPARE(text(listed), text(parsed));
        QCOMPARE(listed.size(), 64);
        QCOMPARE(text(listed).filter("3|0|Bad extension|").size(), 12);
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
        QVERIFY(result.ok == !clash && result.changed == !clash);
        QCOMPARE(QFile::exists(in(from, "c.pem")), clash);
        QCOMPARE(m_make->thumbprint(in(to, "c.pem")), m_make->thumbprint(clash ? m_ca : m_plainPem));
        if (clash)
            QVERIFY2(result.problems.first().detail.contains("already holds"),
                     qPrintable(result.problems.first().text()));
    }

    // A link is listed with its target, never read, never moved; removing it takes the link itself.
    void symbolicLink()
    {
        const QString target = m_dir->filePath("outside.pem");
        copy(m_plainPem, target);
        QVERIFY(QFile::link(target, in(Folder::Rejected, "link.pem")));
        const TrustStore store(folders());
        const auto linked = named(store.list(), "link.pem");
        QCOMPARE(linked.size(), 1);
        QVERIFY(linked.first().link && linked.first().thumbprint.isEmpty());
        QCOMPARE(linked.first().linkTarget, target);
        const auto result = store.trust(linked);
        QVERIFY(!result.ok && result.problems.value(0).detail.contains("symbolic link"));
        QVERIFY(!QFileInfo::exists(in(Folder::Trusted, "link.pem")));
        QVERIFY(store.remove(linked).ok && !QFileInfo(in(Folder::Rejected, "link.pem")).isSymLink());
        QCOMPARE(m_make->thumbprint(target), m_make->thumbprint(m_plainPem));
    }

    // A key of hex digits names a thumbprint, never a file: a file named like the legit certificate's
    // thumbprint (or its prefix) but holding another one must not stand in for it. A path still names it.
    void thumbprintKeys_data()
    {
        QTest::addColumn<int>("length"); // of the thumbprint in the planted file's name
        QTest::addColumn<bool>("byPath");
        QTest::newRow("named like the thumbprint") << 40 << false;
        QTest::newRow("named like its prefix") << 8 << false;
        QTest::newRow("named by its path") << 8 << true;
    }
    void thumbprintKeys()
    {
        QFETCH(int, length);
        QFETCH(bool, byPath);
        const QString legit = m_make->thumbprint(m_plainDer, true);
        copy(m_plainDer, in(Folder::Rejected, "Legit Panel [" + legit + "].der"));
        copy(m_plainPem, in(Folder::Rejected, legit.left(length)));
        const auto all = TrustStore(folders()).list();
        QString error;
        const auto* found = TrustStore::find(
            all, byPath ? in(Folder::Rejected, legit.left(length)) : legit.left(length), &error);
        QVERIFY2(found, qPrintable(error));
        QCOMPARE(found->thumbprint, byPath ? m_make->thumbprint(m_plainPem) : legit);
    }

    // A writer of the rejected folder keeps swapping the file while it is trusted: the trust list only ever
    // gets the bytes that were listed, or nothing, with the reason.
    void swappingWriter()
    {
        const QString attacker = m_make->make("attacker.der", "Legit Panel", false, true);
        const QByteArray contents[] = {readFile(m_plainDer), readFile(attacker)};
        const QString name = "Legit Panel [T].der";
        const QByteArray rejected = QFile::encodeName(in(Folder::Rejected, name));
        QVERIFY(writeFile(in(Folder::Rejected, name), contents[0]));
        const TrustStore store(folders());
        const auto listed = named(store.list(), name);
        QCOMPARE(listed.size(), 1);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            QFile file(m_dir->filePath("spare-w"));
            for (int i = 0; !stop; ++i) {
                file.open(QIODevice::WriteOnly);
                file.write(contents[i % 2]);
                file.close();
                ::rename(QFile::encodeName(file.fileName()).constData(), rejected.constData());
            }
        });
        int trusted = 0; // a refusal may also find the name free: the writer had not put a file back yet
        QStringList wrong;
        for (int round = 0; round < 200 && wrong.isEmpty(); ++round) {
            const auto result = store.trust(listed);
            QFile moved(in(Folder::Trusted, name));
            if (moved.open(QIODevice::ReadOnly) && moved.readAll() != contents[0])
                wrong << QString("round %1: another certificate was trusted").arg(round);
            else if (result.ok != moved.exists() ||
                     (!result.ok &&
                      !result.problems.value(0).detail.contains("changed since it was listed") &&
                      !result.problems.value(0).detail.contains(std::strerror(ENOENT))))
                wrong << QString("round %1: %2").arg(round).arg(result.problems.value(0).text());
            trusted += result.ok;
            moved.remove();
        }
        stop = true;
        writer.join();
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join('\n')));
        QVERIFY(trusted > 0);
    }

    // What a killed move left aside is put back by the next listing, under another visible name when its
    // own was taken meanwhile, or dropped when the move had already written it into the other folder;
    // temporaries of dead writers go.
    void leftoversOfDeadRuns()
    {
        const pid_t dead = ::fork();
        if (dead == 0)
            ::_exit(0);
        QCOMPARE(::waitpid(dead, nullptr, 0), dead);
        const QString pid = QString::number(dead);
        copy(m_plainDer, in(Folder::Rejected, ".Panel.der." + pid + ".0123456789abcdef.aside"));
        copy(m_plainPem, in(Folder::Trusted, ".c.pem." + pid + ".00ff00ff00ff00ff.aside"));
        copy(m_ca, in(Folder::Trusted, "c.pem"));
        copy(m_ca, in(Folder::Issuers, ".ca.pem." + pid + ".00ff00ff00ff00ff.tmp"));
        copy(m_plainDer, in(Folder::Trusted, ".Moved.der." + pid + ".0123456789abcdef.aside"));
        copy(m_plainDer, in(Folder::Rejected, "Moved.der"));
        const auto all = TrustStore(folders()).list();
        QCOMPARE(named(all, "Panel.der").value(0).thumbprint, m_make->thumbprint(m_plainDer, true));
        QCOMPARE(named(all, "c.pem [aside 00ff00ff00ff00ff]").value(0).thumbprint,
                 m_make->thumbprint(m_plainPem));
        QCOMPARE(named(all, "Moved.der").size(), 1);
        QCOMPARE(all.size(), 4);
        QDirIterator hidden(m_dir->path(), QDir::Hidden | QDir::Files, QDirIterator::Subdirectories);
        while (hidden.hasNext())
            QVERIFY2(!hidden.next().contains("/."), qPrintable(hidden.filePath()));
    }

    // Without the right to write the trust list the move fails with the reason and nothing is lost.
    void readOnlyFolder()
    {
        QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0705) == 0);
        copy(m_plainPem, in(Folder::Rejected, "e.pem"));
        QVERIFY(::chown(QFile::encodeName(folders().rejected).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(folders().trusted).constData(), 0555) == 0);
        QVERIFY(inChild([&] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                return false;
            const TrustStore store(folders());
            const auto result = store.trust(named(store.list(), "e.pem"));
            const QString text = result.problems.value(0).text();
            const bool refused = !result.ok && text.contains("Permission denied") && text.contains("e.pem");
            std::fprintf(stderr, "%s", refused ? "" : qPrintable(text + '\n'));
            return refused;
        }));
        QCOMPARE(m_make->thumbprint(in(Folder::Rejected, "e.pem")), m_make->thumbprint(m_plainPem));
        QVERIFY(!QFile::exists(in(Folder::Trusted, "e.pem")));
    }

    void import_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("folder");
        QTest::addColumn<QString>("name"); // %1 the thumbprint
        const auto row = [](const char* tag, const char* source, TrustStore::Target target, Folder folder,
                            const char* name) {
            QTest::newRow(tag) << source << int(target) << int(folder) << name;
        };
        const auto byContent = TrustStore::Target::ByContent;
        row("PEM certificate", "plain.pem", byContent, Folder::Trusted, "Client A [%1].pem");
        row("DER certificate, CN with a slash", "plain.der", byContent, Folder::Trusted, "Client_B [%1].der");
        row("CA", "ca.pem", byContent, Folder::Issuers, "Partner CA [%1].pem");
        row("CRL", "partner.crl", byContent, Folder::Revocation, "partner.crl");
        row("CA into the trust list", "ca.pem", TrustStore::Target::Trusted, Folder::Trusted,
            "Partner CA [%1].pem");
        row("certificate among the issuers", "plain.pem", TrustStore::Target::Issuers, Folder::Issuers,
            "Client A [%1].pem");
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
        const QFileInfo info(expected);
        QVERIFY(info.ownerId() == 65534 && info.groupId() == 65534 && (fileMode(expected) & 07) == 0);
        // Again: the same bytes are there already, so nothing changes and nothing fails.
        result = store.importFiles({path}, TrustStore::Target(target));
        QVERIFY(result.ok && !result.changed && result.warnings.size() == 1);
        QCOMPARE(store.list().size(), 1);
    }

    void importRefused()
    {
        const QString notes = m_dir->filePath("notes.crl");
        QVERIFY(writeFile(notes, "-----BEGIN X509 CRL-----\nbroken\n"));
        copy(m_plainPem, in(Folder::Revocation, "partner.crl")); // a different file under the CRL's name
        const auto result = TrustStore(folders()).importFiles({notes, m_crl}, TrustStore::Target::ByContent);
        QVERIFY(!result.ok && !result.changed);
        QCOMPARE(result.problems.size(), 2);
        QVERIFY(result.problems[0].message.contains("notes.crl"));
        QVERIFY2(result.problems[1].detail.contains("already holds another file"),
                 qPrintable(result.problems[1].text()));
        QCOMPARE(m_make->thumbprint(in(Folder::Revocation, "partner.crl")), m_make->thumbprint(m_plainPem));
    }

    // Only the parsed certificate or CRL is written, never a key beside it; names are never hidden and fit.
    void importOnlyTheObject_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("after");    // a file appended to the CRL, "" for none
        QTest::addColumn<QString>("expected"); // the name written; "" refused
        const auto row = [](const char* tag, const QString& source, const char* before, const char* after,
                            const char* expected) {
            QTest::newRow(tag) << source << QByteArray(before) << after << expected;
        };
        row("CRL and a private key", "bundle.crl", "", "ca.pem.key", "");
        row("CRL among other text", "notes.crl", "notes\n", "ca.pem", "notes.crl");
        row("hidden name", ".hidden.crl", "", "", "_hidden.crl");
        row("240 characters", QString(236, 'x') + ".crl", "", "", "[%1].crl");
    }
    void importOnlyTheObject()
    {
        QFETCH(QString, source);
        QFETCH(QByteArray, before);
        QFETCH(QString, after);
        QFETCH(QString, expected);
        const QByteArray list = readFile(m_crl);
        const QString file = m_dir->filePath(source);
        QVERIFY(writeFile(file, before + list +
                                    (after.isEmpty() ? QByteArray() : readFile(m_certs.filePath(after)))));
        const TrustStore store(folders());
        QStringList written;
        const auto result = store.importFiles({file}, TrustStore::Target::ByContent, &written);
        const auto all = store.list();
        if (expected.isEmpty()) {
            QVERIFY(!result.ok && result.problems.value(0).detail.contains("private key") && all.isEmpty());
            return;
        }
        QVERIFY2(result.ok, qPrintable(result.problems.value(0).text()));
        QCOMPARE(all.size(), 1);
        QVERIFY2(
            all[0].fileName.endsWith(expected.contains("%1") ? expected.arg(all[0].thumbprint) : expected),
            qPrintable(all[0].fileName));
        QCOMPARE(written, QStringList{all[0].path});
        QCOMPARE(readFile(all[0].path), list);
        QVERIFY(store.remove(all).ok && store.list().isEmpty());
    }

    // A name that is no UTF-8 is listed, moved and removed by its bytes.
    void nonUtf8Name()
    {
        const QByteArray name("caf\xe9 [\x80].der");
        const QString folder = folders().rejected;
        QVERIFY(::link(QFile::encodeName(m_plainDer).constData(),
                       (QFile::encodeName(folder) + '/' + name).constData()) == 0);
        const TrustStore store(folders());
        auto all = store.list();
        QCOMPARE(all.size(), 1);
        QVERIFY(all[0].nameLossy() && all[0].nameBytes() == name);
        QVERIFY2(store.trust(all).ok, qPrintable(store.trust(all).problems.value(0).text()));
        all = store.list();
        QCOMPARE(all.value(0).folder, Folder::Trusted);
        QCOMPARE(all.value(0).thumbprint, m_make->thumbprint(m_plainDer, true));
        QVERIFY(store.remove(all).ok && store.list().isEmpty());
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
        const auto row = [](const char* tag, const QString& cn, const QString& expected) {
            QTest::newRow(tag) << cn << expected + " [AB].der";
        };
        row("plain", "MOX-OPC_UA@host", "MOX-OPC_UA@host");
        row("separators", "a/b\\c", "a_b_c");
        row("control and NUL", QString("x\ny") + QChar(0), "x_y_");
        row("hidden", "..x", "_.x");
        row("empty", "", "certificate");
        // Cut whole: half of a surrogate pair is no character, and JSON parsers refuse it.
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        row("long emoji", "x" + emoji.repeated(40), "x" + emoji.repeated(37));
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
