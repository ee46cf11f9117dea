#include "app/qt/form1window.h"
#include "fakes.h"
#include "minisign.h"
#include "records.h"
#include "testfiles.h"
#include "testserver.h"
#include "update/binding.h"
#include "update/log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <functional>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

constexpr auto RecordPath = "/kolup/KOLUP_VERSION.txt";

// Bytes this process has read from files and sockets so far.
qint64 bytesRead()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray all = io.readAll();
    const qsizetype at = all.indexOf("rchar: ") + 7;
    return all.mid(at, all.indexOf('\n', at) - at).toLongLong();
}

void clickSoon(Form1Window &window, const char *button)
{
    QTimer::singleShot(0, window.findChild<QPushButton *>(button), &QPushButton::click);
}

// Clicks the button in the first event round in which the window shows `when`.
void clickWhen(Form1Window &window, const char *button, std::function<bool()> when)
{
    onceWhen(&window, std::move(when),
             [&window, button] { window.findChild<QPushButton *>(button)->click(); });
}

} // namespace

// A window on a test platform whose person answers OK to the offer; with usersFolder, the
// setup goes to a folder of the user's, not made yet, as when the program's cannot be written.
struct Session {
    TestPlatform test;
    Form1Window window;
    explicit Session(const QString &versionUrl, bool usersFolder = false)
        : test(versionUrl), window(prepared(test, usersFolder), &test.prompt)
    {
        window.show();
    }
    static const Platform &prepared(TestPlatform &test, bool usersFolder)
    {
        test.prompt.answer = true;
        if (usersFolder) {
            test.platform.setupFolder = {test.dir.filePath("Downloads").toStdString(), true, false};
        }
        return test.platform;
    }
};

class TestForm1Download;
// What a row does between the download and the close, with the setup's path.
using Change = std::function<void(TestForm1Download &, Session &, const QString &)>;
Q_DECLARE_METATYPE(Change)

class TestForm1Download : public QObject {
    Q_OBJECT
private slots:
    void completes_data();
    void completes();
    void speedIsAverageSinceStart_data();
    void speedIsAverageSinceStart();
    void cancelKeepsPartialAndStartsNothing();
    void newTransferClearsEarlierCancel();
    void closeDuringTransferStartsNothing_data();
    void closeDuringTransferStartsNothing();
    void whatCloseStarts_data();
    void whatCloseStarts();
    void keyedUpdates_data();
    void keyedUpdates();
    void checkDuringTransferIsIgnored();
    void endings_data();
    void endings();

private:
    // Serves a setup file of `body` announced as `size` bytes, and offers it.
    void offer(const QByteArray &body, int size, TestServer::Route route = {});

    TestServer m_server;
};

void TestForm1Download::offer(const QByteArray &body, int size, TestServer::Route route)
{
    route.body = body;
    m_server.serve("/kolup/KolupSetup.exe", route);
    m_server.serve(RecordPath,
                   recordBytes(1.5f, m_server.url("/kolup/KolupSetup.exe").toLatin1(), size));
}

void TestForm1Download::completes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("usersFolder");
    QTest::addColumn<QStringList>("present"); // files of the user's already there
    QTest::addColumn<QString>("saved");       // the name the setup takes
    const QString plain = QStringLiteral("KolupSetup.exe");
    QTest::newRow("whole chunks, empty last piece")
        << 3072 << plain << false << QStringList() << plain;
    QTest::newRow("last piece of 628 bytes") << 3700 << plain << false << QStringList() << plain;
    QTest::newRow("below one chunk") << 1000 << plain << false << QStringList() << plain;
    QTest::newRow("one byte") << 1 << plain << false << QStringList() << plain;
    QTest::newRow("a space in the name")
        << 2000 << "my setup.exe" << false << QStringList() << "my setup.exe";
    QTest::newRow("the user's folder, made now") << 3000 << plain << true << QStringList() << plain;
    // As a browser names a second copy, past the names a file or a side file holds.
    QTest::newRow("the user's files of that name")
        << 3000 << plain << true
        << QStringList{plain, "KolupSetup (1).exe", "KolupSetup (2).exe.part"}
        << "KolupSetup (3).exe";
    QStringList taken{plain};
    for (int number = 1; number < 99; ++number) {
        taken << QStringLiteral("KolupSetup (%1).exe").arg(number);
    }
    QTest::newRow("the last free name, (99)")
        << 3000 << plain << true << taken << "KolupSetup (99).exe";
}

