#include "update/binding.h"
#include "update/signature.h"

#include "minisign.h"

#include <QDateTime>
#include <QTest>

namespace {

std::span<const std::byte> bytesOf(const QByteArray &data)
{
    return std::as_bytes(std::span(data.constData(), std::size_t(data.size())));
}

QByteArray replaceLine(QByteArray text, int index, const QByteArray &line)
{
    QList<QByteArray> lines = text.split('\n');
    lines[index] = line;
    return lines.join('\n');
}

} // namespace

class TestSignature : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void verifies_data();
    void verifies();
    void publicKeys_data();
    void publicKeys();
    void bindings_data();
    void bindings();
    void expiry_data();
    void expiry();

private:
    Minisign m_minisign;
};

void TestSignature::initTestCase()
{
    QVERIFY(m_minisign.generate("maker"));
    QVERIFY(m_minisign.generate("other"));
}

void TestSignature::verifies_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("problem"); // empty when valid

    const QByteArray file = QByteArray("Kolup setup ") + QByteArray(5000, 's');
    const QByteArray good = m_minisign.sign("maker", file);
    QByteArray flipped = file;
    flipped[4000] = char(flipped[4000] ^ 1);

    QTest::newRow("good") << file << good << QByteArray();
    QTest::newRow("one flipped byte") << flipped << good << QByteArray("does not match");
    QTest::newRow("signed by another key")
        << file << m_minisign.sign("other", file) << QByteArray("another key");
    QTest::newRow("legacy form") << file << m_minisign.sign("maker", file, true)
                                 << QByteArray("legacy");
    QTest::newRow("trusted comment altered")
        << file << replaceLine(good, 2, "trusted comment: timestamp:0\tfile:evil.exe")
        << QByteArray("altered");
    QTest::newRow("truncated") << file << good.left(good.indexOf("trusted"))
                               << QByteArray("incomplete");
    QTest::newRow("empty") << file << QByteArray() << QByteArray("incomplete");
    QTest::newRow("garbage base64")
        << file << replaceLine(good, 1, "RUR!!not*base64") << QByteArray("base64");
    QTest::newRow("for another file")
        << file << m_minisign.sign("maker", "another file") << QByteArray("does not match");
    QTest::newRow("CRLF line ends")
        << file << QByteArray(good).replace("\n", "\r\n") << QByteArray();
    QTest::newRow("no final newline") << file << good.chopped(1) << QByteArray();
    QTest::newRow("blank lines after it") << file << good + "\n\r\n" << QByteArray();
    QTest::newRow("a fifth line") << file << good + "x\n" << QByteArray("more than four");
}

void TestSignature::verifies()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, problem);
    const auto key = PublicKey::parse(m_minisign.publicKey("maker").toStdString());
    QVERIFY(key);
    const Status found =
        verifySignature(std::span(&*key, 1), signature.toStdString(), blake2b(bytesOf(file)));
    QCOMPARE(!found, !problem.isEmpty());
    if (!found) {
        QCOMPARE(found.failure().fault, Fault::Refused);
        QVERIFY2(found.text().find(problem.toStdString()) != std::string::npos,
                 found.text().c_str());
    }
}

void TestSignature::publicKeys_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    const QString key = m_minisign.publicKey("maker");
    QTest::newRow("minisign's") << key << true;
    QTest::newRow("cut short") << key.left(40) << false;
    QTest::newRow("another algorithm") << "RV" + key.mid(2) << false;
    QTest::newRow("empty") << QString() << false;
}

void TestSignature::publicKeys()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(PublicKey::parse(text.toStdString()).has_value(), valid);
}

void TestSignature::bindings_data()
{
    QTest::addColumn<QString>("comment");
    QTest::addColumn<qint64>("size"); // 0: refused
    QTest::addColumn<QString>("expires");
    const QString digest = QString("0123456789abcdef").repeated(8);
    const auto row = [&](const char *name, const QString &sizeAndRest, qint64 size,
                         const char *expires = "") {
        QTest::newRow(name) << "kolup-setup size=" + sizeAndRest.arg(digest) << size << expires;
    };
    row("plain", "5000 blake2b=%1", 5000);
    row("with its last day", "1 blake2b=%1 expires=2026-12-08", 1, "2026-12-08");
    row("a leap day", "1 blake2b=%1 expires=2028-02-29", 1, "2028-02-29");
    row("the largest size", "2147483647 blake2b=%1", 2147483647);
    row("size zero", "0 blake2b=%1", 0);
    row("a leading zero", "05 blake2b=%1", 0);
    row("past 31 bits", "2147483648 blake2b=%1", 0);
    row("20 digits", "99999999999999999999 blake2b=%1", 0);
    row("a sign", "+5 blake2b=%1", 0);
    row("upper-case digest", "5 blake2b=" + digest.toUpper(), 0);
    row("digest one digit short", "5 blake2b=" + digest.chopped(1), 0);
    row("digest one digit long", "5 blake2b=%1f", 0);
    row("no such day", "5 blake2b=%1 expires=2026-02-29", 0);
    row("a day without its zero", "5 blake2b=%1 expires=2026-1-01", 0);
    row("words after it", "5 blake2b=%1 expires=2026-12-08 ", 0);
    row("the day's first separator wrong", "5 blake2b=%1 expires=2026/12-08", 0);
    row("the day's second separator wrong", "5 blake2b=%1 expires=2026-12/08", 0);
    QTest::newRow("another comment") << "timestamp:1765000000" << qint64(0) << "";
}

void TestSignature::bindings()
{
    QFETCH(QString, comment);
    QFETCH(qint64, size);
    QFETCH(QString, expires);
    const auto binding = parseBinding(comment.toStdString());
    QCOMPARE(binding.ok(), size > 0);
    QCOMPARE(binding.text().empty(), size > 0); // a refusal says why
    if (binding) {
        QCOMPARE(binding->size, size);
        QCOMPARE(QString::fromStdString(binding->expires ? dayText(*binding->expires) : ""),
                 expires);
        QCOMPARE(QString::fromStdString(bindingComment(*binding)), comment);
    }
}

void TestSignature::expiry_data()
{
    QTest::addColumn<QString>("today"); // in UTC
    QTest::addColumn<bool>("expired");
    // The comment names the last day on which the record is taken: 2026-12-08.
    QTest::newRow("the day before") << "2026-12-07" << false;
    QTest::newRow("the last day") << "2026-12-08" << false;
    QTest::newRow("the day after") << "2026-12-09" << true;
}

void TestSignature::expiry()
{
    QFETCH(QString, today);
    QFETCH(bool, expired);
    SetupBinding binding;
    QCOMPARE(::expired(binding, *parseDay(today.toStdString())), false); // no day, no end
    binding.expires = parseDay("2026-12-08");
    QCOMPARE(::expired(binding, *parseDay(today.toStdString())), expired);
    // Today in UTC by another clock than the one under test (either side of a midnight).
    const auto utcDay = [] {
        return std::chrono::sys_days(
            std::chrono::days(QDate(1970, 1, 1).daysTo(QDateTime::currentDateTimeUtc().date())));
    };
    const auto before = utcDay();
    const auto measured = todayUtc();
    QVERIFY(measured == before || measured == utcDay());
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
