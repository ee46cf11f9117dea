#include "minisign.h"
#include "records.h"
#include "testfiles.h"
#include "testserver.h"
#include "tools/commandline.h"
#include "update/binding.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <iterator>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run record(const QStringList &args, const QByteArray &input = {})
{
    QProcess process;
    process.start(QStringLiteral(KOLUP_RECORD_PATH), args);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(30000);
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

class TestKolupRecord : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_minisign.generate("maker") && m_minisign.generate("other")); }
    void makeThenShowRoundTrip();
    void makeFromSetupFile();
    void makePassesBytesThrough();
    void makeRefuses_data();
    void makeRefuses();
    void showReportsProblems_data();
    void showReportsProblems();
    void checkAgainstServer_data();
    void checkAgainstServer();
    void commentNamesTheSetup_data();
    void commentNamesTheSetup();
    void verifyFile_data();
    void verifyFile();
    void commandLine_data();
    void commandLine();

private:
    Minisign m_minisign;
};

void TestKolupRecord::makeThenShowRoundTrip()
{
    const Run made = record({"make", "--version", "1.25", "--url",
                             "https://kolup.example/dl/Kolup Setup.exe", "--size", "1536000"});
    QCOMPARE(made.exitCode, 0);
    QCOMPARE(made.out, recordBytes(1.25f, "https://kolup.example/dl/Kolup Setup.exe", 1536000));

    const Run shown = record({"show", "-"}, made.out);
    QCOMPARE(shown.exitCode, 0);
    QCOMPARE(shown.out, QByteArray("version: 1.25\n"
                                   "url: https://kolup.example/dl/Kolup Setup.exe\n"
                                   "size: 1536000\n"
                                   "setup-name: Kolup Setup.exe\n"));

    // The longest address that leaves the two spaces that end the name, with the longest name
    // whose side file and aside copy still fit a file system's 255.
    const QString longest = "http://h/dir/" + QString(240, 'n');
    QCOMPARE(record({"make", "--version", "1", "--url", longest, "--size", "1"}).out,
             recordBytes(1.0f, longest.toLatin1(), 1));
}

void TestKolupRecord::makeFromSetupFile()
{
    QTemporaryDir dir;
    const QString setup = dir.filePath("setup.exe");
    QVERIFY(writeFile(setup, QByteArray(3700, 's')));
    // An earlier record, readable by its owner only: the new one keeps that.
    const QString out = dir.filePath("KOLUP_VERSION.txt");
    QFile written(out);
    QVERIFY(writeFile(out, "old"));
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QVERIFY(written.setPermissions(ownerOnly));
    const Run made = record(
        {"make", "--version", "2", "--url", "http://h/setup.exe", "--file", setup, "-o", out});
    QCOMPARE(made.exitCode, 0);
    QCOMPARE(contents(out), recordBytes(2.0f, "http://h/setup.exe", 3700));
    QCOMPARE(written.permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), ownerOnly);
}

void TestKolupRecord::makePassesBytesThrough()
{
    // Bytes that are not UTF-8 reach the record and the file name as given, not re-encoded.
    QTemporaryDir dir;
    QProcess shell;
    shell.setWorkingDirectory(dir.path());
    shell.start("/bin/sh", {"-c",
                            "exec \"$0\" make --version 2 --size 9 "
                            "--url \"$(printf 'http://h/\\377/s.exe')\" "
                            "-o \"$(printf 'r\\377.bin')\"",
                            QStringLiteral(KOLUP_RECORD_PATH)});
    QVERIFY(shell.waitForFinished(30000));
    QCOMPARE(shell.exitCode(), 0);
    // Qt's file names are Unicode: the byte name is read and removed through the system.
    const std::string name = dir.path().toStdString() + "/r\xff.bin";
    std::ifstream written(name, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(written), {}};
    ::unlink(name.c_str());
    QCOMPARE(QByteArray::fromStdString(bytes), recordBytes(2.0f, "http://h/\xff/s.exe", 9));
}