void TestForm1Download::completes()
{
    QFETCH(int, size);
    QFETCH(QString, name);
    QFETCH(bool, usersFolder);
    QFETCH(QStringList, present);
    QFETCH(QString, saved);
    const QByteArray body = pattern(size);
    // Sent percent-encoded, as a browser sends it; saved under the name as it stands.
    m_server.serve("/kolup/" + QUrl::toPercentEncoding(name), body);
    m_server.serve(RecordPath,
                   recordBytes(1.5f,
                               "http://127.0.0.1:" + QByteArray::number(m_server.port()) +
                                   "/kolup/" + name.toLatin1(),
                               size));
    Session session(m_server.url(RecordPath), usersFolder);
    auto &[test, window] = session;
    const QDir folder(test.programDir());
    QCOMPARE(folder.exists(), !usersFolder); // not made at start
    QVERIFY(present.isEmpty() || QDir().mkpath(folder.path()));
    for (const QString &file : present) {
        QVERIFY(writeFile(folder.filePath(file), "precious"));
    }
    test.clock.step = 250;
    window.findChild<QLabel *>("Label13")->setText(QStringLiteral("NO UPDATE AVAILABLE"));
    window.form().Command1_Click();

    const QString setup = folder.filePath(saved);
    QCOMPARE(qtPath(window.form().state().SetupPath), setup);
    QCOMPARE(contents(setup), body);
    for (const QString &file : present) {
        QCOMPARE(contents(folder.filePath(file)), QByteArray("precious"));
    }
    QStringList left = present << saved; // and nothing else: no side file, no aside copy
    left.sort();
    QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden, QDir::Name), left);
    QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOAD COMPLETED.."));
    QCOMPARE(text(window, "Label7"), QStringLiteral(" 100%"));
    QCOMPARE(text(window, "Label13"), QString());
    QVERIFY(text(window, "Label9").endsWith(QStringLiteral(" Kb sec")));
    QVERIFY(!text(window, "Label9").contains(QStringLiteral("inf")));
    auto *message = window.findChild<QPlainTextEdit *>("Text2");
    QVERIFY(message->isVisible());
    QCOMPARE(message->toPlainText(),
             "Kolup setup file has been downloaded and saved as: " + setup +
                 ".  Before Intalling New Kolup version , Make sure old Version has been removed "
                 "from system.");
    QVERIFY(window.findChild<QWidget *>("Command3")->isVisible());
    QVERIFY(window.findChild<QWidget *>("Command2")->isEnabled());
    QCOMPARE(window.form().state().SetupDownloaded, FlagTrue);
    QCOMPARE(test.tone.tones, (QList<QPair<int, int>>{{45000, 100}}));
    // The fill spans the whole track, and shows only inside its border.
    auto *fill = window.findChild<QWidget *>("Text1");
    auto *track = window.findChild<QFrame *>("Picture2");
    QCOMPARE(fill->width(), track->width());
    const QImage shown = track->grab().toImage();
    const QRect inside = track->contentsRect();
    const QColor blue = fill->palette().color(QPalette::Base);
    QCOMPARE(shown.pixelColor(inside.right(), inside.bottom()), blue);
    QVERIFY(shown.pixelColor(inside.right() + 1, inside.center().y()) != blue);
    QVERIFY(shown.pixelColor(inside.center().x(), inside.bottom() + 1) != blue);
    window.close();
    QCOMPARE(test.launcher.starts.size(), 1);
    QCOMPARE(test.launcher.starts[0].file, setup);
    QCOMPARE(test.launcher.starts[0].workingDirectory, QDir::rootPath());
}

