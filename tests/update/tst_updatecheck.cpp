#include "update/updatecheck.h"

#include "minisign.h"
#include "records.h"
#include "testserver.h"

#include <QDate>
#include <QDateTime>
#include <QTest>

#include <cmath>
#include <limits>

using Outcome = UpdateCheck::Outcome;
using M = TestServer::Misbehaviour;

namespace {

constexpr auto RecordPath = "/kolup/KOLUP_VERSION.txt";

TestServer::Route published(const QByteArray &body, M how = M::None, qsizetype sendBytes = 0)
{
    TestServer::Route route;
    route.body = body;
    route.misbehaviour = how;
    route.sendBytes = sendBytes;
    return route;
}

} // namespace

// The check on its own, against a misbehaving host: what it offers, and why it refuses.
class TestUpdateCheck : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void records_data();
    void records();
    void signedRecords_data();
    void signedRecords();

private:
    TestServer m_server;
    Minisign m_minisign;
};

void TestUpdateCheck::initTestCase()
{
    for (const char *name : {"maker", "second", "third"}) {
        QVERIFY(m_minisign.generate(name));
    }
}

void TestUpdateCheck::records_data()
{
    QTest::addColumn<TestServer::Route>("route"); // the record as the host serves it
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("why");     // part of what the failure says
    QTest::addColumn<QString>("offered"); // the setup's file name, for NoUpdate and Offer
    const QByteArray setup = "http://127.0.0.1/kolup/setup.exe";
    const auto row = [](const char *name, const TestServer::Route &route, Outcome outcome,
                        const char *why, const char *offered = "") {
        QTest::newRow(name) << route << outcome << QString(why) << QString(offered);
    };
    const auto refused = [&](const char *name, const QByteArray &record, const char *why) {
        row(name, published(record), Outcome::Invalid, why);
    };
    const auto nan = std::numeric_limits<float>::quiet_NaN();
    const auto infinity = std::numeric_limits<float>::infinity();
    TestServer::Route missing;
    missing.status = 404;
    row("no record (404)", missing, Outcome::NoConnection, "cannot fetch the version record");
    row("equal", published(recordBytes(1.2f, setup, 5000)), Outcome::NoUpdate, "", "setup.exe");
    row("older", published(recordBytes(1.0f, setup, 5000)), Outcome::NoUpdate, "", "setup.exe");
    row("not a number", published(recordBytes(nan, setup, 5000)), Outcome::NoUpdate, "",
        "setup.exe");
    row("newer", published(recordBytes(1.5f, setup, 1023)), Outcome::Offer, "", "setup.exe");

    // Refused before anything is shown, newer or not.
    refused("empty response", "", "not an http or https address");
    refused("no padding after name", recordBytes(1.5f, "http://h/" + QByteArray(247, 'n'), 10),
            "no file name followed by two spaces");
    refused("no name", recordBytes(1.5f, "http://127.0.0.1/kolup/", 10), "the setup file name");
    refused("dot dot", recordBytes(1.5f, "http://127.0.0.1/..", 10), "the setup file name");
    refused("backslashes", recordBytes(1.5f, "http://h/..\\..\\x.exe", 10), "the setup file name");
    refused("device", recordBytes(1.5f, "http://h/CON.exe", 10), "the setup file name");
    refused("not http", recordBytes(1.5f, "file:///etc/passwd", 10), "not an http or https");
    refused("zero size", recordBytes(1.5f, setup, 0), "the setup size is not positive");
    refused("negative size", recordBytes(1.5f, setup, -5), "the setup size is not positive");
    refused("NUL inside the address",
            recordBytes(1.5f, setup + QByteArray(1, '\0') + "/zz.exe", 10), "control character");
    refused("escape inside the address", recordBytes(1.5f, "http://h/a\x1b[2Jb/s.exe", 10),
            "control character");
    refused("infinite version", recordBytes(infinity, setup, 10), "the version is infinite");
    refused("old and nameless", recordBytes(1.0f, "http://127.0.0.1/kolup/", 10),
            "the setup file name");
    refused("the updater's own name", recordBytes(1.5f, "http://127.0.0.1/kolup/kolup-updater", 10),
            "the updater's own");

    // How the host serves it: only a whole record is read as one.
    const QByteArray record = recordBytes(1.5f, setup, 5000);
    const char *const broken = "the version record stopped after 132 bytes";
    row("reset after 132 bytes", published(record, M::Reset, 132), Outcome::NoConnection, broken);
    row("hung up after 132 bytes", published(record, M::CutShort, 132), Outcome::NoConnection,
        broken);
    row("stalls after 132 bytes", published(record, M::Stall, 132), Outcome::NoConnection, broken);
    row("reads the request, never answers", published(record, M::Silent), Outcome::NoConnection,
        "cannot fetch the version record");
    TestServer::Route drip = published(record);
    drip.bytesPerSecond = 40;
    row("drips", drip, Outcome::NoConnection, "the version record stopped after");
    // Unsigned, a record is its first 264 bytes, whatever follows and however long it goes on.
    row("a newline after it", published(record + "\n"), Outcome::Offer, "", "setup.exe");
    const QByteArray endless = record + "\n" + QByteArray(1 << 20, 'j');
    row("junk without end after it", published(endless, M::Stall, endless.size()), Outcome::Offer,
        "", "setup.exe");
}