void TestKolupRecord::makeRefuses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("why");   // what the refusal says
    QTest::addColumn<bool>("readOnly"); // a record the maker protected stands at the output
    const auto row = [](const char *name, const QStringList &args, const char *why,
                        bool readOnly = false) {
        QTest::newRow(name) << args << QString(why) << readOnly;
    };
    const QString longUrl = "http://h/" + QString(246, 'n'); // 255 characters
    const QStringList setup{"--url", "http://h/s.exe"};
    row("url too long", {"--url", longUrl, "--size", "10"}, "at most 254 fit the record");
    row("file url", {"--url", "file:///tmp/setup.exe", "--size", "10"},
        "not an http or https address");
    row("no file name", {"--url", "http://h/dir/", "--size", "10"}, "the setup file name is empty");
    row("name past 240 characters", {"--url", "http://h/di/" + QString(241, 'n'), "--size", "10"},
        "is too long");
    row("device name", {"--url", "http://h/nul.exe", "--size", "10"}, "is a device name");
    row("zero size", setup + QStringList{"--size", "0"}, "from 1 to 2147483647 bytes");
    row("negative size", setup + QStringList{"--size", "-4"}, "from 1 to 2147483647 bytes");
    row("size past 32 bits", setup + QStringList{"--size", "2147483648"},
        "from 1 to 2147483647 bytes");
    row("missing setup file", setup + QStringList{"--file", "/nonexistent/s.exe"},
        "no setup file at");
    row("version not a number", QStringList{"--version", "nan", "--size", "10"} + setup,
        "the version is not a number");
    row("version infinite", QStringList{"--version", "inf", "--size", "10"} + setup,
        "the version is infinite");
    row("control byte in url", {"--url", "http://h/s.exe\x01x.exe", "--size", "10"},
        "contains a control character");
    row("output is a FIFO", setup + QStringList{"--size", "10", "-o", "FIFO"},
        "is not a regular file");
    row("output is read-only", setup + QStringList{"--size", "10"}, "is read-only", true);
}

void TestKolupRecord::makeRefuses()
{
    QFETCH(QStringList, args);
    QFETCH(QString, why);
    QFETCH(bool, readOnly);
    QTemporaryDir dir;
    const QString out = dir.filePath("KOLUP_VERSION.txt");
    if (const qsizetype fifo = args.indexOf("FIFO"); fifo >= 0) {
        args[fifo] = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(args[fifo]).constData(), 0600), 0);
    }
    // A record the maker protected stays as it is, even for the superuser.
    QVERIFY(!readOnly ||
            (writeFile(out, "kept") &&
             QFile::setPermissions(out, QFileDevice::ReadOwner | QFileDevice::ReadOther)));
    const Run made = record(QStringList{"make", "--version", "1.5", "-o", out} + args);
    QCOMPARE(made.exitCode, 1);
    QVERIFY2(made.err.startsWith("kolup-record: ") && made.err.contains(why.toUtf8()), made.err);
    QVERIFY(made.out.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             readOnly ? QStringList{"KOLUP_VERSION.txt"} : QStringList());
    QVERIFY(!readOnly || contents(out) == "kept");
}

