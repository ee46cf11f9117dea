#include "download/setupdownload.h"

#include "records.h"
#include "testfiles.h"
#include "testserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <future>
#include <thread>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

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

namespace {

using Error = SetupDownload::Error;
using M = TestServer::Misbehaviour;

// The folder as ls would show it: "name size" for a file (its text when short and not the
// download's), "name/" for a folder, "name -> target" for a link, "name|" for a FIFO.
QStringList listing(const QString &folder)
{
    QStringList entries;
    for (const QFileInfo &entry : QDir(folder).entryInfoList(
             QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name)) {
        QString line = entry.fileName();
        if (entry.isSymLink()) {
            line += " -> " + QFileInfo(entry.symLinkTarget()).fileName();
        } else if (entry.isDir()) {
            line += "/";
        } else if (!entry.isFile()) {
            line += "|";
        } else {
            QFile file(entry.filePath());
            const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(16) : "";
            line += " " + (head.size() < 16 && !head.contains('k') ? QString::fromLatin1(head)
                                                                   : QString::number(entry.size()));
        }
        entries << line;
    }
    return entries;
}

TestServer::Route served(int bytes, M how = M::None, int sendBytes = 0, int status = 200)
{
    TestServer::Route route;
    route.body = QByteArray(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i) {
        route.body[i] = "kolup"[i % 5] + char(i / 5 % 7); // mixed from other offsets, it shows
    }
    route.misbehaviour = how;
    route.sendBytes = sendBytes;
    route.status = status;
    return route;
}

// The folder a row's transfer writes to, and what the row plants there or does meanwhile.
struct Scene {
    QString folder;
    QString path;   // the setup's
    QString victim; // a file of the user's elsewhere, which nothing may touch
    TestServer &server;
    TestServer::Route route;
    SetupDownload::Options options{};
    std::optional<SetupBinding> binding{};
    bool fullDisk = false;                        // any file write past 2 KiB fails
    bool watched = true;                          // the side file stays the one the clock watches
    std::string why = {};                         // what the failure's text starts with
    std::function<void(int chunks)> onChunk = {}; // after each chunk's report
    // Set: a transfer of the same offer comes first, cancelled after its first chunk, and this
    // is done to what it leaves.
    std::function<bool(const Scene &)> kept = {};
};
using Plant = std::function<void(Scene &)>;

} // namespace

Q_DECLARE_METATYPE(Plant)

// The transfer on its own, without a window: what it tells its listener, when it stops, why it
// fails, and what it leaves on disk.
class TestSetupDownload : public QObject {
    Q_OBJECT
private slots:
    void transfers_data();
    void transfers();
    void digestThreadEnds_data();
    void digestThreadEnds();

private:
    TestServer m_server;
};

