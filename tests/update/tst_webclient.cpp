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
    void readsLargeResourceInChunksWithBoundedBuffer();
    void keepsEndAndFailureApart();
    void readsWaitNoLongerThanTheLimit_data();
    void readsWaitNoLongerThanTheLimit();
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
}

void TestWebClient::followsRedirectsToAnotherPath_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("opens");
    QTest::newRow("one") << 1 << true;
    QTest::newRow("five") << 5 << true;
    QTest::newRow("six: a loop, as far as anyone can tell") << 6 << false;
}

void TestWebClient::followsRedirectsToAnotherPath()
{
    QFETCH(int, hops);
    QFETCH(bool, opens);
    TestServer server;
    for (int hop = 0; hop < hops; ++hop) {
        const QByteArray next = hop + 1 < hops ? "/r" + QByteArray::number(hop + 1) : "/new";
        server.serve("/r" + QByteArray::number(hop),
                     TestServer::redirectTo(server.url(next).toLatin1()));
    }
    server.serve("/new", "moved here");
    WebResource resource = WebClient().open(address(server, "/r0"));
    QCOMPARE(resource.isOpen(), opens);
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

void TestWebClient::readsLargeResourceInChunksWithBoundedBuffer()
{
    TestServer server;
    const QByteArray body = pattern(3 * 1024 * 1024 + 5);
    server.serve("/big", body);
    WebResource resource = WebClient().open(address(server, "/big"));
    QVERIFY(resource.isOpen());
    QByteArray received;
    std::array<std::byte, 1024> chunk;
    for (;;) {
        const std::size_t count = resource.read(chunk);
        received += bytesOf(std::span(chunk).first(count));
        if (count < chunk.size()) {
            break;
        }
    }
    QCOMPARE(received.size(), body.size());
    QVERIFY(received == body);
    QVERIFY(resource.result().completed());
}

void TestWebClient::keepsEndAndFailureApart()
{
    TestServer server;
    server.serve("/cut", {.body = pattern(5000), .misbehaviour = M::CutShort, .sendBytes = 2000});
    server.serve("/unannounced", {.body = pattern(3000), .misbehaviour = M::NoLength});

    std::array<std::byte, 4096> buffer{};
    WebResource broken = WebClient().open(address(server, "/cut"));
    QVERIFY(broken.isOpen());
    QCOMPARE(broken.read(buffer), 2000u);
    QVERIFY(broken.result().finished);
    QVERIFY(broken.result().transportError != 0);
    QVERIFY(!broken.result().completed());

    WebResource whole = WebClient().open(address(server, "/unannounced"));
    QCOMPARE(whole.read(buffer), 3000u);
    QVERIFY(whole.result().completed());
}

void TestWebClient::readsWaitNoLongerThanTheLimit_data()
{
    QTest::addColumn<TestServer::Route>("route");
    QTest::addColumn<bool>("whole"); // the 1024 bytes arrive within the limit
    const QByteArray chunk = pattern(1024);
    QTest::newRow("stall") << TestServer::Route{.body = chunk,
                                                .misbehaviour = M::Stall,
                                                .sendBytes = 100}
                           << false;
    // A byte every 5 ms: never quiet for long, never done in time.
    QTest::newRow("drip") << TestServer::Route{.body = chunk, .bytesPerSecond = 200} << false;
    // Slow, but the chunk is in well within the limit.
    QTest::newRow("slow link") << TestServer::Route{.body = chunk, .bytesPerSecond = 4000} << true;
}

void TestWebClient::readsWaitNoLongerThanTheLimit()
{
    QFETCH(TestServer::Route, route);
    QFETCH(bool, whole);
    TestServer server;
    server.serve("/slow", route);
    WebResource resource =
        WebClient(WebClient::Timeouts{1000ms, 1000ms}).open(address(server, "/slow"));
    QVERIFY(resource.isOpen());
    std::array<std::byte, 1024> buffer{};
    const std::size_t count = resource.read(buffer);
    QCOMPARE(count == buffer.size(), whole);
    QCOMPARE(resource.result().stalled, !whole);
}

QTEST_GUILESS_MAIN(TestWebClient)
#include "tst_webclient.moc"