void TestForm1Download::speedIsAverageSinceStart_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<qint64>("start"); // the clock at the start, in ms
    QTest::addColumn<int>("step");     // ms from one reading to the next
    QTest::addColumn<QString>("speed");
    QTest::addColumn<bool>("resumed"); // after a transfer cancelled at its first chunk
    // 50 chunks, the last measured 2000 ms after the start: 50 kB in 2.0001 s.
    QTest::newRow("50 kB in 2 s") << 51200 << qint64(1'000'000) << 40 << " 25 Kb sec" << false;
    // The kept first chunk is not this transfer's: 49 kB in 1.9601 s, not 50 kB (25.51).
    QTest::newRow("49 kB after a kept one")
        << 51200 << qint64(1'000'000) << 40 << " 25 Kb sec" << true;
    // Started just before 2^31 ms (24.8 days) of uptime: 3 kB in 3.0001 s.
    QTest::newRow("across 2^31 ms of uptime")
        << 3072 << (qint64(1) << 31) - 1500 << 1000 << " 1 Kb sec" << false;
}

void TestForm1Download::speedIsAverageSinceStart()
{
    QFETCH(int, size);
    QFETCH(qint64, start);
    QFETCH(int, step);
    QFETCH(QString, speed);
    QFETCH(bool, resumed);
    offer(pattern(size), size, {.etag = "\"v1\"", .ranges = true});
    Session session(m_server.url(RecordPath));
    auto &[test, window] = session;
    if (resumed) {
        test.prompt.whileAsking = [&] {
            clickWhen(window, "Command2", [&] { return !text(window, "Label7").isEmpty(); });
        };
        window.form().Command1_Click();
        QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOADING CANCEL.."));
        test.prompt.whileAsking = nullptr;
    }
    test.clock.now = start;
    test.clock.step = step;
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label9"), speed);
    QCOMPARE(contents(qtPath(window.form().state().SetupPath)), pattern(size));
}

void TestForm1Download::cancelKeepsPartialAndStartsNothing()
{
    offer(pattern(8000), 8000);
    Session session(m_server.url(RecordPath));
    auto &[test, window] = session;
    // The click lands once the first chunk is on show.
    QString statusAtClick;
    test.prompt.whileAsking = [&] {
        clickWhen(window, "Command2", [&] {
            statusAtClick = text(window, "Label11");
            return text(window, "Label7") == " 12%";
        });
    };
    window.form().Command1_Click();

    const QString setup = qtPath(window.form().state().SetupPath);
    QCOMPARE(statusAtClick, QStringLiteral("DOWNLOADING..."));
    QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOADING CANCEL.."));
    QCOMPARE(contents(setup + ".part"), pattern(8000).left(1024)); // the chunk in progress
    QVERIFY(!QFile::exists(setup));
    QCOMPARE(text(window, "Label7"), QStringLiteral(" 12%"));
    QVERIFY(window.findChild<QWidget *>("Command2")->isEnabled());
    QVERIFY(window.findChild<QWidget *>("Command3")->isHidden());
    QVERIFY(window.findChild<QWidget *>("Text2")->isHidden());
    QCOMPARE(window.form().state().SetupDownloaded, FlagFalse);
    QVERIFY(test.tone.tones.isEmpty());
    window.close();
    QVERIFY(test.launcher.starts.isEmpty());
}

void TestForm1Download::newTransferClearsEarlierCancel()
{
    offer(pattern(8000), 8000);
    Session session(m_server.url(RecordPath));
    auto &[test, window] = session;
    test.prompt.whileAsking = [&] { clickSoon(window, "Command2"); };
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOADING CANCEL.."));

    test.prompt.whileAsking = nullptr;
    window.form().Command2_Click(); // a stray click between transfers
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOAD COMPLETED.."));
    QCOMPARE(contents(qtPath(window.form().state().SetupPath)), pattern(8000));
}

