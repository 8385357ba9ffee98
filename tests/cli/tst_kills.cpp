// Writers of moxsec killed at random moments: what they leave is either the old or the new file, whole, and
// the next run removes their temporaries.
#include "coreFixture.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <csignal>

class TestKills : public CoreFixture
{
    Q_OBJECT

    QProcess* start(const QStringList& arguments, const QByteArray& input)
    {
        auto* process = new QProcess(this);
        process->start(MOXSEC_PATH, QStringList{"--root", root()} + arguments);
        process->write(input);
        process->closeWriteChannel();
        return process;
    }
    // The configuration's lines, those of the two edited keys replaced by whether their value is one written.
    static QByteArrayList shape(const QByteArray& config, const QSet<QByteArray>& written)
    {
        QByteArrayList lines = config.split('\n');
        for (QByteArray& line : lines) {
            for (const QByteArray key : {"APPLICATION_URI=", "APPLICATION_PRIVATE_KEY_PASSWORD="}) {
                if (line.startsWith(key))
                    line =
                        key + (written.contains(line.mid(key.size())) ? "<written>" : line.mid(key.size()));
            }
        }
        return lines;
    }

private slots:
    void killedConfigEditsLeaveNoCopies()
    {
        const QString config = mox("OpcUa/MoxOpcUa.ini");
        QSet<QByteArray> written{"urn:MOX:UA:TestServer", ""};
        const QByteArrayList whole = shape(readAll(config), written);
        QElapsedTimer timer;
        timer.start();
        QProcess* full = start({"config", "set-uri", "urn:first"}, {});
        QVERIFY(full->waitForFinished(30000) && full->exitCode() == 0);
        const int runMs = int(timer.restart());
        written << "urn:first";
        QRandomGenerator random(quint32(QDateTime::currentMSecsSinceEpoch()));
        int round = 0;
        for (; round < 100 && timer.elapsed() < 15000; ++round) {
            const QByteArray value = "v" + QByteArray::number(round);
            written << "urn:" + value << value;
            QProcess* child = round % 2
                                  ? start({"config", "set-uri", "urn:" + value}, {})
                                  : start({"config", "set-passphrase", "--passphrase-stdin"}, value + "\n");
            QVERIFY(child->waitForStarted());
            QThread::usleep(ulong(random.bounded(runMs * 1000 + 1000)));
            ::kill(pid_t(child->processId()), SIGKILL);
            QVERIFY(child->waitForFinished());
            delete child;
            QCOMPARE(shape(readAll(config), written), whole);
        }
        QVERIFY(round >= 20);
        full = start({"config", "set-uri", "urn:last"}, {});
        QVERIFY(full->waitForFinished(30000) && full->exitCode() == 0);
        QVERIFY(readAll(config).contains("\nAPPLICATION_URI=urn:last\n"));
        const QStringList left =
            QDir(mox("OpcUa")).entryList({".*.tmp"}, QDir::Files | QDir::Hidden | QDir::System);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(' ')));
    }
};

QTEST_GUILESS_MAIN(TestKills)
#include "tst_kills.moc"