void TestSetupDownload::transfers_data()
{
    QTest::addColumn<int>("announced");
    QTest::addColumn<TestServer::Route>("route");
    QTest::addColumn<Plant>("planted");  // what stands in the folder before, or happens during
    QTest::addColumn<int>("stopAt");     // the chunk whose report says stop; -1: the end wait
    QTest::addColumn<QString>("events"); // S tarted, C hunk, L ast piece; empty: not checked
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("left"); // the folder afterwards, see listing()
    QTest::addColumn<QString>("asked");    // each request's range, see Request::range(); "": any
    const auto row = [](const char *name, int announced, const TestServer::Route &route,
                        const Plant &planted, int stopAt, const char *events, Outcome outcome,
                        Error error, const QStringList &left, const char *asked = "") {
        QTest::newRow(name) << announced << route << planted << stopAt << QString(events)
                            << int(outcome) << int(error) << left << QString(asked);
    };
    const auto done = Outcome::Completed;
    const auto failed = Outcome::Failed;
    const auto stopped = Outcome::Cancelled;
    const QString gathered = "S " + QString("C ").repeated(256) + "L";
    // Signed by the maker: what is served, unless other bytes are given.
    const auto sign = [](const QByteArray &bytes = {}) {
        return Plant([bytes](Scene &s) {
            const QByteArray over = bytes.isNull() ? s.route.body : bytes;
            s.binding.emplace().digest =
                blake2b(std::as_bytes(std::span(over.constData(), std::size_t(over.size()))));
        });
    };
    const Plant keyed = sign();
    const Plant old = [](Scene &s) { QVERIFY(writeFile(s.path, "precious")); };
    const Plant users = [old](Scene &s) {
        old(s);
        s.options.keepOthers = true;
    };
    const Plant userOld = [](Scene &s) {
        QVERIFY(writeFile(s.path, "precious") && writeFile(s.path + ".old", "precious"));
    };
    const Plant partLink = [](Scene &s) { QVERIFY(QFile::link(s.victim, s.path + ".part")); };
    const Plant partFifo = [](Scene &s) {
        QCOMPARE(::mkfifo(QFile::encodeName(s.path + ".part").constData(), 0600), 0);
    };
    // A folder is refused as such, not only by the rename that would fail on it.
    const Plant setupDir = [](Scene &s) {
        QVERIFY(QDir().mkpath(s.path));
        s.why = "a directory stands at";
    };
    const Plant noFolder = [](Scene &s) { QVERIFY(QDir(s.folder).removeRecursively()); };
    const Plant full = [](Scene &s) { s.fullDisk = true; };
    // Another program's file takes the side file's name while it is written.
    const Plant partSwap = [](Scene &s) {
        s.watched = false;
        s.onChunk = [&s](int chunks) {
            if (chunks == 1) {
                QFile::rename(s.path + ".part", s.folder + "/moved");
                writeFile(s.path + ".part", "foreign");
            }
        };
    };
    // The updater's own file, linked at the setup's name before the transfer or during it.
    const auto program = [](bool later) {
        return Plant([later](Scene &s) {
            const QString updater = s.folder + "/kolup-updater";
            QVERIFY(writeFile(updater, "updater"));
            s.options.program = files::identityAt(updater.toStdString());
            const auto link = [&s, updater] {
                return ::link(QFile::encodeName(updater).constData(),
                              QFile::encodeName(s.path).constData()) == 0;
            };
            QVERIFY(later || link());
            if (later) {
                s.onChunk = [link](int chunks) { chunks == 1 && link(); };
            }
        });
    };
    const Plant newEtag = [](Scene &s) {
        s.onChunk = [&s](int chunks) {
            if (chunks == 1) {
                TestServer::Route changed = s.route;
                changed.etag = "\"v2\"";
                changed.misbehaviour = M::None;
                s.server.serve("/setup.exe", changed);
            }
        };
    };
    const Plant longPause = [](Scene &s) { s.options.reconnectPause = std::chrono::hours(1); };
    // What the earlier transfer left, and what is done to it: bytes written over the part or
    // its note, the note edited, the part replaced.
    const auto kept = [keyed](bool signs, std::function<bool(const Scene &)> then = {}) {
        return Plant([=](Scene &s) {
            if (signs) {
                keyed(s);
            }
            s.kept = then ? then : [](const Scene &) { return true; };
        });
    };
    const auto writes = [](const char *suffix, const QByteArray &bytes, QIODevice::OpenMode how) {
        return [=](const Scene &s) { return writeFile(s.path + suffix, bytes, how); };
    };
    const auto noteEdited = [](const char *from, const char *to) {
        return [=](const Scene &s) {
            const QString note = s.path + ".part.resume";
            return writeFile(note, contents(note).replace(from, to));
        };
    };
    const auto linked = [](const Scene &s) {
        return QFile::remove(s.path + ".part") && QFile::link(s.victim, s.path + ".part");
    };
    // The same bytes, in a file this updater did not make.
    const auto copied = [](const Scene &s) {
        return QFile::rename(s.path + ".part", s.path + ".moved") &&
               QFile::copy(s.path + ".moved", s.path + ".part");
    };
    row("two chunks and a piece", 2500, served(2500), {}, 0, "S C C L", done, Error::None,
        {"setup.exe 2500"});
    row("whole chunks only", 2048, served(2048), {}, 0, "S C C L", done, Error::None,
        {"setup.exe 2048"});
    row("a piece only", 700, served(700), {}, 0, "S L", done, Error::None, {"setup.exe 700"});
    // Writes are gathered 256 chunks at a time: the last chunk's reading comes before them.
    row("one gathered write", 262144, served(262144), {}, 0, gathered.toLatin1(), done, Error::None,
        {"setup.exe 262144"});
    row("keyed, several gathered blocks", 1048581, served(1048581), keyed, 0, "", done, Error::None,
        {"setup.exe 1048581"});
    row("stopped after the first chunk", 2500, served(2500), {}, 1, "S C", stopped, Error::None,
        {"setup.exe.part 1024"});
    // The digest's own thread ends with the transfer, whichever way it ends.
    row("keyed, stopped after the first chunk", 2500, served(2500), keyed, 1, "S C", stopped,
        Error::None, {"setup.exe.part 1024", "setup.exe.part.resume *"});
    row("stopped while the end is awaited", 3000, served(3001, M::Stall, 3000), {}, -1, "", stopped,
        Error::None, {"setup.exe.part 3000"});
    row("an older setup is replaced, no copy left", 3000, served(3000), old, 0, "", done,
        Error::None, {"setup.exe 3000"});
    row("the user's own .old beside it", 3000, served(3000), userOld, 0, "", done, Error::None,
        {"setup.exe 3000", "setup.exe.old precious"});
    row("a folder of the user's: a free name", 3000, served(3000), users, 0, "", done, Error::None,
        {"setup (1).exe 3000", "setup.exe precious"});
    row("side file links elsewhere", 3000, served(3000), partLink, 0, "", done, Error::None,
        {"setup.exe 3000"});
    row("FIFO at the side file", 3000, served(3000), partFifo, 0, "", done, Error::None,
        {"setup.exe 3000"});

    // Failures: why, and that nothing incomplete, unsigned or foreign takes the setup's name.
    row("fewer bytes than announced", 3000, served(2500), old, 0, "", failed, Error::CutShort,
        {"setup.exe precious", "setup.exe.part 2500"});
    row("connection lost", 3000, served(3000, M::CutShort, 2500), {}, 0, "", failed,
        Error::CutShort, {"setup.exe.part 2500"});
    row("connection reset", 3000, served(3000, M::Reset, 2500), {}, 0, "", failed, Error::CutShort,
        {"setup.exe.part *"});
    row("server stalls", 3000, served(3000, M::Stall, 1500), {}, 0, "", failed, Error::CutShort,
        {"setup.exe.part 1500"});
    row("stall after headers", 3000, served(3000, M::Stall, 0), {}, 0, "", failed, Error::CutShort,
        {"setup.exe.part "});
    TestServer::Route drip = served(3000);
    drip.bytesPerSecond = 5;
    row("server drips", 3000, drip, {}, 0, "", failed, Error::CutShort, {"setup.exe.part *"});
    row("more than announced", 2000, served(3000), {}, 0, "", failed, Error::TooLong, {});
    row("all bytes, the end held open", 3000, served(3001, M::Stall, 3000), {}, 0, "", failed,
        Error::NoEnd, {"setup.exe.part 3000"});
    row("404 with a page", 3000, served(3000, M::None, 0, 404), {}, 0, "", failed,
        Error::CannotOpen, {});
    row("500 with a page", 3000, served(3000, M::None, 0, 500), {}, 0, "", failed,
        Error::CannotOpen, {});
    row("redirect loop", 3000, TestServer::redirectTo("/setup.exe"), {}, 0, "", failed,
        Error::CannotOpen, {});
    row("redirect to a local file", 3000, TestServer::redirectTo("file:///etc/hostname"), {}, 0, "",
        failed, Error::CannotOpen, {});
    row("side file links elsewhere, not found", 3000, served(3000, M::None, 0, 404), partLink, 0,
        "", failed, Error::CannotOpen, {"setup.exe.part -> victim"});
    row("directory at the setup path", 3000, served(3000), setupDir, 0, "", failed,
        Error::CannotReplace, {"setup.exe/", "setup.exe.part 3000"});
    row("folder gone", 3000, served(3000), noFolder, 0, "", failed, Error::CannotCreate, {});
    row("disk full after 2 KiB", 3000, served(3000), full, 0, "", failed, Error::CannotWrite,
        {"setup.exe.part 2048"});
    row("side file swapped mid-transfer", 3000, served(3000), partSwap, 0, "", failed,
        Error::SideFileReplaced, {"moved 3000", "setup.exe.part foreign"});
    // Seen before the transfer: nothing is fetched ("-": no event at all).
    row("the setup's name is the updater's (a hard link)", 3000, served(3000), program(false), 0,
        "-", failed, Error::NamesProgram, {"kolup-updater updater", "setup.exe updater"});
    row("the updater linked there during the transfer", 3000, served(3000), program(true), 0, "",
        failed, Error::NamesProgram, {"kolup-updater updater", "setup.exe updater"});
    row("keyed, not the bytes the signature names", 3000, served(3000), sign("other bytes"), 0, "",
        failed, Error::NotSigned, {});

    // A broken connection is asked for the rest, only the exact rest is taken, and a server
    // that brings the file no further is given up on.
    const auto resumable = [](M how, int sendBytes, int times = 1, bool ranges = true) {
        TestServer::Route route = served(3000, how, sendBytes);
        route.etag = "\"v1\"";
        route.misbehaveTimes = times;
        route.ranges = ranges;
        return route;
    };
    const QString once = "- bytes=1500-@\"v1\"";
    const QString stalled = once + QString(" bytes=1500-@\"v1\"").repeated(4);
    row("a reset at half: the rest", 3000, resumable(M::Reset, 1500), {}, 0, "S C R C L", done,
        Error::None, {"setup.exe 3000"}, once.toLatin1());
    row("a stall past the no-data limit: the rest", 3000, resumable(M::Stall, 1500), {}, 0, "",
        done, Error::None, {"setup.exe 3000"}, once.toLatin1());
    // Started over: the whole file comes again, chunk by chunk.
    row("a 200 to the range: all again", 3000, resumable(M::Reset, 1500, 1, false), {}, 0,
        "S C R C C L", done, Error::None, {"setup.exe 3000"}, once.toLatin1());
    row("a changed ETag: all again", 3000, resumable(M::Reset, 1500), newEtag, 0, "S C R C C L",
        done, Error::None, {"setup.exe 3000"}, once.toLatin1());
    // A weak ETag says only that two files are alike: the time stamp decides instead.
    TestServer::Route weak = resumable(M::Reset, 1500);
    weak.etag = "W/\"v1\"";
    weak.headers = {qMakePair(QByteArray("Last-Modified"), QByteArray("Tue, 08 Dec 2026"))};
    row("a weak ETag: If-Range with Last-Modified", 3000, weak, {}, 0, "", done, Error::None,
        {"setup.exe 3000"}, "- bytes=1500-@Tue, 08 Dec 2026");
    TestServer::Route lying = resumable(M::Reset, 1500);
    lying.contentRange = "bytes 0-2999/3000";
    row("a wrong Content-Range: never mixed", 3000, lying, {}, 0, "", failed, Error::CannotOpen,
        {"setup.exe.part 1500", "setup.exe.part.resume *"}, once.toLatin1());
    row("no validator: all again", 3000, served(3000, M::Reset, 1500), {}, 0, "", failed,
        Error::CutShort, {"setup.exe.part 1500"}, "- - - - - -");
    row("five reconnects with no progress", 3000, resumable(M::Reset, 1500, 0), {}, 0, "", failed,
        Error::CutShort, {"setup.exe.part 1500", "setup.exe.part.resume *"}, stalled.toLatin1());
    row("always 200, cut at the same place", 3000, resumable(M::Reset, 1500, 0, false), {}, 0, "",
        failed, Error::CutShort, {"setup.exe.part 1500", "setup.exe.part.resume *"},
        stalled.toLatin1());
    TestServer::Route dripping = resumable(M::None, 0);
    dripping.cutEvery = 1000;
    dripping.body = served(9000).body;
    row("nine answers of 1000 bytes", 9000, dripping, {}, 0, "", done, Error::None,
        {"setup.exe 9000"});
    dripping.body = served(12000).body;
    row("ten reconnects, then no more", 12000, dripping, {}, 0, "", failed, Error::CutShort,
        {"setup.exe.part 11000", "setup.exe.part.resume *"});
    row("cancel in the pause before a reconnect", 3000, resumable(M::Reset, 1500), longPause, -2,
        "S C R L", stopped, Error::None, {"setup.exe.part 1500", "setup.exe.part.resume *"}, "-");

    // A part kept from a cancelled transfer of the same offer (its first chunk): continued
    // only when all of it is as this updater left it.
    const TestServer::Route again = resumable(M::None, 0);
    row("cancel, then again: the rest", 3000, again, kept(false), 0, "S C L", done, Error::None,
        {"setup.exe 3000"}, "bytes=1024-@\"v1\"");
    row("keyed, kept: the rest", 3000, again, kept(true), 0, "", done, Error::None,
        {"setup.exe 3000"}, "bytes=1024-@\"v1\"");
    row("keyed, the kept part tampered with", 3000, again,
        kept(true, writes(".part", "!", QIODevice::ReadWrite)), 0, "", failed, Error::NotSigned, {},
        "bytes=1024-@\"v1\"");
    row("kept part longer than the size", 3000, again,
        kept(false, writes(".part", QByteArray(2000, '!'), QIODevice::Append)), 0, "", done,
        Error::None, {"setup.exe 3000"}, "-");
    row("kept part is a link", 3000, again, kept(false, linked), 0, "", done, Error::None,
        {"setup.exe 3000"}, "-");
    row("kept note names another address", 3000, again,
        kept(false, noteEdited("/setup.exe", "/other.exe")), 0, "", done, Error::None,
        {"setup.exe 3000"}, "-");
    row("kept part swapped for another file", 3000, again, kept(false, copied), 0, "", done,
        Error::None, {"setup.exe 3000", "setup.exe.moved 1024"}, "-");
    row("kept note with a line more", 3000, again,
        kept(false, writes(".part.resume", "more 1\n", QIODevice::Append)), 0, "", done,
        Error::None, {"setup.exe 3000"}, "-");
    row("keyed, kept note's digest a byte longer", 3000, again,
        kept(true, noteEdited("\nfile ", "00\nfile ")), 0, "", done, Error::None,
        {"setup.exe 3000"}, "-");
    TestServer::Route ignoring = again;
    ignoring.ranges = false;
    row("cancel, then a 200 to the range: all again", 3000, ignoring, kept(false), 0, "", done,
        Error::None, {"setup.exe 3000"}, "bytes=1024-@\"v1\"");
    row("kept without a validator", 3000, served(3000), kept(false), 0, "", done, Error::None,
        {"setup.exe 3000"}, "-");
}

