#include "download/setupdownload.h"

#include "fakes.h"
#include "records.h"
#include "testserver.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using Event = SetupDownload::Event;
using Outcome = SetupDownload::Outcome;

// Notes, at every reading, how much of the side file is on disk: a chunk's time must be read
// before its bytes are written, or every gathered write's cost lands in one chunk's time.
class WatchingClock final : public Clock {
public:
    QString watched;
    qint64 largestSeen = 0;
    std::int64_t now = 0;
    std::int64_t milliseconds() override
    {
        largestSeen = qMax(largestSeen, QFileInfo(watched).size());
        return now++;
    }
};

// The transfer on its own, without a window: what it tells its listener, and when it stops.
class TestSetupDownload : public QObject {
    Q_OBJECT
private slots:
    void reportsAndStops_data();
    void reportsAndStops();

private:
    TestServer m_server;
};

void TestSetupDownload::reportsAndStops_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("stopAfter"); // the chunk whose report answers false; 0: none
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("kept");   // bytes at the setup path, or in the side file if stopped
    QTest::addColumn<bool>("keyed"); // with the digest a signed record names
    QTest::newRow("two chunks and a piece")
        << 2500 << 0 << "S C C L" << int(Outcome::Completed) << 2500 << false;
    QTest::newRow("whole chunks only")
        << 2048 << 0 << "S C C L" << int(Outcome::Completed) << 2048 << false;
    QTest::newRow("a piece only") << 700 << 0 << "S L" << int(Outcome::Completed) << 700 << false;
    QTest::newRow("stopped after the first chunk")
        << 2500 << 1 << "S C" << int(Outcome::Cancelled) << 1024 << false;
    // The digest's own thread ends with the transfer, whichever way it ends.
    QTest::newRow("keyed, stopped after the first chunk")
        << 2500 << 1 << "S C" << int(Outcome::Cancelled) << 1024 << true;
    // Writes are gathered 256 chunks at a time: the last chunk's reading comes before them.
    QTest::newRow("one gathered write") << 262144 << 0 << "S " + QString("C ").repeated(256) + "L"
                                        << int(Outcome::Completed) << 262144 << false;
    QTest::newRow("keyed, several gathered blocks")
        << 1048576 + 5 << 0 << "S " + QString("C ").repeated(1024) + "L" << int(Outcome::Completed)
        << 1048581 << true;
}

void TestSetupDownload::reportsAndStops()
{
    QFETCH(int, size);
    QFETCH(int, stopAfter);
    QFETCH(QString, events);
    QFETCH(int, outcome);
    QFETCH(int, kept);
    QFETCH(bool, keyed);
    const QByteArray body(size, 'k');
    m_server.serve("/setup.exe", body);
    std::optional<Digest> expected;
    if (keyed) {
        expected = blake2b(std::as_bytes(std::span(body.constData(), std::size_t(body.size()))));
    }
    const UpdateInfo info = updateInfo(2.0f, m_server.url("/setup.exe").toLatin1(), size);
    QTemporaryDir dir;
    const QString path = dir.filePath("setup.exe");
    WatchingClock clock;
    clock.watched = path + ".part";
    QStringList seen;
    QList<int> receivedAtChunks;
    SetupDownload::Options options;
    options.expected = expected;
    SetupDownload download(
        WebClient(), clock,
        [&](Event event, const SetupDownload &transfer) {
            static const char *const names[] = {"S", "C", "L", "W"};
            if (event != Event::Waiting) {
                seen << names[int(event)];
            }
            if (event == Event::Chunk) {
                receivedAtChunks << transfer.received();
            }
            return !(event == Event::Chunk && receivedAtChunks.size() == stopAfter);
        },
        options);
    QCOMPARE(int(download.run(info, path.toStdString())), outcome);
    QCOMPARE(seen.join(' '), events);
    for (qsizetype i = 0; i < receivedAtChunks.size(); ++i) {
        QCOMPARE(receivedAtChunks[i], int(i + 1) * 1024); // exact values after every chunk
    }
    const bool completed = outcome == int(Outcome::Completed);
    QCOMPARE(QFile(completed ? path : path + ".part").size(), qint64(kept));
    // Only whole gathered blocks before the last chunk's time can have been written.
    QVERIFY(clock.largestSeen <= qint64(kept - 1) / 262144 * 262144);
    QCOMPARE(download.verified().has_value(), completed);
    QCOMPARE(completed && download.verified()->digest == expected, completed);
    QVERIFY(completed || !QFile::exists(path));
}

QTEST_GUILESS_MAIN(TestSetupDownload)
#include "tst_setupdownload.moc"
