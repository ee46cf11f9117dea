#include "download/progress.h"

#include <QTest>

#include <cmath>

class TestProgress : public QObject {
    Q_OBJECT
private slots:
    void speed_data();
    void speed();
    void percentAndFill_data();
    void percentAndFill();
};

void TestProgress::speed_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<double>("speed");

    QTest::newRow("51200 bytes in 2000 ms") << qint64(51200) << qint64(2000) << 25.0;
    QTest::newRow("no time yet is not zero") << qint64(1024) << qint64(0) << 10000.0;
    QTest::newRow("half to even, down") << qint64(128) << qint64(10000) << 0.01; // 0.0125
    QTest::newRow("half to even, a tie") << qint64(128) << qint64(1000) << 0.12; // 0.125
    // 16384.0001 s is 16384 exactly as a float: the speed is exactly 0.125.
    QTest::newRow("an exact tie") << qint64(2097152) << qint64(16384000) << 0.12;
    QTest::newRow("a crawl") << qint64(1) << qint64(60000) << 0.0;
    QTest::newRow("fast") << qint64(1048576) << qint64(500) << 2047.59;
    // Restarts from the first byte add up: past 2^31 bytes the count goes on, never negative.
    QTest::newRow("past 2^31 bytes") << (qint64(1) << 31) + 1024 << qint64(1000000) << 2097.15;
}

void TestProgress::speed()
{
    QFETCH(qint64, received);
    QFETCH(qint64, elapsedMs);
    QFETCH(double, speed);
    const float seconds = elapsedSeconds(elapsedMs);
    QVERIFY(seconds > 0);
    QCOMPARE(speedKbPerSecond(received, seconds), speed);
}

void TestProgress::percentAndFill_data()
{
    QTest::addColumn<int>("received");
    QTest::addColumn<int>("total");
    QTest::addColumn<double>("percent");
    QTest::addColumn<float>("fill");

    QTest::newRow("start") << 0 << 3700 << 0.0 << 0.0f;
    QTest::newRow("half") << 1850 << 3700 << 50.0 << 2887.5f;
    QTest::newRow("rounds down") << 3699 << 3700 << 99.0 << 5773.439f;
    QTest::newRow("done") << 3700 << 3700 << 100.0 << 5775.0f;
    QTest::newRow("large file") << 268435455 << 268435456 << 99.0 << 5775.0f;
}

void TestProgress::percentAndFill()
{
    QFETCH(int, received);
    QFETCH(int, total);
    QFETCH(double, percent);
    QFETCH(float, fill);
    QCOMPARE(percentDone(received, total), percent);
    QCOMPARE(fillWidth(received, total, 5775.0), fill);
}

QTEST_APPLESS_MAIN(TestProgress)
#include "tst_progress.moc"
