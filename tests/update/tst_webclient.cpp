#include "testfiles.h"
#include "testserver.h"
#include "update/webclient.h"

#include <QTcpServer>
#include <QTest>

#include <array>

using namespace std::chrono_literals;
using M = TestServer::Misbehaviour;

namespace {

std::string address(const TestServer &server, const QByteArray &path)
{
    return server.url(path).toStdString();
}

QByteArray bytesOf(std::span<const std::byte> span)
{
    return QByteArray(reinterpret_cast<const char *>(span.data()), qsizetype(span.size()));
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed again when probe goes
}

} // namespace

class TestWebClient : public QObject {
    Q_OBJECT
private slots:
    void readsIntoTheBufferOnly_data();
    void readsIntoTheBufferOnly();
    void addresses_data();
    void addresses();
    void addressesThatDoNotOpen_data();
    void addressesThatDoNotOpen();
    void followsRedirectsToAnotherPath_data();
    void followsRedirectsToAnotherPath();
    void sendsAgentAndNoCacheHeadersAndTrimsPadding();
    void ignoresProxyFromEnvironment();
    void reads_data();
    void reads();
};

void TestWebClient::readsIntoTheBufferOnly_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("three bytes") << QByteArray("abc");
    QTest::newRow("one short") << pattern(263);
    QTest::newRow("a whole record, in one read") << pattern(264);
}

void TestWebClient::readsIntoTheBufferOnly()
{
    QFETCH(QByteArray, body);
    TestServer server;
    server.serve("/short", body);
    WebResource resource = WebClient().open(address(server, "/short"));
    QVERIFY(resource.isOpen());

    std::array<std::byte, 264> buffer;
    buffer.fill(std::byte{' '});
    QCOMPARE(resource.read(buffer), std::size_t(body.size()));
    QCOMPARE(bytesOf(buffer), body + QByteArray(264 - body.size(), ' '));

    // A buffer holding an earlier read keeps that read's bytes past the new ones.
    buffer.fill(std::byte{'x'});
    QCOMPARE(resource.read(buffer), 0u);
    QCOMPARE(bytesOf(buffer), QByteArray(264, 'x'));
    QVERIFY(resource.result().completed());
}

void TestWebClient::addresses_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<bool>("web");           // an http(s) address
    QTest::addColumn<QByteArray>("request"); // as it is fetched
    QTest::newRow("a space") << QByteArray("http://h/a b.exe") << true
                             << QByteArray("http://h/a%20b.exe");
    QTest::newRow("scheme in capitals")
        << QByteArray("HTTPS://h/x") << true << QByteArray("HTTPS://h/x");
    QTest::newRow("the scheme alone") << QByteArray("http://") << false << QByteArray("http://");
    QTest::newRow("one character after it")
        << QByteArray("http://h") << true << QByteArray("http://h");
    QTest::newRow("ftp") << QByteArray("ftp://h/x") << false << QByteArray("ftp://h/x");
    QTest::newRow("U+001F") << QByteArray("http://h/\x1f") << true << QByteArray("http://h/%1F");
    QTest::newRow("U+007E") << QByteArray("http://h/~") << true << QByteArray("http://h/~");
    QTest::newRow("U+007F") << QByteArray("http://h/\x7f") << true << QByteArray("http://h/%7F");
    QTest::newRow("a quote and braces")
        << QByteArray("http://h/\"{}") << true << QByteArray("http://h/%22%7B%7D");
    QTest::newRow("padding") << QByteArray("http://h/x   ") << true << QByteArray("http://h/x");
}

void TestWebClient::addresses()
{
    QFETCH(QByteArray, address);
    QFETCH(bool, web);
    QFETCH(QByteArray, request);
    QCOMPARE(isWebAddress(address.toStdString()), web);
    QCOMPARE(QByteArray::fromStdString(requestAddress(address.toStdString())), request);
}