void TestKolupRecord::showReportsProblems_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("tail"); // what follows the version line

    QTest::newRow("short file is padded")
        << recordBytes(1.5f, "http://h/setup.exe", 10).left(100)
        << QByteArray("url: http://h/setup.exe\nsize: 538976288\nsetup-name: setup.exe\n"
                      "problem: the record is 100 bytes, not 264\n");
    QTest::newRow("longer file") << recordBytes(1.5f, "http://h/setup.exe", 10) + "x"
                                 << QByteArray(
                                        "url: http://h/setup.exe\nsize: 10\nsetup-name: setup.exe\n"
                                        "problem: the record is 265 bytes, not 264\n");
    QTest::newRow("terminal escape in the address")
        << recordBytes(1.5f, "http://h/\x1b]0;owned\x07\\x.exe", 10)
        << QByteArray("url: http://h/\\x1b]0;owned\\x07\\\\x.exe\nsize: 10\nsetup-name: \n"
                      "problem: the setup address contains a control character\n");
    QTest::newRow("C1 control in the address")
        << recordBytes(1.5f,
                       "http://h/a\x9b"
                       "2J.exe",
                       10)
        << QByteArray("url: http://h/a\\x9b2J.exe\nsize: 10\nsetup-name: \n"
                      "problem: the setup file name is not valid text on this system\n");
    // Taken here, but a record is often published for Windows too.
    QTest::newRow("a name Windows cannot hold")
        << recordBytes(1.5f, "http://h/setup.exe.", 10)
        << QByteArray("url: http://h/setup.exe.\nsize: 10\nsetup-name: setup.exe.\n"
                      "warning: the updater on Windows would refuse this record: its setup file "
                      "name ends in a dot or a space, which Windows drops\n");
    QTest::newRow("unsafe name") << recordBytes(1.5f, "http://h/..", 10)
                                 << QByteArray("url: http://h/..\nsize: 10\nsetup-name: \n"
                                               "problem: the setup file name is \".\" or \"..\"\n");
}

void TestKolupRecord::showReportsProblems()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, tail);
    const Run shown = record({"show", "-"}, file);
    QCOMPARE(shown.exitCode, tail.contains("problem: ") ? 1 : 0);
    QCOMPARE(shown.out, "version: 1.5\n" + tail);
}

void TestKolupRecord::checkAgainstServer_data()
{
    QTest::addColumn<int>("announced");
    QTest::addColumn<QString>("signer");        // empty: checked without a key
    QTest::addColumn<QByteArray>("signedFile"); // the setup file the signed comment is made from
    QTest::addColumn<QString>("comment");       // %1: the comment kolup-record makes for it
    QTest::addColumn<QByteArray>("after");      // published after the record
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("line");
    const QByteArray setup(5000, 'x'); // what the server sends
    const auto row = [&](const char *name, int announced, int exitCode, const QByteArray &line,
                         const char *signer = "", const QByteArray &signedFile = {},
                         const char *comment = "%1", const char *after = "") {
        QTest::newRow(name) << announced << QString(signer)
                            << (signedFile.isNull() ? setup : signedFile) << QString(comment)
                            << QByteArray(after) << exitCode << line;
    };
    row("matching size", 5000, 0, "served: 5000\n");
    row("fewer bytes than announced", 6000, 1,
        "problem: the server sends 5000 bytes, the record says 6000\n");
    // Read no further than one byte past the announced size, however much more is sent.
    row("more bytes than announced", 4000, 1,
        "problem: the server sends more than announced: 4000\n");
    row("bound and signed by the maker", 5000, 0, "served: 5000\n", "maker");
    row("signed with another key", 5000, 1,
        "problem: the record's signature: the file is signed with another key\n", "other");
    row("comment without binding", 5000, 1,
        "problem: the record's signed comment does not name its setup file\n", "maker", {},
        "timestamp:1765000000");
    const auto blake2bOf = [](const QByteArray &bytes) {
        return QByteArray::fromStdString(digestText(
            blake2b(std::as_bytes(std::span(bytes.constData(), std::size_t(bytes.size()))))));
    };
    const QByteArray other(5000, 'y');
    row("setup is not the one named", 5000, 1,
        "problem: the setup file is not the one the record's signature names\n"
        "signed-setup: 5000 bytes, blake2b=" +
            blake2bOf(other) + "\nserved-setup: 5000 bytes, blake2b=" + blake2bOf(setup) + "\n",
        "maker", other);
    row("expired", 5000, 1,
        "problem: the record's signature has expired: its last day was 2001-01-01\n", "maker", {},
        "%1 expires=2001-01-01");
    row("signature names another size", 5000, 1,
        "problem: the record says 5000 bytes, its signature 4999\n", "maker", setup.left(4999));
    // One byte apart, each of the three sizes against the others, by the numbers printed.
    row("one byte fewer served than announced", 5001, 1,
        "served: 5000\nproblem: the server sends 5000 bytes, the record says 5001\n");
    row("one byte more served than announced", 4999, 1,
        "size: 4999\nsetup-name: setup.exe\nproblem: the server sends more than announced: 4999\n");
    row("signature names one byte more", 5000, 1,
        "problem: the record says 5000 bytes, its signature 5001\n", "maker", setup + "x");
    row("a served record of 265 bytes", 5000, 1,
        "size: 5000\nsetup-name: setup.exe\nproblem: the record is 265 bytes, not 264\n"
        "served: 5000\n",
        "", {}, "%1", "x");
}

