#include "app/numbertext.h"

#include <QTest>

#include <limits>

class TestNumberText : public QObject {
    Q_OBJECT
private slots:
    void singlePrecision_data();
    void singlePrecision();
    void doublePrecision_data();
    void doublePrecision();
    void localeSeparatorOnlyInLocaleText();
};

void TestNumberText::singlePrecision_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("sign");

    QTest::newRow("one and a half") << 1.5f << "1.5"
                                    << " 1.5";
    QTest::newRow("below one keeps its zero") << 0.5f << "0.5"
                                              << " 0.5";
    QTest::newRow("whole number has no point") << 1500.0f << "1500"
                                               << " 1500";
    QTest::newRow("negative") << -3.0f << "-3"
                              << "-3";
    QTest::newRow("zero") << 0.0f << "0"
                          << " 0";
    QTest::newRow("negative zero is zero") << -0.0f << "0"
                                           << " 0";
    QTest::newRow("float shows its short form") << 1.1f << "1.1"
                                                << " 1.1";
    QTest::newRow("seven significant digits") << 1.2345678f << "1.234568"
                                              << " 1.234568";
    QTest::newRow("largest plain") << 9999999.0f << "9999999"
                                   << " 9999999";
    QTest::newRow("large") << 1.0e7f << "1e+07"
                           << " 1e+07";
    QTest::newRow("small") << 1.5e-6f << "1.5e-06"
                           << " 1.5e-06";
    QTest::newRow("infinity") << std::numeric_limits<float>::infinity() << "inf"
                              << " inf";
    QTest::newRow("minus infinity") << -std::numeric_limits<float>::infinity() << "-inf"
                                    << "-inf";
}

void TestNumberText::singlePrecision()
{
    QFETCH(float, value);
    QFETCH(QString, locale);
    QFETCH(QString, sign);
    QCOMPARE(QString::fromStdString(localeNumberText(value, ".")), locale);
    QCOMPARE(QString::fromStdString(signedNumberText(value)), sign);
}

void TestNumberText::doublePrecision_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("sign");

    QTest::newRow("speed") << 12.5 << " 12.5";
    QTest::newRow("kilobytes") << 1500.0 << " 1500";
    QTest::newRow("percent") << 100.0 << " 100";
    QTest::newRow("fifteen digits") << 0.1 + 0.2 << " 0.3";
    QTest::newRow("two decimals") << 24.99 << " 24.99";
    QTest::newRow("negative size") << -2.0 << "-2";
    QTest::newRow("large") << 1.0e15 << " 1e+15";
    QTest::newRow("largest plain") << 123456789012345.0 << " 123456789012345";
}

void TestNumberText::doublePrecision()
{
    QFETCH(double, value);
    QFETCH(QString, sign);
    QCOMPARE(QString::fromStdString(signedNumberText(value)), sign);
}

void TestNumberText::localeSeparatorOnlyInLocaleText()
{
    QCOMPARE(localeNumberText(1.5f, ","), std::string("1,5"));
    QCOMPARE(localeNumberText(1234.5f, ","), std::string("1234,5")); // no thousands separator
    QCOMPARE(signedNumberText(1.5f), std::string(" 1.5"));
    QCOMPARE(signedNumberText(12.5), std::string(" 12.5"));
}

QTEST_APPLESS_MAIN(TestNumberText)
#include "tst_numbertext.moc"
