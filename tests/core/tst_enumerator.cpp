// The installed runtime instances, below the core: tags, and the built-in instance at one address.
#include "MoxInstEnumerator.h"

#include <QtTest>

class TestEnumerator : public QObject
{
    Q_OBJECT

private slots:
    void enumerator()
    {
        MoxLInstEnumerator list;
        QVERIFY(list.Refresh());
        MoxInstInstance* first = list.GetActiveInstance();
        QVERIFY(list.Refresh() && list.Installs.size() == 1 && &list.Installs.front() == first);
        QVERIFY(list.GetActiveInstance() == first && first->Active && first->VerStrLong() == "2.50.9.10679 ");
        const MoxInstInstance tag("MOX_2_50_9_10679_" + std::string(40, 'p'));
        QVERIFY(tag.Valid && tag.VerPlatform == std::string(30, 'p'));
        QCOMPARE(tag.VerStrLong(), "2.50.9.10679 " + std::string(18, 'p')); // cut at 31 characters
        for (const char* invalid : {"MOX_1_2", "mox_1_2_3_4"})
            QVERIFY(!MoxInstInstance(invalid).Valid && MoxInstInstance(invalid).VerStrLong().empty());
    }
};

QTEST_GUILESS_MAIN(TestEnumerator)
#include "tst_enumerator.moc"