void TestForm1Download::closeDuringTransferStartsNothing_data()
{
    QTest::addColumn<QString>("when"); // the percentage on show at the close
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("kept");   // bytes in the side file
    QTest::addColumn<bool>("held");  // the host sends all 8000 bytes and holds the end open
    QTest::addColumn<bool>("again"); // a completed transfer of the same setup came before
    // The host breaks the connection at 1500 bytes, and the close comes in the hour-long pause
    // before the updater asks for the rest.
    QTest::addColumn<bool>("pause");
    const QString cancelled = QStringLiteral("DOWNLOADING CANCEL..");
    // Nothing shows a percentage before the first chunk.
    QTest::newRow("before the first chunk") << "" << cancelled << 0 << false << false << false;
    QTest::newRow("first chunk") << " 12%" << cancelled << 1024 << false << false << false;
    QTest::newRow("middle") << " 51%" << cancelled << 4096 << false << false << false;
    QTest::newRow("last piece") << " 100%"
                                << "DOWNLOAD COMPLETED.." << 0 << false << false << false;
    QTest::newRow("last piece, end held open")
        << " 100%" << cancelled << 8000 << true << false << false;
    // Not the earlier, verified file either: the user interrupted a newer download.
    QTest::newRow("middle of a second transfer")
        << " 51%" << cancelled << 4096 << false << true << false;
    QTest::newRow("in the pause before a reconnect")
        << "" << cancelled << 1500 << false << false << true;
}

// Whether the transfer has said that it reconnects: it pauses next.
std::atomic<bool> reconnectLogged{false};

void TestForm1Download::closeDuringTransferStartsNothing()
{
    QFETCH(QString, when);
    QFETCH(QString, shown);
    QFETCH(int, kept);
    QFETCH(bool, held);
    QFETCH(bool, again);
    QFETCH(bool, pause);
    TestServer::Route route;
    if (pause) {
        route.etag = "\"v1\"";
        route.misbehaviour = TestServer::Misbehaviour::CutShort;
        route.sendBytes = 1500;
        reconnectLogged = false;
        setLogSink([](LogKind kind, std::string_view message) {
            reconnectLogged = reconnectLogged || (kind == LogKind::Notice &&
                                                  message.find("reconnect") != message.npos);
        });
    }
    if (held) {
        route.misbehaviour = TestServer::Misbehaviour::Stall;
        route.sendBytes = 8000;
    }
    offer(pattern(held ? 8001 : 8000), 8000, route);
    Session session(m_server.url(RecordPath));
    auto &[test, window] = session;
    test.clock.step = 16; // every chunk has an event round and shows its values
    test.platform.reconnectPause = std::chrono::hours(pause ? 1 : 0);
    if (again) {
        window.form().Command1_Click();
        QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOAD COMPLETED.."));
    }
    test.prompt.whileAsking = [&] {
        clickWhen(window, "Command3",
                  [&] { return pause ? reconnectLogged.load() : text(window, "Label7") == when; });
    };
    const qsizetype before = m_server.requests().size();
    window.form().Command1_Click();
    setLogSink(nullptr);

    QVERIFY(!window.isVisible());
    // The record and the setup, and no reconnect after the close.
    QVERIFY(!pause || m_server.requests().size() == before + 2);
    QCOMPARE(text(window, "Label11"), shown);
    QCOMPARE(contents(qtPath(window.form().state().SetupPath) + ".part").size(), kept);
    QVERIFY(test.launcher.starts.isEmpty());
}