void TestKolupRecord::checkAgainstServer()
{
    QFETCH(int, announced);
    QFETCH(QString, signer);
    QFETCH(QByteArray, signedFile);
    QFETCH(QString, comment);
    QFETCH(QByteArray, after);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, line);
    TestServer server;
    const QByteArray published =
        recordBytes(1.5f, server.url("/kolup/setup.exe").toLatin1(), announced) + after;
    server.serve("/kolup/setup.exe", QByteArray(5000, 'x'));
    server.serve("/kolup/KOLUP_VERSION.txt", published);
    QStringList args{"check", server.url("/kolup/KOLUP_VERSION.txt")};
    if (!signer.isEmpty()) {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("setup.exe"), signedFile));
        const Run made = record({"comment", "--file", dir.filePath("setup.exe")});
        server.serve("/kolup/KOLUP_VERSION.txt.minisig",
                     m_minisign.sign(signer, published, false,
                                     QString(comment).replace("%1", made.out.trimmed())));
        args.insert(1, "--key");
        args.insert(2, m_minisign.publicKey("maker"));
    }
    const Run checked = record(args);
    QCOMPARE(checked.exitCode, exitCode);
    QVERIFY2(checked.out.contains(line), checked.out);
    QVERIFY(checked.out.contains("setup-name: setup.exe\n"));
}

void TestKolupRecord::commentNamesTheSetup_data()
{
    QTest::addColumn<QStringList>("args"); // after the setup file's name
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("tail"); // what follows the digest
    QTest::newRow("no expiry") << QStringList() << 0 << QByteArray("\n");
    QTest::newRow("expiry") << QStringList{"--expires", "2099-12-31"} << 0
                            << QByteArray(" expires=2099-12-31\n");
    QTest::newRow("expiry passed") << QStringList{"--expires", "2001-01-01"} << 1 << QByteArray();
}

void TestKolupRecord::commentNamesTheSetup()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, tail);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("setup.exe"), "abc") &&
            writeFile(dir.filePath("empty.exe"), ""));
    const Run made = record(QStringList{"comment", "--file", dir.filePath("setup.exe")} + args);
    QCOMPARE(made.exitCode, exitCode);
    // BLAKE2b-512 of "abc", from RFC 7693.
    const QByteArray expected =
        "kolup-setup size=3 "
        "blake2b=ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
        "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923";
    QCOMPARE(made.out, exitCode == 0 ? expected + tail : QByteArray());
    // A setup file of no bytes is no setup file.
    QCOMPARE(record(QStringList{"comment", "--file", dir.filePath("empty.exe")} + args).exitCode,
             1);
}

void TestKolupRecord::verifyFile_data()
{
    QTest::addColumn<QString>("signer"); // empty: no signature file
    QTest::addColumn<bool>("fifo");      // a FIFO stands where the signature file goes
    QTest::addColumn<bool>("flipped");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("valid") << "maker" << false << false << 0;
    QTest::newRow("file changed") << "maker" << false << true << 1;
    QTest::newRow("another key") << "other" << false << false << 1;
    QTest::newRow("no signature") << "" << false << false << 1;
    QTest::newRow("signature is a FIFO") << "" << true << false << 1;
}

