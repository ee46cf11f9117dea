#include "update/signature.h"

#include "minisign.h"

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
}

void TestSignature::verifies()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, problem);
    const auto key = PublicKey::parse(m_minisign.publicKey("maker").toStdString());
    QVERIFY(key);
    const auto found =
        signatureProblem(std::span(&*key, 1), signature.toStdString(), blake2b(bytesOf(file)));
    QCOMPARE(found.has_value(), !problem.isEmpty());
    if (found) {
        QVERIFY2(found->find(problem.toStdString()) != std::string::npos, found->c_str());
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

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