void TestUpdateCheck::records()
{
    QFETCH(TestServer::Route, route);
    QFETCH(Outcome, outcome);
    QFETCH(QString, why);
    QFETCH(QString, offered);
    m_server.serve(RecordPath, route);
    const WebClient web(
        WebClient::Timeouts{std::chrono::milliseconds(2000), std::chrono::milliseconds(1000)});
    const UpdateCheck check = checkForUpdate(
        web, {m_server.url(RecordPath).toStdString(), "/opt/kolup", "kolup-updater", {}}, 1.2f);
    QCOMPARE(check.outcome, outcome);
    QVERIFY2(QString::fromStdString(check.why).contains(why), check.why.c_str());
    QCOMPARE(check.why.empty(), !offered.isEmpty());
    QCOMPARE(check.offer ? QString::fromStdString(check.offer->setupPath.string()) : QString(),
             offered.isEmpty() ? QString() : "/opt/kolup/" + offered);
}

void TestUpdateCheck::signedRecords_data()
{
    // Whose key signs the record: the check trusts maker and second; empty: no signature.
    QTest::addColumn<QString>("signer");
    // The signed comment: %1 the record's binding, %2 its digest, %3 the digest in capitals,
    // %4 one byte short, %5 today and %6 yesterday (UTC, by another clock than the updater's).
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QByteArray>("signedBytes");   // the record the signature is over
    QTest::addColumn<TestServer::Route>("record"); // as published
    QTest::addColumn<QByteArray>("edited");        // in the signature file afterwards: was>is
    QTest::addColumn<int>("signatureSize");        // padded with blank lines to; 0: as it is
    QTest::addColumn<M>("signatureBreaks");        // how its transfer breaks, before its last byte
    QTest::addColumn<QString>("why");              // what the refusal says; empty for an offer
    const QByteArray record = recordBytes(1.5f, "http://127.0.0.1/kolup/setup.exe", 5000);
    const auto row = [&](const char *name, const char *signer, const char *comment, const char *why,
                         const QByteArray &edited = {}, int size = 0, M breaks = M::None) {
        QTest::newRow(name) << QString(signer) << QString(comment) << record << published(record)
                            << edited << size << breaks << QString(why);
    };
    const auto served = [&](const char *name, const QByteArray &signedRecord,
                            const TestServer::Route &route, const char *why) {
        QTest::newRow(name) << "maker"
                            << "%1" << signedRecord << route << QByteArray() << 0 << M::None
                            << QString(why);
    };
    row("bound", "maker", "%1", "");
    row("bound, its last day today", "maker", "%1 expires=%5", "");
    row("signed by the second key", "second", "%1", "");
    row("signed by a third key", "third", "%1", "signed with another key");
    row("unsigned record", "", "%1", "cannot fetch");
    row("comment edited after signing", "maker", "%1", "trusted comment has been altered",
        "size=5000>size=5001");
    row("comment without binding", "maker", "timestamp:1765000000\tfile:KOLUP_VERSION.txt\thashed",
        "does not name its setup file");
    row("no binding, minisign's stamp", "maker", "timestamp:1765000000",
        "does not name its setup file");
    row("expired yesterday", "maker", "%1 expires=%6", "its signature has expired");
    row("expired long ago", "maker", "%1 expires=2001-01-01", "its signature has expired");
    row("digest in upper case", "maker", "kolup-setup size=5000 blake2b=%3",
        "no valid BLAKE2b-512");
    row("digest one byte short", "maker", "kolup-setup size=5000 blake2b=%4",
        "no valid BLAKE2b-512");
    row("size other than the record's", "maker", "kolup-setup size=4999 blake2b=%2",
        "its signature 4999");
    // Cut, a signature still reads as one: only its transfer tells it is not whole. A connection
    // that breaks on the way to the signature is no connection, as one that breaks on the way to
    // the record is.
    row("record's signature cut short", "maker", "%1", "cannot fetch", {}, 0, M::CutShort);
    row("record's signature never answered", "maker", "%1", "cannot fetch", {}, 0, M::HangUp);
    // Blank lines after it are taken, up to the 4 KiB a signature file may hold.
    row("signature file of 4096 bytes", "maker", "%1", "", {}, 4096);
    row("signature file of 4097 bytes", "maker", "%1", "larger than a signature", {}, 4097);
    // A record is exactly its bytes: padded back, one without its last byte (a space) would
    // match its signature, and only the first 264 bytes of a longer one would be read.
    const QByteArray spaceLast = recordBytes(1.5f, "http://127.0.0.1/kolup/setup.exe", 0x20001388);
    served("signed record one byte short", spaceLast, published(spaceLast.left(263)),
           "263 bytes, not 264");
    served("signed record and a newline", record, published(record + "\n"), "longer than 264");
    const QByteArray endless = record + QByteArray(1 << 20, 'j');
    served("signed record and junk without end", record,
           published(endless, M::Stall, endless.size()), "longer than 264");
}

