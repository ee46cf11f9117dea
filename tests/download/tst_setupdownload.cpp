#include "download/setupdownload.h"

#include "download/backgrounddigest.h"

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
        return now;
    }
    // Stepped through, and counted: the pauses a transfer made, in milliseconds.
    std::int64_t slept = 0;
    void sleep(std::chrono::milliseconds length) override
    {
        now += length.count();
        slept += length.count();
    }
};

namespace {

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

// Where the listener says stop.
enum class Stop { Never, AfterFirstChunk, AwaitingEnd, InPause };

// One transfer: what is served and planted, and what must come of it.
struct Row {
    int announced = 3000;
    TestServer::Route route = served(3000);
    Plant plant = {};
    Stop stop = Stop::Never;
    std::optional<QList<Event>> events = {}; // every event but Waiting, in order; unset: any
    Outcome outcome = Outcome::Completed;
    std::optional<Fault> fault = {};
    QStringList left = {};                 // the folder afterwards, see listing()
    std::optional<QStringList> asked = {}; // each request's range, see Request::range()
    std::optional<int> slept = {};         // the pauses before reconnects, in all; base 1 ms
};

} // namespace

Q_DECLARE_METATYPE(Row)

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
    QTest::addColumn<Row>("row");
    const auto row = [](const char *name, Row row) { QTest::newRow(name) << row; };
    const auto failed = Outcome::Failed;
    const auto stopped = Outcome::Cancelled;
    const Event S = Event::Started, C = Event::Chunk, R = Event::Reconnecting, L = Event::LastPiece;
    QList<Event> gathered = {S};
    gathered << QList<Event>(256, C) << L;
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
    // The file changes on the server after the first chunk; a broken cache may still answer
    // the request for the rest of the old one with the rest of the new one.
    const auto newEtag = [](bool ignoresIfRange) {
        return Plant([ignoresIfRange](Scene &s) {
            s.onChunk = [&s, ignoresIfRange](int chunks) {
                if (chunks == 1) {
                    TestServer::Route changed = s.route;
                    changed.etag = "\"v2\"";
                    changed.misbehaviour = M::None;
                    changed.ignoresIfRange = ignoresIfRange;
                    s.server.serve("/setup.exe", changed);
                }
            };
        });
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
    // A file of the user's, linked at the part's name, the note rewritten to name it.
    const auto hardLinked = [](const Scene &s) {
        const QString note = s.path + ".part.resume";
        const auto victim = *files::identityAt(s.victim.toStdString());
        QByteArray text = contents(note);
        text.truncate(text.indexOf("\nfile ") + 1);
        text += "file " + QByteArray::number(victim.device) + " " +
                QByteArray::number(victim.file) + " 0\n";
        return QFile::remove(s.path + ".part") &&
               ::link(QFile::encodeName(s.victim).constData(),
                      QFile::encodeName(s.path + ".part").constData()) == 0 &&
               writeFile(note, text);
    };
    // The clock's watch is then on a file of the user's: nothing may be written to it at all.
    const auto unwatched = [](Plant plant) {
        return Plant([plant](Scene &s) {
            plant(s);
            s.watched = false;
        });
    };
    // The same bytes, in a file this updater did not make.
    const auto copied = [](const Scene &s) {
        return QFile::rename(s.path + ".part", s.path + ".moved") &&
               QFile::copy(s.path + ".moved", s.path + ".part");
    };
    // One row a line or two, as a table reads.
    // clang-format off
    row("two chunks and a piece",
        {.announced = 2500, .route = served(2500), .events = {{S, C, C, L}},
         .left = {"setup.exe 2500"}});
    row("whole chunks only",
        {.announced = 2048, .route = served(2048), .events = {{S, C, C, L}},
         .left = {"setup.exe 2048"}});
    row("a piece only",
        {.announced = 700, .route = served(700), .events = {{S, L}}, .left = {"setup.exe 700"}});
    // Writes are gathered 256 chunks at a time: the last chunk's reading comes before them.
    row("one gathered write",
        {.announced = 262144, .route = served(262144), .events = gathered,
         .left = {"setup.exe 262144"}});
    row("keyed, several gathered blocks",
        {.announced = 1048581, .route = served(1048581), .plant = keyed,
         .left = {"setup.exe 1048581"}});
    row("stopped after the first chunk",
        {.announced = 2500, .route = served(2500), .stop = Stop::AfterFirstChunk,
         .events = {{S, C}}, .outcome = stopped, .fault = Fault::Cancelled,
         .left = {"setup.exe.part 1024"}});
    // The digest's own thread ends with the transfer, whichever way it ends.
    row("keyed, stopped after the first chunk",
        {.announced = 2500, .route = served(2500), .plant = keyed, .stop = Stop::AfterFirstChunk,
         .events = {{S, C}}, .outcome = stopped, .fault = Fault::Cancelled,
         .left = {"setup.exe.part 1024", "setup.exe.part.resume *"}});
    row("stopped while the end is awaited",
        {.route = served(3001, M::Stall, 3000), .stop = Stop::AwaitingEnd, .outcome = stopped,
         .fault = Fault::Cancelled, .left = {"setup.exe.part 3000"}});
    row("an older setup is replaced, no copy left", {.plant = old, .left = {"setup.exe 3000"}});
    row("the user's own .old beside it",
        {.plant = userOld, .left = {"setup.exe 3000", "setup.exe.old precious"}});
    row("a folder of the user's: a free name",
        {.plant = users, .left = {"setup (1).exe 3000", "setup.exe precious"}});
    // The user's own files at all hundred names: nothing is fetched, nothing is touched.
    const Plant allTaken = [](Scene &s) {
        s.options.keepOthers = true;
        for (int n = 0; n <= 99; ++n) {
            const QString name = n == 0 ? QString("setup.exe") : QString("setup (%1).exe").arg(n);
            QVERIFY(writeFile(s.folder + "/" + name, "x"));
        }
    };
    QStringList taken = {"setup.exe x"};
    for (int n = 1; n <= 99; ++n) {
        taken << QString("setup (%1).exe x").arg(n);
    }
    taken.sort();
    row("a folder of the user's, every name taken",
        {.plant = allTaken, .events = {{}}, .outcome = failed, .fault = Fault::NameTaken,
         .left = taken, .asked = QStringList{}});
    // A second name of a file of the user's at the side file's name: the next name is taken.
    const Plant usersLinked = [](Scene &s) {
        s.options.keepOthers = true;
        s.watched = false;
        QCOMPARE(::link(QFile::encodeName(s.victim).constData(),
                        QFile::encodeName(s.path + ".part").constData()), 0);
    };
    row("a folder of the user's, the side file's name a second name of another file",
        {.plant = usersLinked, .left = {"setup (1).exe 3000", "setup.exe.part precious"}});
    row("side file links elsewhere", {.plant = partLink, .left = {"setup.exe 3000"}});
    row("FIFO at the side file", {.plant = partFifo, .left = {"setup.exe 3000"}});

    // Failures: why, and that nothing incomplete, unsigned or foreign takes the setup's name.
    row("fewer bytes than announced",
        {.route = served(2500), .plant = old, .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe precious", "setup.exe.part 2500"}});
    row("connection lost",
        {.route = served(3000, M::CutShort, 2500), .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe.part 2500"}});
    row("connection reset",
        {.route = served(3000, M::Reset, 2500), .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe.part *"}});
    row("server stalls",
        {.route = served(3000, M::Stall, 1500), .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe.part 1500"}});
    row("stall after headers",
        {.route = served(3000, M::Stall, 0), .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe.part "}});
    TestServer::Route drip = served(3000);
    drip.bytesPerSecond = 5;
    row("server drips",
        {.route = drip, .outcome = failed, .fault = Fault::CutShort, .left = {"setup.exe.part *"}});
    row("more than announced", {.announced = 2000, .outcome = failed, .fault = Fault::TooLong});
    row("all bytes, the end held open",
        {.route = served(3001, M::Stall, 3000), .outcome = failed, .fault = Fault::NoEnd,
         .left = {"setup.exe.part 3000"}});
    row("404 with a page",
        {.route = served(3000, M::None, 0, 404), .outcome = failed, .fault = Fault::Unreachable});
    row("500 with a page",
        {.route = served(3000, M::None, 0, 500), .outcome = failed, .fault = Fault::Unreachable});
    row("redirect loop",
        {.route = TestServer::redirectTo("/setup.exe"), .outcome = failed,
         .fault = Fault::Unreachable});
    row("redirect to a local file",
        {.route = TestServer::redirectTo("file:///etc/hostname"), .outcome = failed,
         .fault = Fault::Unreachable});
    row("side file links elsewhere, not found",
        {.route = served(3000, M::None, 0, 404), .plant = partLink, .outcome = failed,
         .fault = Fault::Unreachable, .left = {"setup.exe.part -> victim"}});
    row("directory at the setup path",
        {.plant = setupDir, .outcome = failed, .fault = Fault::NotRegular,
         .left = {"setup.exe/", "setup.exe.part 3000"}});
    row("folder gone", {.plant = noFolder, .outcome = failed, .fault = Fault::System});
    row("disk full after 2 KiB",
        {.plant = full, .outcome = failed, .fault = Fault::System,
         .left = {"setup.exe.part 2048"}});
    row("side file swapped mid-transfer",
        {.plant = partSwap, .outcome = failed, .fault = Fault::Replaced,
         .left = {"moved 3000", "setup.exe.part foreign"}});
    // Seen before the transfer: nothing is fetched, no event at all.
    row("the setup's name is the updater's (a hard link)",
        {.plant = program(false), .events = {{}}, .outcome = failed, .fault = Fault::IsProgram,
         .left = {"kolup-updater updater", "setup.exe updater"}});
    row("the updater linked there during the transfer",
        {.plant = program(true), .outcome = failed, .fault = Fault::IsProgram,
         .left = {"kolup-updater updater", "setup.exe updater"}});
    row("keyed, not the bytes the signature names",
        {.plant = sign("other bytes"), .outcome = failed, .fault = Fault::NotSigned});

    // A broken connection is asked for the rest, only the exact rest is taken, and a server
    // that brings the file no further is given up on.
    const auto resumable = [](M how, int sendBytes, int times = 1, bool ranges = true) {
        TestServer::Route route = served(3000, how, sendBytes);
        route.etag = "\"v1\"";
        route.misbehaveTimes = times;
        route.ranges = ranges;
        return route;
    };
    const QStringList once = {"-", "bytes=1500-@\"v1\""};
    const QStringList stalled = once + QStringList(4, "bytes=1500-@\"v1\"");
    // No answer at all to a reconnect: another try, within the same bounds.
    const Plant silentOnce = [](Scene &s) {
        s.onChunk = [&s](int chunks) {
            if (chunks == 1) {
                TestServer::Route changed = s.route;
                changed.misbehaviour = M::HangUp;
                changed.misbehaveTimes = 1; // counted anew from here: the first reconnect
                s.server.serve("/setup.exe", changed);
            }
        };
    };
    row("no answer to a reconnect, then the rest",
        {.route = resumable(M::Reset, 1500), .plant = silentOnce, .left = {"setup.exe 3000"},
         .asked = once + QStringList{"bytes=1500-@\"v1\""}});
    // A break after new bytes is reconnected at once.
    row("a reset at half: the rest",
        {.route = resumable(M::Reset, 1500), .events = {{S, C, R, C, L}},
         .left = {"setup.exe 3000"}, .asked = once, .slept = 0});
    row("a stall past the no-data limit: the rest",
        {.route = resumable(M::Stall, 1500), .left = {"setup.exe 3000"}, .asked = once});
    // Started over: the whole file comes again, chunk by chunk.
    row("a 200 to the range: all again",
        {.route = resumable(M::Reset, 1500, 1, false), .events = {{S, C, R, C, C, L}},
         .left = {"setup.exe 3000"}, .asked = once});
    row("a changed ETag: all again",
        {.route = resumable(M::Reset, 1500), .plant = newEtag(false),
         .events = {{S, C, R, C, C, L}}, .left = {"setup.exe 3000"}, .asked = once});
    row("a 206 of a changed ETag: all again",
        {.route = resumable(M::Reset, 1500), .plant = newEtag(true), .events = {{S, C, R, C, C, L}},
         .left = {"setup.exe 3000"}, .asked = once + QStringList{"-"}});
    // A weak ETag says only that two files are alike: the time stamp decides instead.
    TestServer::Route weak = resumable(M::Reset, 1500);
    weak.etag = "W/\"v1\"";
    weak.headers = {qMakePair(QByteArray("Last-Modified"), QByteArray("Tue, 08 Dec 2026"))};
    row("a weak ETag: If-Range with Last-Modified",
        {.route = weak, .left = {"setup.exe 3000"},
         .asked = QStringList{"-", "bytes=1500-@Tue, 08 Dec 2026"}});
    TestServer::Route lying = resumable(M::Reset, 1500);
    lying.contentRange = "bytes 0-2999/3000";
    row("a wrong Content-Range: never mixed",
        {.route = lying, .outcome = failed, .fault = Fault::Refused,
         .left = {"setup.exe.part 1500", "setup.exe.part.resume *"}, .asked = once});
    row("no validator: all again",
        {.route = served(3000, M::Reset, 1500), .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe.part 1500"}, .asked = QStringList(6, "-")});
    // The first reconnect follows bytes: none; then 1, 2, 4 and 8 ms, doubling each time.
    row("five reconnects with no progress",
        {.route = resumable(M::Reset, 1500, 0), .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe.part 1500", "setup.exe.part.resume *"}, .asked = stalled,
         .slept = 1 + 2 + 4 + 8});
    row("always 200, cut at the same place",
        {.route = resumable(M::Reset, 1500, 0, false), .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe.part 1500", "setup.exe.part.resume *"}, .asked = stalled});
    TestServer::Route dripping = resumable(M::None, 0);
    dripping.cutEvery = 1000;
    dripping.body = served(9000).body;
    // Each answer brings bytes: never a pause.
    row("nine answers of 1000 bytes",
        {.announced = 9000, .route = dripping, .left = {"setup.exe 9000"}, .slept = 0});
    dripping.body = served(12000).body;
    row("ten reconnects, then no more",
        {.announced = 12000, .route = dripping, .outcome = failed, .fault = Fault::CutShort,
         .left = {"setup.exe.part 11000", "setup.exe.part.resume *"}});
    // Cancelled in the pause: the copy ends there, without a last piece.
    // The first answer brings nothing, so an hour's pause comes first: the cancel ends it at once.
    row("cancel in the pause before a reconnect",
        {.route = resumable(M::Stall, 0), .plant = longPause, .stop = Stop::InPause,
         .events = {{S, R}}, .outcome = stopped, .fault = Fault::Cancelled,
         .left = {"setup.exe.part ", "setup.exe.part.resume *"}, .asked = QStringList{"-"},
         .slept = 0});

    // A part kept from a cancelled transfer of the same offer (its first chunk): continued
    // only when all of it is as this updater left it.
    const TestServer::Route again = resumable(M::None, 0);
    const QStringList rest = {"bytes=1024-@\"v1\""};
    const QStringList whole = {"-"};
    row("cancel, then again: the rest",
        {.route = again, .plant = kept(false), .events = {{S, C, L}}, .left = {"setup.exe 3000"},
         .asked = rest});
    row("keyed, kept: the rest",
        {.route = again, .plant = kept(true), .left = {"setup.exe 3000"}, .asked = rest});
    row("keyed, the kept part tampered with",
        {.route = again, .plant = kept(true, writes(".part", "!", QIODevice::ReadWrite)),
         .outcome = failed, .fault = Fault::NotSigned, .asked = rest});
    row("kept part longer than the size",
        {.route = again,
         .plant = kept(false, writes(".part", QByteArray(2000, '!'), QIODevice::Append)),
         .left = {"setup.exe 3000"}, .asked = whole});
    row("kept part is a link",
        {.route = again, .plant = kept(false, linked), .left = {"setup.exe 3000"}, .asked = whole});
    row("kept part hard-linked to a file of the user's",
        {.route = again, .plant = unwatched(kept(false, hardLinked)),
         .left = {"setup.exe 3000", "setup.exe.part precious"}, .asked = whole});
    row("kept note names another address",
        {.route = again, .plant = kept(false, noteEdited("/setup.exe", "/other.exe")),
         .left = {"setup.exe 3000"}, .asked = whole});
    row("kept part swapped for another file",
        {.route = again, .plant = kept(false, copied),
         .left = {"setup.exe 3000", "setup.exe.moved 1024"}, .asked = whole});
    row("kept note with a line more",
        {.route = again,
         .plant = kept(false, writes(".part.resume", "more 1\n", QIODevice::Append)),
         .left = {"setup.exe 3000"}, .asked = whole});
    row("keyed, kept note's digest a byte longer",
        {.route = again, .plant = kept(true, noteEdited("\nfile ", "00\nfile ")),
         .left = {"setup.exe 3000"}, .asked = whole});
    TestServer::Route ignoring = again;
    ignoring.ranges = false;
    row("cancel, then a 200 to the range: all again",
        {.route = ignoring, .plant = kept(false), .left = {"setup.exe 3000"}, .asked = rest});
    // What the server says of the rest decides what becomes of the kept part.
    const auto answers = [kept](TestServer::Route route) {
        return kept(false, [route](const Scene &s) {
            s.server.serve("/setup.exe", route);
            return true;
        });
    };
    row("cancel, then a 416: the part goes",
        {.route = again, .plant = answers({.status = 416}), .outcome = failed,
         .fault = Fault::Unreachable, .left = {}, .asked = rest});
    row("cancel, then no answer: the part stays",
        {.route = again, .plant = answers({.misbehaviour = M::HangUp}), .outcome = failed,
         .fault = Fault::Unreachable,
         .left = {"setup.exe.part 1024", "setup.exe.part.resume *"}, .asked = rest});
    // Started over, nothing of the earlier bytes stays in the file, its checksum or its digest.
    row("keyed, a 200 to the range: all again",
        {.route = resumable(M::Reset, 1500, 1, false), .plant = keyed,
         .events = {{S, C, R, C, C, L}}, .left = {"setup.exe 3000"}, .asked = once});
    row("kept without a validator",
        {.plant = kept(false), .left = {"setup.exe 3000"}, .asked = whole});
    // clang-format on
}

void TestSetupDownload::transfers()
{
    QFETCH(Row, row);
    const TestServer::Route &route = row.route;
    m_server.serve("/setup.exe", route);
    QTemporaryDir dir;
    Scene scene{dir.filePath("folder"), dir.filePath("folder/setup.exe"), dir.filePath("victim"),
                m_server, route};
    scene.options.reconnectPause = std::chrono::milliseconds(1);
    QVERIFY(QDir().mkpath(scene.folder) && writeFile(scene.victim, "precious"));
    if (row.plant) {
        row.plant(scene);
    }
    if (QTest::currentTestFailed()) {
        return;
    }
    const QString &folder = scene.folder;
    const QString &path = scene.path;
    const std::optional<SetupBinding> &binding = scene.binding;
    const UpdateInfo info = updateInfo(2.0f, m_server.url("/setup.exe").toLatin1(), row.announced);
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
    QList<Event> seen;
    QList<int> receivedAtChunks;
    bool ended = false;        // the last piece has come: what is awaited now is the end
    bool reconnecting = false; // a reconnect has begun its pause
    SetupDownload download(
        web, clock,
        [&](Event event, const SetupDownload &transfer) {
            if (event != Event::Waiting) {
                seen << event;
            }
            ended = ended || event == Event::LastPiece;
            reconnecting = reconnecting || event == Event::Reconnecting;
            if (event == Event::Chunk) {
                receivedAtChunks << transfer.received();
                if (scene.onChunk) {
                    scene.onChunk(int(receivedAtChunks.size()));
                }
            }
            return !(event == Event::Chunk && receivedAtChunks.size() == 1 &&
                     row.stop == Stop::AfterFirstChunk) &&
                   !(event == Event::Waiting && ended && row.stop == Stop::AwaitingEnd) &&
                   !(event == Event::Waiting && reconnecting && row.stop == Stop::InPause);
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
    if (row.slept) {
        QCOMPARE(int(clock.slept), *row.slept);
    }

    const std::string why = download.failure() ? download.failure()->text : "";
    QVERIFY2(result == row.outcome, why.c_str());
    QCOMPARE(download.failure() ? std::optional(download.failure()->fault) : std::nullopt,
             row.fault);
    QVERIFY2(why.starts_with(scene.why), why.c_str());
    if (row.events) {
        QCOMPARE(seen, *row.events);
    }
    const bool clean = route.misbehaviour == M::None && route.bytesPerSecond == 0 &&
                       route.body.size() >= row.announced;
    for (qsizetype i = 0; i < receivedAtChunks.size() && clean; ++i) {
        // Exact, from the chunk a kept part ends in.
        const int first = download.resumedFrom() / 1024;
        QCOMPARE(receivedAtChunks[i], qMin(int(first + i + 1) * 1024, route.body.size()));
    }
    QStringList shown = listing(folder);
    for (qsizetype i = 0; i < row.left.size() && i < shown.size(); ++i) {
        if (row.left[i].endsWith(" *")) {
            shown[i] = shown[i].section(' ', 0, -2) + " *";
        }
    }
    QCOMPARE(shown, row.left);
    QCOMPARE(listing(dir.path()).filter("victim"), QStringList{"victim precious"});
    const bool completed = result == Outcome::Completed;
    QCOMPARE(download.verified().has_value(), completed);
    if (completed) {
        QFile setup(QString::fromStdString(download.verified()->path.string()));
        QVERIFY(setup.open(QIODevice::ReadOnly));
        QVERIFY(setup.readAll() == route.body); // exact: nothing mixed from another offset
        QVERIFY(download.verified()->openIfUnchanged().isOpen()); // and its checksum the same
    }
    if (row.asked) {
        QStringList ranges;
        for (const TestServer::Request &request : m_server.requests().mid(before)) {
            ranges << QString::fromLatin1(request.range());
        }
        QCOMPARE(ranges, *row.asked);
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