void TestSetupDownload::transfers()
{
    QFETCH(int, announced);
    QFETCH(TestServer::Route, route);
    QFETCH(Plant, planted);
    QFETCH(int, stopAt);
    QFETCH(QString, events);
    QFETCH(int, outcome);
    QFETCH(int, error);
    QFETCH(QStringList, left);
    QFETCH(QString, asked);
    m_server.serve("/setup.exe", route);
    QTemporaryDir dir;
    Scene scene{dir.filePath("folder"), dir.filePath("folder/setup.exe"), dir.filePath("victim"),
                m_server, route};
    scene.options.reconnectPause = std::chrono::milliseconds(1);
    QVERIFY(QDir().mkpath(scene.folder) && writeFile(scene.victim, "precious"));
    if (planted) {
        planted(scene);
    }
    if (QTest::currentTestFailed()) {
        return;
    }
    const QString &folder = scene.folder;
    const QString &path = scene.path;
    const std::optional<SetupBinding> &binding = scene.binding;
    const UpdateInfo info = updateInfo(2.0f, m_server.url("/setup.exe").toLatin1(), announced);
    const WebClient web({std::chrono::milliseconds(2000), std::chrono::milliseconds(500)});
    if (scene.kept) {
        // An earlier transfer of the same offer, cancelled after its first chunk.
        WatchingClock earlier;
        SetupDownload first(
            web, earlier, [](Event event, const SetupDownload &) { return event != Event::Chunk; },
            scene.options);
        QCOMPARE(first.run({info, path.toStdString(), binding}), Outcome::Cancelled);
        // Beside the part, what it is: where the server can say or the maker's digest prove it.
        QCOMPARE(QFile::exists(path + ".part.resume"), binding || !route.etag.isEmpty());
        QVERIFY(scene.kept(scene));
    }
    const qsizetype before = m_server.requests().size();
    WatchingClock clock;
    clock.watched = path + ".part";
    QStringList seen;
    QList<int> receivedAtChunks;
    bool ended = false;        // the last piece has come: what is awaited now is the end
    bool reconnecting = false; // a reconnect has begun its pause
    SetupDownload download(
        web, clock,
        [&](Event event, const SetupDownload &transfer) {
            static const char *const names[] = {"S", "C", "L", "W", "R"};
            if (event != Event::Waiting) {
                seen << names[int(event)];
            }
            ended = ended || event == Event::LastPiece;
            reconnecting = reconnecting || event == Event::Reconnecting;
            if (event == Event::Chunk) {
                receivedAtChunks << transfer.received();
                if (scene.onChunk) {
                    scene.onChunk(int(receivedAtChunks.size()));
                }
            }
            return !(event == Event::Chunk && receivedAtChunks.size() == stopAt) &&
                   !(event == Event::Waiting && ended && stopAt == -1) &&
                   !(event == Event::Waiting && reconnecting && stopAt == -2);
        },
        scene.options);
    // A full disk, as this process sees it: any file write past 2 KiB fails.
    rlimit unlimited{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    if (scene.fullDisk) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit full{2048, unlimited.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &full), 0);
    }
    const auto result = download.run({info, path.toStdString(), binding});
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);

    QVERIFY2(int(result) == outcome, download.errorText().c_str());
    QCOMPARE(int(download.error()), error);
    QCOMPARE(download.errorText().empty(), error == int(Error::None));
    QVERIFY2(download.errorText().starts_with(scene.why), download.errorText().c_str());
    if (!events.isEmpty()) {
        QCOMPARE(seen.join(' '), events == "-" ? QString() : events);
    }
    const bool clean = route.misbehaviour == M::None && route.bytesPerSecond == 0 &&
                       route.body.size() >= announced;
    for (qsizetype i = 0; i < receivedAtChunks.size() && clean; ++i) {
        // Exact, from the chunk a kept part ends in.
        const int first = download.resumedFrom() / 1024;
        QCOMPARE(receivedAtChunks[i], qMin(int(first + i + 1) * 1024, route.body.size()));
    }
    QStringList shown = listing(folder);
    for (qsizetype i = 0; i < left.size() && i < shown.size(); ++i) {
        if (left[i].endsWith(" *")) {
            shown[i] = shown[i].section(' ', 0, -2) + " *";
        }
    }
    QCOMPARE(shown, left);
    QCOMPARE(listing(dir.path()).filter("victim"), QStringList{"victim precious"});
    const bool completed = result == Outcome::Completed;
    QCOMPARE(download.verified().has_value(), completed);
    if (completed) {
        QFile setup(QString::fromStdString(download.verified()->path.string()));
        QVERIFY(setup.open(QIODevice::ReadOnly));
        QVERIFY(setup.readAll() == route.body); // exact: nothing mixed from another offset
    }
    if (!asked.isEmpty()) {
        QStringList ranges;
        for (const TestServer::Request &request : m_server.requests().mid(before)) {
            ranges << QString::fromLatin1(request.range());
        }
        QCOMPARE(ranges.join(' '), asked);
    }
    // Unsigned, the setup carries the address it came from, as browsers mark a download.
    char origin[256] = {};
    const ssize_t marked = completed ? ::getxattr(download.verified()->path.c_str(),
                                                  "user.xdg.origin.url", origin, sizeof origin)
                                     : -1;
    QCOMPARE(QByteArray(origin, int(std::max<ssize_t>(marked, 0))),
             completed && !binding ? m_server.url("/setup.exe").toLatin1() : "");
    QCOMPARE(completed && (binding ? std::optional(binding->digest) : std::nullopt) ==
                              download.verified()->digest,
             completed);
    // Only whole gathered blocks before the last chunk's time can have been written.
    QVERIFY(!scene.watched ||
            clock.largestSeen <= qMax(qint64(download.received() - 1) / 262144 * 262144,
                                      qint64(download.resumedFrom())));
}

