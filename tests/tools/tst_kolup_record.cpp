#include "minisign.h"
#include "records.h"
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
    QFile setup(dir.filePath("setup.exe"));
    QVERIFY(setup.open(QIODevice::WriteOnly));
    setup.write(QByteArray(3700, 's'));
    setup.close();
    // An earlier record, readable by its owner only: the new one keeps that.
    const QString out = dir.filePath("KOLUP_VERSION.txt");
    QFile written(out);
    QVERIFY(written.open(QIODevice::WriteOnly) && written.write("old") == 3);
    written.close();
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QVERIFY(written.setPermissions(ownerOnly));
    const Run made = record({"make", "--version", "2", "--url", "http://h/setup.exe", "--file",
                             setup.fileName(), "-o", out});
    QCOMPARE(made.exitCode, 0);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), recordBytes(2.0f, "http://h/setup.exe", 3700));
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
    QTest::addColumn<QString>("why");                        // what the refusal says
    const QString longUrl = "http://h/" + QString(246, 'n'); // 255 characters
    QTest::newRow("url too long") << QStringList{"--url", longUrl, "--size", "10"}
                                  << QStringLiteral("at most 254 fit the record");
    QTest::newRow("file url") << QStringList{"--url", "file:///tmp/setup.exe", "--size", "10"}
                              << QStringLiteral("not an http or https address");
    QTest::newRow("no file name") << QStringList{"--url", "http://h/dir/", "--size", "10"}
                                  << QStringLiteral("the setup file name is empty");
    QTest::newRow("name past 240 characters")
        << QStringList{"--url", "http://h/di/" + QString(241, 'n'), "--size", "10"}
        << QStringLiteral("is too long");
    QTest::newRow("device name") << QStringList{"--url", "http://h/nul.exe", "--size", "10"}
                                 << QStringLiteral("is a device name");
    QTest::newRow("zero size") << QStringList{"--url", "http://h/setup.exe", "--size", "0"}
                               << QStringLiteral("from 1 to 2147483647 bytes");
    QTest::newRow("negative size") << QStringList{"--url", "http://h/setup.exe", "--size", "-4"}
                                   << QStringLiteral("from 1 to 2147483647 bytes");
    QTest::newRow("size past 32 bits")
        << QStringList{"--url", "http://h/s.exe", "--size", "2147483648"}
        << QStringLiteral("from 1 to 2147483647 bytes");
    QTest::newRow("missing setup file")
        << QStringList{"--url", "http://h/s.exe", "--file", "/nonexistent/s.exe"}
        << QStringLiteral("no setup file at");
    QTest::newRow("version not a number")
        << QStringList{"--version", "nan", "--url", "http://h/s.exe", "--size", "10"}
        << QStringLiteral("the version is not a number");
    QTest::newRow("version infinite")
        << QStringList{"--version", "inf", "--url", "http://h/s.exe", "--size", "10"}
        << QStringLiteral("the version is infinite");
    QTest::newRow("control byte in url")
        << QStringList{"--url", "http://h/s.exe\x01x.exe", "--size", "10"}
        << QStringLiteral("contains a control character");
    QTest::newRow("output is a FIFO")
        << QStringList{"--url", "http://h/s.exe", "--size", "10", "-o", "FIFO"}
        << QStringLiteral("is not a regular file");
    QTest::newRow("output is read-only")
        << QStringList{"--url", "http://h/s.exe", "--size", "10", "READ-ONLY"}
        << QStringLiteral("is read-only");
}

