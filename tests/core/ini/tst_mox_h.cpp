#include "CMD5.h"
#include "OSFile.h"

#include <QtTest>

class TestMoxH : public QObject
{
    Q_OBJECT

private slots:
    void md5DigestsTheBlockAsOneMessage()
    {
        const QByteArray block(64, 'a');
        XBYTE out[16];
        MD5 md5;
        md5.Clear();
        QCOMPARE(int(md5.Encrypt(reinterpret_cast<const XBYTE*>(block.constData()), out)), 0);
        // Made with: printf 'a%.0s' $(seq 64) | openssl md5
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(out), 16).toHex(),
                 "014842d480b571495a4a0363793f7367");
    }

    // In 200-byte pieces through the file's own buffer, more than one buffer's worth.
    void fileReadsBackWhatWasWritten()
    {
        QTemporaryDir dir;
        const QByteArray path = dir.filePath("f").toLocal8Bit();
        QByteArray data, back;
        for (int i = 0; i < 100000; ++i)
            data.append(char('a' + i % 23));
        OSFile file(path.constData());
        QVERIFY(!file.Open(OSFileRead, OSOpenExisting) && file.Open(OSFileWrite, OSTruncateAlways));
        for (int done = 0, count = 0; done < data.size(); done += count)
            QVERIFY(file.Write(data.data() + done, std::min(200, int(data.size()) - done), &count) &&
                    count > 0);
        QVERIFY(file.Flush() && file.Open(OSFileRead, OSOpenExisting));
        char buf[200];
        for (int count = 0; file.Read(buf, 200, &count) && count > 0;)
            back.append(buf, count);
        QCOMPARE(back, data);
    }
};

QTEST_GUILESS_MAIN(TestMoxH)
#include "tst_mox_h.moc"
