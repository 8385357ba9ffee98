#include "CMD5.h"
#include "OSFile.h"

#include <QTemporaryDir>
#include <QtTest>

class TestMoxH : public QObject
{
    Q_OBJECT

private slots:
    void md5DigestsTheBlockAsOneMessage();
    void fileReadsBackWhatWasWritten();
    void openExistingFailsForMissingFile();
};

static QByteArray digest(const QByteArray& block)
{
    MD5 md5;
    md5.Clear();
    XBYTE out[16];
    if (md5.Encrypt(reinterpret_cast<const XBYTE*>(block.constData()), out) != 0)
        return {};
    return QByteArray(reinterpret_cast<const char*>(out), 16).toHex();
}

void TestMoxH::md5DigestsTheBlockAsOneMessage()
{
    // Made with: printf 'a%.0s' $(seq 64) | openssl md5; head -c 64 /dev/zero | openssl md5
    QCOMPARE(digest(QByteArray(64, 'a')), QByteArray("014842d480b571495a4a0363793f7367"));
    QCOMPARE(digest(QByteArray(64, '\0')), QByteArray("3b5d3c7d207e37dceeedd301e35e2e58"));
    MD5 md5;
    QCOMPARE(md5.GetBlockSize(true), 64);
    QCOMPARE(md5.GetBlockSize(false), 16);
    QCOMPARE(int(md5.GetCipherType()), 32);
    DBlockCipher base(1, 2, 3);
    QCOMPARE(int(base.Decrypt(nullptr, nullptr)), -105);
    QCOMPARE(int(base.GetStreamSize(false)), 0);
}

void TestMoxH::fileReadsBackWhatWasWritten()
{
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("f").toLocal8Bit();
    QByteArray data;
    for (int i = 0; i < 100000; ++i)
        data.append(char('a' + i % 26));
    {
        OSFile file(path.constData());
        QVERIFY(file.Open(OSFileWrite, OSTruncateAlways));
        for (int done = 0; done < data.size();) {
            int count = 0;
            const int piece = std::min(200, data.size() - done);
            QVERIFY(file.Write(data.data() + done, piece, &count));
            QCOMPARE(count, piece);
            done += count;
        }
        QVERIFY(file.Flush());
    }
    OSFile file(path.constData());
    QVERIFY(file.Open(OSFileRead, OSOpenExisting));
    QByteArray back;
    char buf[200];
    int count = 0;
    while (file.Read(buf, 200, &count) && count > 0)
        back.append(buf, count);
    QCOMPARE(back, data);
}

void TestMoxH::openExistingFailsForMissingFile()
{
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("missing").toLocal8Bit();
    OSFile file(path.constData());
    QVERIFY(!file.Open(OSFileRead, OSOpenExisting));
    QCOMPARE(QByteArray(file.GetPathName()), path);
    file.Close();
    QVERIFY(!QFile::exists(dir.filePath("missing")));
}

QTEST_GUILESS_MAIN(TestMoxH)
#include "tst_mox_h.moc"