void TestWebClient::addressesThatDoNotOpen_data()
{
    QTest::addColumn<QByteArray>("path"); // empty: the address column is used as it is
    QTest::addColumn<QString>("address");
    QTest::addColumn<TestServer::Route>("route");

    const QString closed = QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort());
    QTest::newRow("closed port") << QByteArray() << closed << TestServer::Route();
    QTest::newRow("404") << QByteArray("/gone") << QString()
                         << TestServer::Route{.status = 404, .body = "<html>not here</html>"};
    QTest::newRow("500") << QByteArray("/broken") << QString()
                         << TestServer::Route{.status = 500, .body = "oops"};
    // 300 and no place to go: not the resource.
    QTest::newRow("300") << QByteArray("/choices") << QString()
                         << TestServer::Route{.status = 300, .body = "pick one"};
    QTest::newRow("no response") << QByteArray("/hangup") << QString()
                                 << TestServer::Route{.misbehaviour = M::HangUp};
    QTest::newRow("redirect to file")
        << QByteArray("/to-file") << QString() << TestServer::redirectTo("file:///etc/passwd");
    QTest::newRow("file address") << QByteArray() << "file:///etc/hostname" << TestServer::Route();
    QTest::newRow("ftp address") << QByteArray() << "ftp://127.0.0.1/x" << TestServer::Route();
    QTest::newRow("no address") << QByteArray() << "" << TestServer::Route();
    QTest::newRow("unresolvable host")
        << QByteArray() << "http://kolup.invalid/x" << TestServer::Route();
    // Past libcurl's own limit on what it takes: the request is not made at all, and says why.
    QTest::newRow("an address libcurl refuses")
        << QByteArray() << "http://127.0.0.1/" + QString(8'000'000, 'x') << TestServer::Route();
}

void TestWebClient::addressesThatDoNotOpen()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, address);
    QFETCH(TestServer::Route, route);
    TestServer server;
    if (!path.isEmpty()) {
        server.serve(path, route);
        address = server.url(path);
    }
    WebResource resource = WebClient().open(address.toStdString());
    QVERIFY(!resource.isOpen());
    std::array<std::byte, 16> buffer;
    buffer.fill(std::byte{' '});
    QCOMPARE(resource.read(buffer), 0u);
    QCOMPARE(bytesOf(buffer), QByteArray(16, ' '));
    QVERIFY(!resource.result().completed());
    QCOMPARE(resource.result().describe().starts_with("libcurl refused CURLOPT_URL"),
             address.size() > 10'000);
}

void TestWebClient::followsRedirectsToAnotherPath_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("opens");
    // Asked for the rest from byte 3 with this If-Range ("-": the whole resource); the range
    // goes along to where the redirects lead, and no If-Range goes without a validator.
    QTest::addColumn<QByteArray>("ifRange");
    QTest::newRow("one") << 1 << true << QByteArray("-");
    QTest::newRow("five") << 5 << true << QByteArray("-");
    QTest::newRow("six: a loop, as far as anyone can tell") << 6 << false << QByteArray("-");
    QTest::newRow("one, the rest with a validator") << 1 << true << QByteArray("\"v1\"");
    QTest::newRow("one, the rest without a validator") << 1 << true << QByteArray();
}

void TestWebClient::followsRedirectsToAnotherPath()
{
    QFETCH(int, hops);
    QFETCH(bool, opens);
    QFETCH(QByteArray, ifRange);
    TestServer server;
    for (int hop = 0; hop < hops; ++hop) {
        const QByteArray next = hop + 1 < hops ? "/r" + QByteArray::number(hop + 1) : "/new";
        server.serve("/r" + QByteArray::number(hop),
                     TestServer::redirectTo(server.url(next).toLatin1()));
    }
    server.serve("/new", "moved here");
    const auto range =
        ifRange == "-" ? std::nullopt : std::optional(RangeRequest{3, ifRange.toStdString()});
    WebResource resource = WebClient().open(address(server, "/r0"), {}, range);
    QCOMPARE(resource.isOpen(), opens);
    QCOMPARE(server.requests().last().range(), ifRange == "-"      ? QByteArray("-")
                                               : ifRange.isEmpty() ? QByteArray("bytes=3-")
                                                                   : "bytes=3-@" + ifRange);
    std::array<std::byte, 10> buffer{};
    QCOMPARE(resource.read(buffer), opens ? 10u : 0u);
    QCOMPARE(bytesOf(buffer), opens ? QByteArray("moved here") : QByteArray(10, '\0'));
}