void TestKolupRecord::verifyFile()
{
    QFETCH(QString, signer);
    QFETCH(bool, fifo);
    QFETCH(bool, flipped);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    const QString path = dir.filePath("KolupSetup.exe");
    QByteArray data(3000, 'k');
    QVERIFY(writeFile(path, flipped ? QByteArray(data).replace(10, 1, "K") : data));
    QVERIFY(!fifo || ::mkfifo(QFile::encodeName(path + ".minisig").constData(), 0600) == 0);
    QVERIFY(signer.isEmpty() || writeFile(path + ".minisig", m_minisign.sign(signer, data)));
    const Run verified = record({"verify", "--key", m_minisign.publicKey("maker"), path});
    QCOMPARE(verified.exitCode, exitCode);
    QCOMPARE(verified.out.isEmpty(), exitCode != 0);
    QCOMPARE(verified.err.count('\n'), exitCode != 0 ? 1 : 0); // one line: the reason
}

void TestKolupRecord::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("asked"); // what parse() makes of them
    const auto row = [](const char *name, const QStringList &args, const char *asked) {
        QTest::newRow(name) << args << QString(asked);
    };
    const QString key = QStringLiteral("RWQcrEibwXbJAim7LmAzcqusFbZBkrspMH4pFpSIbmhMYXCG/8VddxR0");
    row("nothing", {}, "usage");
    row("help", {"--help"}, "help");
    row("an unknown command", {"frob"}, "usage");
    row("make, an option without its value", {"make", "--version", "1"}, "usage");
    row("make, neither size nor file", {"make", "--version", "1", "--url", "http://h/s"}, "usage");
    row("make, both size and file",
        {"make", "--version", "1", "--url", "u", "--size", "1", "--file", "f"}, "usage");
    row("make, a size that is no number", {"make", "--version", "1", "--url", "u", "--size", "1e3"},
        "problem");
    row("make", {"make", "--version", "1", "--url", "u", "--size", "1"}, "make");
    row("show, no file", {"show"}, "usage");
    row("show standard input", {"show", "-"}, "show");
    // Today is 2026-12-08 here: the last day a record is taken may be today, not before.
    row("comment, expiring today", {"comment", "--file", "f", "--expires", "2026-12-08"},
        "comment");
    row("comment, expired yesterday", {"comment", "--file", "f", "--expires", "2026-12-07"},
        "problem");
    row("comment, no such day", {"comment", "--file", "f", "--expires", "2027-02-29"}, "problem");
    row("comment, not a date", {"comment", "--file", "f", "--expires", "31.12.2099"}, "problem");
    row("comment, no file", {"comment", "--expires", "2027-01-01"}, "usage");
    row("check", {"check", "http://h/K"}, "check");
    row("check with keys", {"check", "--key", key + " " + key, "http://h/K"}, "check");
    row("check, not a key", {"check", "--key", "RWQ", "http://h/K"}, "problem");
    row("verify", {"verify", "--key", key, "f"}, "verify");
    row("verify without a key", {"verify", "f"}, "usage");
}

void TestKolupRecord::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, asked);
    std::vector<Argument> arguments;
    for (const QString &arg : args) {
        arguments.push_back(arg.toStdString());
    }
    using namespace std::chrono;
    const command::Request request = command::parse(arguments, sys_days{2026y / December / 8});
    static const char *const kinds[] = {"refusal", "help",  "make",  "show",
                                        "comment", "check", "verify"};
    QString kind = kinds[request.index()];
    if (const auto *refusal = std::get_if<command::Refusal>(&request)) {
        kind = refusal->status == command::Usage && refusal->why.empty() ? "usage" : "problem";
    }
    QCOMPARE(kind, asked);
}

QTEST_GUILESS_MAIN(TestKolupRecord)
#include "tst_kolup_record.moc"
