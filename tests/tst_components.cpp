#include "MoxInstEnumerator.h"

#include <QtTest>

class TestComponents : public QObject
{
    Q_OBJECT

private slots:
    void tagsParse_data();
    void tagsParse();
    void refreshKeepsOneInstanceInPlace();
};

void TestComponents::tagsParse_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("longText");
    QTest::newRow("built-in") << "MOX_2_50_9_10679" << true << QList<int>{2, 50, 9, 10679} << ""
                              << "2.50.9.10679 ";
    QTest::newRow("platform") << "MOX_1_2_3_4_x86" << true << QList<int>{1, 2, 3, 4} << "x86"
                              << "1.2.3.4 x86";
    QTest::newRow("two numbers") << "MOX_1_2" << false << QList<int>{1, 2, -1, -1} << ""
                                 << "";
    QTest::newRow("lower-case prefix") << "mox_1_2_3_4" << false << QList<int>{-1, -1, -1, -1} << ""
                                       << "";
    QTest::newRow("long platform") << "MOX_1_2_3_4_" + QString(40, 'p') << true << QList<int>{1, 2, 3, 4}
                                   << QString(30, 'p') << "1.2.3.4 " + QString(23, 'p');
}

void TestComponents::tagsParse()
{
    QFETCH(QString, tag);
    QFETCH(bool, valid);
    QFETCH(QList<int>, numbers);
    QFETCH(QString, platform);
    QFETCH(QString, longText);
    MoxInstInstance instance(tag.toStdString());
    QCOMPARE(instance.Valid, valid);
    QCOMPARE(QString::fromStdString(instance.Version), tag);
    QCOMPARE((QList<int>{instance.VerMajor, instance.VerMinor, instance.VerRelease, instance.VerRevision}),
             numbers);
    QCOMPARE(QString::fromStdString(instance.VerPlatform), platform);
    QCOMPARE(QString::fromStdString(instance.VerStrLong()), longText);
    QCOMPARE(instance.VerStrUn().empty(), !valid);
    if (valid)
        QCOMPARE(QString::fromStdString(instance.VerStrUn()),
                 QString("%1_%2_%3_%4").arg(numbers[0]).arg(numbers[1]).arg(numbers[2]).arg(numbers[3]));
}

void TestComponents::refreshKeepsOneInstanceInPlace()
{
    MoxLInstEnumerator enumerator;
    QVERIFY(!enumerator.GetActiveInstance());
    QVERIFY(enumerator.Refresh());
    MoxInstInstance* first = enumerator.GetActiveInstance();
    QVERIFY(enumerator.Refresh());
    QCOMPARE(enumerator.Installs.size(), size_t(1));
    QCOMPARE(enumerator.GetActiveInstance(), first);
    QCOMPARE(&enumerator.Installs.front(), first);
    QVERIFY(first->Active && first->Latest && first->FullPath.empty());
    QCOMPARE(first->VerStrLong(), std::string("2.50.9.10679 "));
    QCOMPARE(first->OpcUaDefaultConfigPath, std::string("/mox/OpcUa/MoxOpcUa.ini"));
    QCOMPARE(first->OpensslDir, std::string("/mox/OpenSSL"));
    QCOMPARE(first->CoreDefaultConfigPath, std::string("/mox/moxcore/exec.mox"));
}

QTEST_GUILESS_MAIN(TestComponents)
#include "tst_components.moc"