void TestUpdateCheck::signedRecords()
{
    QFETCH(QString, signer);
    QFETCH(QString, comment);
    QFETCH(QByteArray, signedBytes);
    QFETCH(TestServer::Route, record);
    QFETCH(QByteArray, edited);
    QFETCH(int, signatureSize);
    QFETCH(M, signatureBreaks);
    QFETCH(QString, why);
    SetupBinding binding;
    binding.size = 5000;
    binding.digest = blake2b(std::as_bytes(std::span("setup", 5)));
    const QString hex = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(binding.digest.data()), 64).toHex());
    const QDate today = QDateTime::currentDateTimeUtc().date();
    // Each marker by its number: QString::arg would give the lowest marker present the first.
    const QString values[] = {QString::fromStdString(bindingComment(binding)),
                              hex,
                              hex.toUpper(),
                              hex.left(126),
                              today.toString(Qt::ISODate),
                              today.addDays(-1).toString(Qt::ISODate)};
    QString signedComment = comment;
    for (int i = 0; i < 6; ++i) {
        signedComment.replace(QStringLiteral("%%1").arg(i + 1), values[i]);
    }
    TestServer::Route signature;
    signature.status = signer.isEmpty() ? 404 : 200;
    if (!signer.isEmpty()) {
        signature.body = m_minisign.sign(signer, signedBytes, false, signedComment);
    }
    if (!edited.isEmpty()) {
        signature.body.replace(edited.split('>')[0], edited.split('>')[1]);
    }
    signature.misbehaviour = signatureBreaks;
    signature.sendBytes = signature.body.size() - 1;
    if (signatureSize > 0) {
        signature.body += QByteArray(signatureSize - signature.body.size(), '\n');
    }
    m_server.serve(RecordPath, record);
    m_server.serve(QByteArray(RecordPath) + ".minisig", signature);
    const auto keys = *PublicKey::parseList(
        (m_minisign.publicKey("maker") + " " + m_minisign.publicKey("second")).toStdString());
    const UpdateCheck check = checkForUpdate(
        WebClient({std::chrono::milliseconds(2000), std::chrono::milliseconds(1000)}),
        {m_server.url(RecordPath).toStdString(), "/tmp", {}, keys}, 1.2f);
    QCOMPARE(check.outcome, why.isEmpty()                ? Outcome::Offer
                            : signatureBreaks != M::None ? Outcome::NoConnection
                                                         : Outcome::Invalid);
    QVERIFY2(QString::fromStdString(check.why).contains(why), check.why.c_str());
    QVERIFY(why.isEmpty() || QString::fromStdString(check.why).startsWith("the version record is"));
    // The offer carries the setup file the signature names, and only then.
    QCOMPARE(check.offer && check.offer->binding && check.offer->binding->size == 5000 &&
                 check.offer->binding->digest == binding.digest,
             why.isEmpty());
}

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