void TestForm1Download::whatCloseStarts_data()
{
    QTest::addColumn<bool>("download"); // a completed download of the setup comes first
    QTest::addColumn<Change>("change"); // then this, before the close
    QTest::addColumn<bool>("started");  // the setup downloaded first, on close
    // In the user's folder, where a file of the user's holds the setup's name, so that the
    // download takes "KolupSetup (1).exe".
    QTest::addColumn<bool>("usersFolder");
    const Change none = [](TestForm1Download &, Session &, const QString &) {};
    QTest::newRow("no download") << false << none << false << false;
    // Checked again, the same offer, and declined: the completed file is still the one to start,
    // whatever name it took.
    const Change declined = [](TestForm1Download &, Session &session, const QString &) {
        session.test.prompt.answer = false;
        session.window.form().Command1_Click();
    };
    QTest::newRow("the same offer declined") << true << declined << true << false;
    QTest::newRow("the same offer declined, under a free name") << true << declined << true << true;
    // Closed while a second check waits for the record: the check ends, then the window
    // closes as usual, and the setup the first download completed is started.
    QTest::newRow("closed during a second check")
        << true << Change([](TestForm1Download &self, Session &session, const QString &) {
               self.m_server.serve(
                   RecordPath,
                   {.body = recordBytes(1.5f, self.m_server.url("/kolup/KolupSetup.exe").toLatin1(),
                                        3000),
                    .misbehaviour = TestServer::Misbehaviour::Stall});
               QTimer::singleShot(0, &session.window, [&session] { session.window.close(); });
               session.window.form().Command1_Click();
               QVERIFY(!session.window.isVisible());
           })
        << true << false;
    // The same offer again, but the program's folder can no longer be written, or the host
    // breaks off: the failure leaves the first file as it was, or takes it away.
    const auto retry = [](bool gone) {
        return [gone](TestForm1Download &self, Session &session, const QString &) {
            auto &[test, window] = session;
            if (gone) {
                QVERIFY(QDir(test.programDir()).removeRecursively());
            } else {
                self.offer(pattern(3000), 3000,
                           {.misbehaviour = TestServer::Misbehaviour::CutShort, .sendBytes = 1100});
            }
            window.form().Command1_Click();
            QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOAD FAILED.."));
            QCOMPARE(window.form().state().SetupDownloaded, FlagTrue); // for the rest of the run
        };
    };
    QTest::newRow("retry: the folder gone") << true << Change(retry(true)) << false << false;
    QTest::newRow("retry: the host cuts it short") << true << Change(retry(false)) << true << false;
    // Changed since the download: not started, and not read again to find out when its size
    // tells.
    const auto changed = [](std::function<bool(QFile &)> how) {
        return [how](TestForm1Download &, Session &, const QString &setup) {
            QFile file(setup);
            QVERIFY(how(file));
        };
    };
    const auto write = [](QIODevice::OpenMode mode) {
        return [mode](QFile &file) { return file.open(mode) && file.write("MZ") == 2; };
    };
    QTest::newRow("another offer declined")
        << true << Change([](TestForm1Download &self, Session &session, const QString &) {
               auto &[test, window] = session;
               // The setup path no longer names what was verified.
               self.m_server.serve(
                   RecordPath,
                   recordBytes(1.6f, self.m_server.url("/kolup/Other.exe").toLatin1(), 10));
               test.prompt.answer = false;
               window.form().Command1_Click();
               QCOMPARE(qtPath(window.form().state().SetupPath), test.programDir() + "/Other.exe");
           })
        << false << false;
    QTest::newRow("rewritten in place, same size")
        << true << Change(changed(write(QIODevice::ReadWrite))) << false << false;
    QTest::newRow("grown") << true << Change(changed(write(QIODevice::Append))) << false << false;
    QTest::newRow("replaced by a link to itself") << true << Change(changed([](QFile &file) {
        const QString setup = file.fileName();
        return file.rename(setup + ".kept") && QFile::link(setup + ".kept", setup);
    })) << false << false;
    // Sparse: takes no room, reads as zeros.
    QTest::newRow("swollen to 32 GB")
        << true << Change(changed([](QFile &file) { return file.resize(qint64(32) << 30); }))
        << false << false;
}

