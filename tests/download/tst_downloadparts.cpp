#include "download/keptpart.h"
#include "download/rangefetch.h"
#include "download/sidefile.h"
#include "testfiles.h"
#include "testserver.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <unistd.h>

namespace {

using Found = KeptPart::Found;
using Edit = std::function<void(ResumeNote &note, KeptPart::Wanted &wanted)>;

// A part as an earlier transfer left it, changed in one rule from one that is continued.
struct KeptRow {
    Edit edit = {};
    qint64 partBytes = 1024;
    bool link = false;     // the part is a link to a file of that length, the note naming the link
    bool hardLink = false; // the part has a second name elsewhere; the note names its identity
    bool note = true;
    Found found = Found::Resumable;
};

// A request for the rest from byte 1024 of a 3000-byte file, with If-Range "v1" (or the date).
struct AnswerRow {
    TestServer::Route route;
    QByteArray ifRange = "\"v1\"";
    int from = 1024;
    std::optional<RangeFetch::Answer> answer = {}; // unset: refused
    std::optional<Fault> fault = {};
};

} // namespace

Q_DECLARE_METATYPE(KeptRow)
Q_DECLARE_METATYPE(AnswerRow)

// The download's parts on their own: what decides that a kept part is continued, and what each
// answer to a request for the rest means.
class TestDownloadParts : public QObject {
    Q_OBJECT
private slots:
    void keptPart_data();
    void keptPart();
    void rangeAnswers_data();
    void rangeAnswers();
    void readBack_data();
    void readBack();
    void noteReader_data();
    void noteReader();

private:
    TestServer m_server;
};

void TestDownloadParts::keptPart_data()
{
    QTest::addColumn<KeptRow>("row");
    const auto row = [](const char *name, KeptRow row) { QTest::newRow(name) << row; };
    const Digest digest = blake2b(std::as_bytes(std::span("setup", 5)));
    row("as it was left", {});
    row("no note", {.note = false, .found = Found::Nothing});
    row("a note for another address",
        {.edit = [](ResumeNote &note, auto &) { note.address += "x"; }, .found = Found::Stale});
    row("a note for another size",
        {.edit = [](ResumeNote &note, auto &) { note.size += 1; }, .found = Found::Stale});
    row("a note for another file's part",
        {.edit = [](ResumeNote &note, auto &) { note.identity.file += 1; }, .found = Found::Stale});
    row("unkeyed, no validator",
        {.edit = [](ResumeNote &note, auto &) { note.validator.clear(); }, .found = Found::Stale});
    row("keyed, no validator: the digest decides", {.edit = [digest](ResumeNote &note, auto &w) {
            note.validator.clear();
            note.digest = w.digest = digest;
        }});
    row("keyed, the note unkeyed",
        {.edit = [digest](ResumeNote &, auto &w) { w.digest = digest; }, .found = Found::Stale});
    row("unkeyed, the note keyed",
        {.edit = [digest](ResumeNote &note, auto &) { note.digest = digest; },
         .found = Found::Stale});
    // The part's length at the edges: something to continue, and something left to ask for.
    row("an empty part", {.partBytes = 0, .found = Found::Stale});
    row("a part of one byte", {.partBytes = 1});
    row("a part one byte short of the file", {.partBytes = 2999});
    row("a part as long as the file", {.partBytes = 3000, .found = Found::Stale});
    row("a link, its own identity noted", {.link = true, .found = Found::Stale});
    row("a second name elsewhere", {.hardLink = true, .found = Found::Foreign});
}

void TestDownloadParts::keptPart()
{
    QFETCH(KeptRow, row);
    QTemporaryDir dir;
    const QString part = dir.filePath("setup.exe.part");
    const QString file = row.link ? dir.filePath("elsewhere") : part;
    QVERIFY(writeFile(file, QByteArray(int(row.partBytes), 'k')));
    QVERIFY(!row.link || QFile::link(file, part));
    QVERIFY(!row.hardLink || ::link(QFile::encodeName(part).constData(),
                                    QFile::encodeName(dir.filePath("victim")).constData()) == 0);
    KeptPart::Wanted wanted{"http://host/setup.exe", 3000, std::nullopt};
    ResumeNote note{wanted.address, wanted.size, "\"v1\"", std::nullopt,
                    *files::identityAt(part.toStdString())};
    if (row.edit) {
        row.edit(note, wanted);
    }
    if (row.note) {
        QVERIFY(writeResumeNote(resumeNotePath(part.toStdString()), note).ok());
    }
    const KeptPart kept = KeptPart::find(part.toStdString(), wanted);
    QCOMPARE(kept.found(), row.found);
    QCOMPARE(kept.bytes(), row.found == Found::Resumable ? row.partBytes : 0);
}