void TestKolupRecord::makeRefuses()
{
    QFETCH(QStringList, args);
    QFETCH(QString, why);
    QTemporaryDir dir;
    const QString out = dir.filePath("KOLUP_VERSION.txt");
    if (const qsizetype fifo = args.indexOf("FIFO"); fifo >= 0) {
        args[fifo] = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(args[fifo]).constData(), 0600), 0);
    }
    // A record the maker protected stays as it is, even for the superuser.
    const bool readOnly = args.removeAll("READ-ONLY") > 0;
    QFile kept(out);
    QVERIFY(!readOnly || (kept.open(QIODevice::WriteOnly) && kept.write("kept") == 4));
    kept.close();
    QVERIFY(!readOnly || kept.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadOther));
    const Run made = record(QStringList{"make", "--version", "1.5", "-o", out} + args);
    QCOMPARE(made.exitCode, 1);
    QVERIFY2(made.err.startsWith("kolup-record: ") && made.err.contains(why.toUtf8()), made.err);
    QVERIFY(made.out.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             readOnly ? QStringList{"KOLUP_VERSION.txt"} : QStringList());
    QVERIFY(!readOnly || (kept.open(QIODevice::ReadOnly) && kept.readAll() == "kept"));
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
    QTest::addColumn<QString>("signer"); // empty: checked without a key
    QTest::addColumn<QString>(
        "comment"); // bound, plain, bound to other bytes or size; a longer record
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("matching size") << 5000 << ""
                                   << "" << 0 << QByteArray("served: 5000\n");
    QTest::newRow("fewer bytes than announced")
        << 6000 << ""
        << "" << 1 << QByteArray("problem: the server sends 5000 bytes, the record says 6000\n");
    // Read no further than one byte past the announced size, however much more is sent.
    QTest::newRow("more bytes than announced")
        << 4000 << ""
        << "" << 1 << QByteArray("problem: the server sends more than announced: 4000\n");
    QTest::newRow("bound and signed by the maker") << 5000 << "maker"
                                                   << "bound" << 0 << QByteArray("served: 5000\n");
    QTest::newRow("signed with another key")
        << 5000 << "other"
        << "bound" << 1
        << QByteArray("problem: the record's signature: the file is signed with another key\n");
    QTest::newRow("comment without binding")
        << 5000 << "maker"
        << "plain" << 1
        << QByteArray("problem: the record's signed comment does not name its setup file\n");
    const auto blake2bOf = [](char fill) {
        const QByteArray bytes(5000, fill);
        const Digest digest =
            blake2b(std::as_bytes(std::span(bytes.constData(), std::size_t(bytes.size()))));
        return QByteArray::fromStdString(digestText(digest));
    };
    QTest::newRow("setup is not the one named")
        << 5000 << "maker"
        << "other bytes" << 1
        << "problem: the setup file is not the one the record's signature names\n"
           "signed-setup: 5000 bytes, blake2b=" +
               blake2bOf('y') + "\nserved-setup: 5000 bytes, blake2b=" + blake2bOf('x') + "\n";
    QTest::newRow("expired")
        << 5000 << "maker"
        << "expired" << 1
        << QByteArray("problem: the record's signature has expired: its last day was 2001-01-01\n");
    QTest::newRow("signature names another size")
        << 5000 << "maker"
        << "other size" << 1
        << QByteArray("problem: the record says 5000 bytes, its signature 4999\n");
    // One byte apart, each of the three sizes against the others, by the numbers printed.
    QTest::newRow("one byte fewer served than announced")
        << 5001 << ""
        << "" << 1
        << QByteArray("served: 5000\nproblem: the server sends 5000 bytes, the record says 5001\n");
    QTest::newRow("one byte more served than announced")
        << 4999 << ""
        << "" << 1
        << QByteArray("size: 4999\nsetup-name: setup.exe\n"
                      "problem: the server sends more than announced: 4999\n");
    QTest::newRow("signature names one byte more")
        << 5000 << "maker"
        << "one more" << 1
        << QByteArray("problem: the record says 5000 bytes, its signature 5001\n");
    QTest::newRow("a served record of 265 bytes")
        << 5000 << ""
        << "longer record" << 1
        << QByteArray("size: 5000\nsetup-name: setup.exe\nproblem: the record is 265 bytes, "
                      "not 264\nserved: 5000\n");
}

void TestKolupRecord::checkAgainstServer()
{
    QFETCH(int, announced);
    QFETCH(QString, signer);
    QFETCH(QString, comment);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, line);
    TestServer server;
    const QByteArray setup(5000, 'x');
    const QByteArray published =
        recordBytes(1.5f, server.url("/kolup/setup.exe").toLatin1(), announced) +
        (comment == "longer record" ? "x" : "");
    server.serve("/kolup/setup.exe", setup);
    server.serve("/kolup/KOLUP_VERSION.txt", published);
    QStringList args{"check", server.url("/kolup/KOLUP_VERSION.txt")};
    if (!signer.isEmpty()) {
        QTemporaryDir dir;
        QFile bound(dir.filePath("setup.exe"));
        QVERIFY(bound.open(QIODevice::WriteOnly));
        bound.write(comment == "other bytes"  ? QByteArray(5000, 'y')
                    : comment == "other size" ? QByteArray(4999, 'x')
                    : comment == "one more"   ? QByteArray(5001, 'x')
                                              : setup);
        bound.close();
        QByteArray signedComment = record({"comment", "--file", bound.fileName()}).out.trimmed();
        if (comment == "plain") {
            signedComment = "timestamp:1765000000";
        } else if (comment == "expired") {
            signedComment += " expires=2001-01-01";
        }
        server.serve("/kolup/KOLUP_VERSION.txt.minisig",
                     m_minisign.sign(signer, published, false, QString::fromLatin1(signedComment)));
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
    QFile setup(dir.filePath("setup.exe"));
    QVERIFY(setup.open(QIODevice::WriteOnly) && setup.write("abc") == 3);
    setup.close();
    const Run made = record(QStringList{"comment", "--file", setup.fileName()} + args);
    QCOMPARE(made.exitCode, exitCode);
    // BLAKE2b-512 of "abc", from RFC 7693.
    const QByteArray expected =
        "kolup-setup size=3 "
        "blake2b=ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
        "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923";
    QCOMPARE(made.out, exitCode == 0 ? expected + tail : QByteArray());
    // A setup file of no bytes is no setup file.
    QFile empty(dir.filePath("empty.exe"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QCOMPARE(record(QStringList{"comment", "--file", empty.fileName()} + args).exitCode, 1);
}

void TestKolupRecord::verifyFile_data()
{
    QTest::addColumn<QString>("signer"); // empty: no signature file
    QTest::addColumn<bool>("flipped");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("valid") << "maker" << false << 0;
    QTest::newRow("file changed") << "maker" << true << 1;
    QTest::newRow("another key") << "other" << false << 1;
    QTest::newRow("no signature") << "" << false << 1;
    QTest::newRow("signature is a FIFO") << "FIFO" << false << 1;
}

void TestKolupRecord::verifyFile()
{
    QFETCH(QString, signer);
    QFETCH(bool, flipped);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    const QString path = dir.filePath("KolupSetup.exe");
    QByteArray data(3000, 'k');
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(flipped ? data.replace(10, 1, "K") : data);
    file.close();
    if (signer == "FIFO") {
        QCOMPARE(::mkfifo(QFile::encodeName(path + ".minisig").constData(), 0600), 0);
    } else if (!signer.isEmpty()) {
        QFile signature(path + ".minisig");
        QVERIFY(signature.open(QIODevice::WriteOnly));
        signature.write(m_minisign.sign(signer, QByteArray(3000, 'k')));
    }
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