void TestWebClient::sendsAgentAndNoCacheHeadersAndTrimsPadding()
{
    TestServer server;
    server.serve("/setup.exe", "x");
    const std::string padded = address(server, "/setup.exe") + std::string(200, ' ');
    WebResource resource = WebClient().open(padded);
    QVERIFY(resource.isOpen());
    const auto requests = server.requests();
    QCOMPARE(requests.size(), 1);
    const TestServer::Request &request = requests.first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, QByteArray("/setup.exe"));
    QCOMPARE(request.headers.value("user-agent"), QByteArray("API-Guide test program"));
    QCOMPARE(request.headers.value("cache-control"), QByteArray("no-cache"));
    QCOMPARE(request.headers.value("pragma"), QByteArray("no-cache"));
}

void TestWebClient::ignoresProxyFromEnvironment()
{
    TestServer server;
    server.serve("/direct", "direct");
    const QByteArray deadProxy = QStringLiteral("http://127.0.0.1:%1").arg(closedPort()).toLatin1();
    for (const char *name :
         {"http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
        qputenv(name, deadProxy);
    }
    WebResource resource = WebClient().open(address(server, "/direct"));
    for (const char *name :
         {"http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
        qunsetenv(name);
    }
    QVERIFY(resource.isOpen());
    QCOMPARE(server.requests().size(), 1);
}

void TestWebClient::reads_data()
{
    QTest::addColumn<TestServer::Route>("route");
    QTest::addColumn<int>("received"); // read in chunks of 1024 bytes, up to the first short one
    QTest::addColumn<bool>("completed");
    QTest::addColumn<bool>("stalled"); // a read waited past the no-data limit, 1 s here
    const auto row = [](const char *name, const TestServer::Route &route, int received,
                        bool completed, bool stalled = false) {
        QTest::newRow(name) << route << received << completed << stalled;
    };
    // The buffer stays one chunk, however large the resource.
    row("3 MiB and 5 bytes", {.body = pattern(3 * 1024 * 1024 + 5)}, 3 * 1024 * 1024 + 5, true);
    // A connection lost is no end; the end of an unannounced body is.
    row("cut short", {.body = pattern(5000), .misbehaviour = M::CutShort, .sendBytes = 2000}, 2000,
        false);
    row("no length announced", {.body = pattern(3000), .misbehaviour = M::NoLength}, 3000, true);
    const QByteArray chunk = pattern(1024);
    row("stall", {.body = chunk, .misbehaviour = M::Stall, .sendBytes = 100}, 100, false, true);
    // A byte every 5 ms: never quiet for long, never done in time.
    row("drip", {.body = chunk, .bytesPerSecond = 200}, -1, false, true);
    // Slow, but the chunk is in well within the limit.
    row("slow link", {.body = chunk, .bytesPerSecond = 4000}, 1024, true);
}

void TestWebClient::reads()
{
    QFETCH(TestServer::Route, route);
    QFETCH(int, received);
    QFETCH(bool, completed);
    QFETCH(bool, stalled);
    TestServer server;
    server.serve("/resource", route);
    WebResource resource =
        WebClient(WebClient::Timeouts{1000ms, 1000ms}).open(address(server, "/resource"));
    QVERIFY(resource.isOpen());
    QByteArray bytes;
    std::array<std::byte, 1024> chunk;
    for (std::size_t count = chunk.size(); count == chunk.size();) {
        count = resource.read(chunk);
        bytes += bytesOf(std::span(chunk).first(count));
    }
    // -1: some, never all, of a chunk.
    QVERIFY(received < 0 ? bytes.size() < 1024 : bytes == route.body.left(received));
    QCOMPARE(resource.result().completed(), completed);
    QCOMPARE(resource.result().stalled, stalled);
    QVERIFY(resource.result().finished);
    // A failure that is not the client's own ending names the transport's error.
    QVERIFY(completed || stalled || resource.result().transportError != 0);
}

QTEST_GUILESS_MAIN(TestWebClient)
#include "tst_webclient.moc"