void TestDownloadParts::rangeAnswers_data()
{
    QTest::addColumn<AnswerRow>("row");
    const auto row = [](const char *name, AnswerRow row) { QTest::newRow(name) << row; };
    using M = TestServer::Misbehaviour;
    TestServer::Route route;
    route.body = pattern(3000);
    route.etag = "\"v1\"";
    route.ranges = true;
    const auto with = [route](const std::function<void(TestServer::Route &)> &change) {
        TestServer::Route changed = route;
        change(changed);
        return changed;
    };
    const auto ranged = [with](const char *contentRange) {
        return with([contentRange](TestServer::Route &r) { r.contentRange = contentRange; });
    };
    using enum RangeFetch::Answer;
    row("the exact rest", {.route = route, .answer = Rest});
    row("the rest from byte 1", {.route = route, .from = 1, .answer = Rest});
    row("a 206 from another byte",
        {.route = ranged("bytes 1000-2999/3000"), .fault = Fault::Refused});
    row("a 206 to another end", {.route = ranged("bytes 1024-2998/3000"), .fault = Fault::Refused});
    row("a 206 of another total",
        {.route = ranged("bytes 1024-3000/3001"), .fault = Fault::Refused});
    row("a 200: the whole file",
        {.route = with([](auto &r) { r.ranges = false; }), .answer = Whole});
    row("another ETag: the whole file",
        {.route = with([](auto &r) { r.etag = "\"v2\""; }), .answer = Whole});
    row("416", {.route = with([](auto &r) { r.status = 416; }), .fault = Fault::Unreachable});
    row("no answer at all",
        {.route = with([](auto &r) { r.misbehaviour = M::HangUp; }), .fault = Fault::Unreachable});
    // A server or cache that gets If-Range wrong: the rest of another file is never taken.
    const auto wrong = [with](const char *etag, const char *modified) {
        return with([=](TestServer::Route &r) {
            r.etag = etag;
            r.ignoresIfRange = true;
            r.headers = {{"Last-Modified", modified}};
        });
    };
    const QByteArray date = "Tue, 08 Dec 2026 10:00:00 GMT";
    row("a 206 of another ETag: the whole file", {.route = wrong("\"v2\"", ""), .answer = Whole});
    row("a 206 without an ETag: the whole file", {.route = wrong("", ""), .answer = Whole});
    row("a 206 of the date asked", {.route = wrong("", date), .ifRange = date, .answer = Rest});
    row("a 206 of another date: the whole file",
        {.route = wrong("", "Wed, 09 Dec 2026 10:00:00 GMT"), .ifRange = date, .answer = Whole});
}

void TestDownloadParts::rangeAnswers()
{
    QFETCH(AnswerRow, row);
    m_server.serve("/setup.exe", row.route);
    const WebClient web({std::chrono::milliseconds(2000), std::chrono::milliseconds(500)});
    SteadyClock clock;
    RangeFetch fetch(web, clock, {m_server.url("/setup.exe").toStdString(), 3000},
                     [] { return true; });
    const auto answer = fetch.open(row.from, row.ifRange.toStdString());
    QCOMPARE(answer ? std::optional(*answer) : std::nullopt, row.answer);
    QCOMPARE(answer ? std::nullopt : std::optional(answer.failure().fault), row.fault);
    if (answer) {
        // The bytes are the file's own from where the answer says it starts.
        const qsizetype from = *answer == RangeFetch::Answer::Rest ? row.from : 0;
        QByteArray head(16, '\0');
        QCOMPARE(fetch.read(std::as_writable_bytes(std::span(head.data(), 16))), 16U);
        QCOMPARE(head, row.route.body.mid(from, 16));
    }
}