void TestForm1Download::whatCloseStarts()
{
    QFETCH(bool, download);
    QFETCH(Change, change);
    QFETCH(bool, started);
    QFETCH(bool, usersFolder);
    offer(pattern(3000), 3000);
    Session session(m_server.url(RecordPath), usersFolder);
    auto &[test, window] = session;
    if (usersFolder) {
        QVERIFY(QDir().mkpath(test.programDir()) &&
                writeFile(test.programDir() + "/KolupSetup.exe", "the user's"));
    }
    if (download) {
        window.form().Command1_Click();
        QCOMPARE(window.form().state().SetupDownloaded, FlagTrue);
    }
    const QString setup = qtPath(window.form().state().SetupPath);
    QCOMPARE(setup.endsWith(" (1).exe"), download && usersFolder);
    change(*this, session, setup);
    if (QTest::currentTestFailed()) {
        return;
    }
    const qint64 readBefore = bytesRead();
    QVERIFY(readBefore >= 0);
    window.form().Command3_Click();
    QVERIFY(!window.isVisible());
    QCOMPARE(test.launcher.starts.size(), started ? 1 : 0);
    if (started) {
        QCOMPARE(test.launcher.starts.front().file, setup);
        QCOMPARE(contents(setup), pattern(3000));
    }
    QVERIFY2(bytesRead() - readBefore < 1 << 20,
             qPrintable(QString::number(bytesRead() - readBefore)));
}

void TestForm1Download::keyedUpdates_data()
{
    // The maker signs the record and binds it to the setup below; what the host serves for it,
    // and what happens to it on disk between the download and EXIT. Records the check refuses
    // never get this far: tst_updatecheck has those.
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<bool>("replacedOnDisk");
    QTest::addColumn<QString>("downloadStatus");
    QTest::addColumn<bool>("started");
    const QString completed = QStringLiteral("DOWNLOAD COMPLETED..");
    const QString failed = QStringLiteral("DOWNLOAD FAILED..");
    QByteArray lastByte = pattern(5000);
    lastByte[4999] = '!';
    QTest::newRow("bound setup") << pattern(5000) << false << completed << true;
    // An older release the same key signed, of the same size: mixed with this record.
    QTest::newRow("older setup, same size") << QByteArray(5000, 'o') << false << failed << false;
    QTest::newRow("setup's last byte changed") << lastByte << false << failed << false;
    QTest::newRow("setup replaced on disk before EXIT")
        << pattern(5000) << true << completed << false;
}

void TestForm1Download::keyedUpdates()
{
    QFETCH(QByteArray, served);
    QFETCH(bool, replacedOnDisk);
    QFETCH(QString, downloadStatus);
    QFETCH(bool, started);
    Minisign minisign;
    QVERIFY(minisign.generate("maker"));
    const QByteArray setup = pattern(5000);
    const QByteArray record =
        recordBytes(1.5f, m_server.url("/kolup/KolupSetup.exe").toLatin1(), 5000);
    offer(served, 5000);
    SetupBinding binding;
    binding.size = 5000;
    binding.digest =
        blake2b(std::as_bytes(std::span(setup.constData(), std::size_t(setup.size()))));
    m_server.serve(
        QByteArray(RecordPath) + ".minisig",
        minisign.sign("maker", record, false, QString::fromStdString(bindingComment(binding))));

    TestPlatform test(m_server.url(RecordPath));
    test.prompt.answer = true;
    test.platform.signingKeys = *PublicKey::parseList(minisign.publicKey("maker").toStdString());
    Form1Window window(test.platform, &test.prompt);
    window.show();
    const auto before = m_server.requests().size();
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label13"), QString());
    QCOMPARE(text(window, "Label11"), downloadStatus);
    // One signature, the record's: the setup file's own is never asked for.
    for (const TestServer::Request &request : m_server.requests().mid(before)) {
        QVERIFY(request.path != "/kolup/KolupSetup.exe.minisig");
    }
    const QString path = test.programDir() + "/KolupSetup.exe";
    if (downloadStatus != QStringLiteral("DOWNLOAD COMPLETED..")) {
        // Nothing the maker did not sign is kept, not even in part.
        QVERIFY(!QFile::exists(path));
        QVERIFY(!QFile::exists(path + ".part"));
    }
    QVERIFY(!replacedOnDisk || writeFile(path, pattern(4999) + "?"));
    window.close();
    QCOMPARE(test.launcher.starts.size(), started ? 1 : 0);
}