void TestSetupDownload::digestThreadEnds_data()
{
    QTest::addColumn<int>("blocks");     // handed over
    QTest::addColumn<bool>("abandoned"); // before the thread is let go on the first block
    QTest::addColumn<int>("hashed");     // blocks the thread hashed in all
    QTest::newRow("idle, waiting for blocks") << 0 << false << 0;
    QTest::newRow("abandoned while three more wait") << 4 << true << 1;
    QTest::newRow("destroyed while hashing") << 1 << false << 1;
}

void TestSetupDownload::digestThreadEnds()
{
    QFETCH(int, blocks);
    QFETCH(bool, abandoned);
    QFETCH(int, hashed);
    // The thread is held inside its first block until let go; the moments are chosen by the
    // thread's own state, never by a sleep.
    std::atomic<int> seen{0};
    std::atomic<bool> letGo{false};
    auto digest = std::make_unique<BackgroundDigest>(16, [&](std::span<const std::byte>) {
        ++seen;
        while (!letGo) {
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < blocks; ++i) {
        digest->handOver(std::make_unique<std::byte[]>(16), 16);
    }
    while (blocks == 0 ? digest->state() != BackgroundDigest::State::Waiting : seen == 0) {
        std::this_thread::yield();
    }
    if (abandoned) {
        digest->abandon();
    }
    // Ended on a thread of its own: a destructor that never returns fails the row at once
    // instead of hanging the suite.
    auto ended = std::make_shared<std::promise<void>>();
    std::thread([&digest, ended] {
        digest.reset();
        ended->set_value();
    }).detach();
    letGo = true;
    if (ended->get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        qCritical("the digest's thread never ended");
        std::_Exit(1);
    }
    QCOMPARE(seen.load(), hashed);
}

QTEST_GUILESS_MAIN(TestSetupDownload)
#include "tst_setupdownload.moc"