void TestDownloadParts::readBack_data()
{
    QTest::addColumn<int>("stopAt"); // the turn at which the window says stop; 0: never
    QTest::newRow("read back whole") << 0;
    QTest::newRow("a cancel at the first turn") << 1;
    QTest::newRow("a cancel half-way") << 512;
}

// A kept part of 256 MiB (sparse: it takes no room) is read back with the window's turns in
// between, and a cancel during it ends it at once, the part left as it was.
void TestDownloadParts::readBack()
{
    QFETCH(int, stopAt);
    QTemporaryDir dir;
    const QString part = dir.filePath("setup.exe.part");
    const qint64 size = qint64(256) << 20;
    QFile file(part);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
    file.close();
    int turns = 0;
    SideFile side(false);
    const bool resumed = side.resume(part.toStdString(), *files::identityAt(part.toStdString()),
                                     size, [&] { return ++turns != stopAt; });
    QCOMPARE(resumed, stopAt == 0);
    // A turn a block at the least, and none after the cancel.
    QCOMPARE(turns, stopAt == 0 ? int(size / SideFile::BlockSize) : stopAt);
    QCOMPARE(side.failure().fault, stopAt == 0 ? Fault::System : Fault::Cancelled);
    QCOMPARE(QFileInfo(part).size(), size);
}

void TestDownloadParts::noteReader_data()
{
    // A note as the updater writes it, then changed in one place: was>is.
    QTest::addColumn<QByteArray>("edit");
    QTest::addColumn<bool>("taken");
    const auto row = [](const char *name, const QByteArray &edit, bool taken) {
        QTest::newRow(name) << edit << taken;
    };
    row("as written", "", true);
    row("another heading", "resume 1>resume 2", false);
    row("no address", "address http://h/s.exe>address ", false);
    row("a control byte in the address", "h/s.exe>h/s\x01.exe", false);
    row("a size of 0", "size 3000>size 0", false);
    row("a size of 1", "size 3000>size 1", true);
    row("a negative size", "size 3000>size -3000", false);
    row("a size with a leading zero", "size 3000>size 03000", false);
    row("a size past 63 bits", "size 3000>size 9223372036854775808", false);
    row("a control byte in the validator", "\"v1\">\"v\x7f\"", false);
    row("a validator of 512 bytes", "\"v1\">" + QByteArray(512, 'v'), true);
    row("a validator of 513 bytes", "\"v1\">" + QByteArray(513, 'v'), false);
    row("a digest a byte short", "blake2b >blake2b " + QByteArray(126, 'a'), false);
    row("a digest of 64 bytes", "blake2b >blake2b " + QByteArray(128, 'a'), true);
    row("a digest in capitals", "blake2b >blake2b " + QByteArray(128, 'A'), false);
    row("an identity of two numbers", "file 1 2 3>file 1 2", false);
    row("an identity of four numbers", "file 1 2 3>file 1 2 3 4", false);
    row("an identity with a letter", "file 1 2 3>file 1 x 3", false);
    row("an identity with a space after it", "file 1 2 3>file 1 2 3 ", false);
    row("a field too many", "file 1 2 3\n>file 1 2 3\nmore 1\n", false);
    row("a field missing", "blake2b \n>", false);
    row("two fields swapped", "size 3000\nvalidator \"v1\">validator \"v1\"\nsize 3000", false);
    row("no last line end", "file 1 2 3\n>file 1 2 3", false);
    row("Windows line ends", "\n>\r\n", false);
}

// The note is read from a folder that others can write: only its one written form is taken.
void TestDownloadParts::noteReader()
{
    QFETCH(QByteArray, edit);
    QFETCH(bool, taken);
    QByteArray text = "kolup-resume 1\naddress http://h/s.exe\nsize 3000\nvalidator "
                      "\"v1\"\nblake2b \nfile 1 2 3\n";
    if (!edit.isEmpty()) {
        const qsizetype split = edit.indexOf('>');
        QVERIFY(text.contains(edit.left(split)));
        text.replace(edit.left(split), edit.mid(split + 1));
    }
    const auto note = parseResumeNote(std::string_view(text.constData(), text.size()));
    QCOMPARE(note.has_value(), taken);
    if (note) {
        QCOMPARE(QByteArray::fromStdString(resumeNoteText(*note)), text);
    }
}

QTEST_GUILESS_MAIN(TestDownloadParts)
#include "tst_downloadparts.moc"