void TestForm1Download::checkDuringTransferIsIgnored()
{
    offer(pattern(8000), 8000);
    Session session(m_server.url(RecordPath));
    auto &[test, window] = session;
    test.prompt.whileAsking = [&] { clickSoon(window, "Command1"); };
    const auto before = m_server.requests().size();
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOAD COMPLETED.."));
    QCOMPARE(test.prompt.texts.size(), 1);
    QCOMPARE(m_server.requests().size(), before + 2); // one record, one setup file
}

void TestForm1Download::endings_data()
{
    QTest::addColumn<int>("cutAt");            // where the host cuts every answer; 0: never
    QTest::addColumn<bool>("cancel");          // once the first chunk is on show
    QTest::addColumn<QStringList>("percents"); // Label7, every value set, in order
    QTest::addColumn<QString>("status");       // Label11 at the end
    QTest::addColumn<QString>("taskbar");      // every state shown there, in order
    // The first chunk is shown at once, the rest when the window next has its turn: here,
    // at the end.
    QTest::newRow("completed") << 0 << false << QStringList{" 10%", " 100%"}
                               << "DOWNLOAD COMPLETED.."
                               << "normal none";
    QTest::newRow("cancelled") << 0 << true << QStringList{" 10%"} << "DOWNLOADING CANCEL.."
                               << "normal none";
    // Cut at the same place whenever it is sent whole again: the first time and five more.
    QStringList cut;
    for (int sent = 0; sent < 1 + SetupDownload::MostStalledReconnects; ++sent) {
        cut << " 10%"
            << " 48%";
    }
    QTest::newRow("cut short") << 5000 << false << cut << "DOWNLOAD FAILED.."
                               << QString("normal ").repeated(cut.size() - 1) + "error";
}

void TestForm1Download::endings()
{
    QFETCH(int, cutAt);
    QFETCH(bool, cancel);
    QFETCH(QStringList, percents);
    QFETCH(QString, status);
    QFETCH(QString, taskbar);
    offer(pattern(10240), 10240,
          {.misbehaviour =
               cutAt ? TestServer::Misbehaviour::CutShort : TestServer::Misbehaviour::None,
           .sendBytes = cutAt});
    TestPlatform test(m_server.url(RecordPath));
    FakeWindow window;
    Form1 form(window, test.platform);
    window.form = &form;
    window.answer = true;
    if (cancel) {
        window.duringEvents = [&] {
            if (!window.percents.empty()) {
                form.Command2_Click();
            }
        };
    }
    // Every chunk in the same millisecond: the window gets no turn between them, and no value
    // is worked out for a chunk that no turn shows.
    test.clock.step = 0;
    form.Form_Load();
    form.Command1_Click();
    QStringList shown;
    for (const std::string &percent : window.percents) {
        shown << QString::fromStdString(percent);
    }
    QCOMPARE(shown, percents);
    QVERIFY(std::adjacent_find(window.percentRounds.begin(), window.percentRounds.end(),
                               std::greater_equal<>()) == window.percentRounds.end());
    QCOMPARE(QString::fromStdString(window.caption(Control::Label11)), status);
    QStringList states;
    for (const Window::TaskbarProgress state : window.taskbar) {
        states << (state == Window::TaskbarProgress::Normal  ? "normal"
                   : state == Window::TaskbarProgress::Error ? "error"
                                                             : "none");
    }
    QCOMPARE(states.join(' '), taskbar);
    // Only a completed download shows its message, sounds, draws the eye and is started; a
    // failure shows EXIT, a cancel does not.
    const bool completed = status == "DOWNLOAD COMPLETED..";
    QCOMPARE(window.visible[std::size_t(Control::Text2)], completed);
    QCOMPARE(window.visible[std::size_t(Control::Command3)], !cancel);
    QVERIFY(window.enabled[std::size_t(Control::Command2)]);
    QCOMPARE(form.state().SetupDownloaded, completed ? FlagTrue : FlagFalse);
    QCOMPARE(window.flashes, completed ? 1 : 0);
    QCOMPARE(test.tone.tones.size(), completed ? 1 : 0);
    window.closeWindow();
    QCOMPARE(test.launcher.starts.size(), completed ? 1 : 0);
}

QTEST_MAIN(TestForm1Download)
#include "tst_form1_download.moc"
