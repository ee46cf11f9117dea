#include "os/files.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <future>

#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// What stands at a name, as lstat sees it: never through a link.
QString kindAt(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0) {
        return "nothing";
    }
    return S_ISLNK(status.st_mode)    ? "link to " + QFile::symLinkTarget(path).section('/', -1)
           : S_ISFIFO(status.st_mode) ? "FIFO"
           : S_ISDIR(status.st_mode)  ? "directory"
           : S_ISSOCK(status.st_mode) ? "socket"
                                      : "file " + contents(path);
}

// A call that waits (on a FIFO's other end, say) fails the row at once instead of hanging.
bool promptly(const std::function<bool()> &call)
{
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        qCritical("a file call waits");
        std::_Exit(1);
    }
    return result.get();
}

// Makes what stands at name, with target for a link to name; false if it cannot.
using Plant = std::function<bool(const QString &name, const QString &target)>;

} // namespace

Q_DECLARE_METATYPE(Plant)

// The Linux file layer, directly: whatever a user or an attacker left at a name is never
// written through, followed, waited on or removed unless that is what the call is for.
class TestFiles : public QObject {
    Q_OBJECT
private slots:
    void whatStandsAtTheName_data();
    void whatStandsAtTheName();
    void probeLeavesNothing_data();
    void probeLeavesNothing();
    void foldersOfEveryUser_data();
    void foldersOfEveryUser();
    void wholeFileWrites_data();
    void wholeFileWrites();
};

void TestFiles::whatStandsAtTheName_data()
{
    QTest::addColumn<Plant>("planted");
    QTest::addColumn<bool>("opened");   // openRegular
    QTest::addColumn<bool>("writable"); // writableInPlace
    QTest::addColumn<bool>("removed");  // removeFile
    const auto row = [](const char *name, const Plant &planted, bool opened, bool writable) {
        QTest::newRow(name) << planted << opened << writable << true;
    };
    const auto link = [](const QString &name, const QString &target) {
        return QFile::link(target, name);
    };
    row(
        "nothing", [](const QString &, const QString &) { return true; }, false, false);
    row(
        "a file", [](const QString &name, const QString &) { return writeFile(name, "kept"); },
        true, true);
    row(
        "a read-only file",
        [](const QString &name, const QString &) {
            return writeFile(name, "kept") &&
                   QFile::setPermissions(name, QFileDevice::ReadOwner | QFileDevice::ReadOther);
        },
        true, false);
    row(
        "a link to a file",
        [link](const QString &name, const QString &target) {
            return writeFile(target, "kept") && link(name, target);
        },
        false, false);
    row("a dangling link", link, false, false);
    row(
        "a FIFO without a writer",
        [](const QString &name, const QString &) {
            return ::mkfifo(QFile::encodeName(name).constData(), 0600) == 0;
        },
        false, false);
    row(
        "a socket",
        [](const QString &name, const QString &) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, QFile::encodeName(name).constData(),
                         sizeof address.sun_path - 1);
            const bool bound =
                ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            ::close(fd);
            return bound;
        },
        false, false);
    QTest::newRow("a directory") << Plant([](const QString &name, const QString &) {
        return QDir().mkdir(name);
    }) << false << false << false;
}

void TestFiles::whatStandsAtTheName()
{
    QFETCH(Plant, planted);
    QFETCH(bool, opened);
    QFETCH(bool, writable);
    QFETCH(bool, removed);
    QTemporaryDir dir;
    const QString name = dir.filePath("setup.exe");
    const QString target = dir.filePath("target");
    QVERIFY(planted(name, target));
    const QString before = kindAt(name);
    const QString targetBefore = kindAt(target);
    const bool nothing = before == "nothing";

    std::optional<Fault> fault;
    QCOMPARE(promptly([&] {
                 const auto created = files::createNew(name.toStdString());
                 fault = created ? std::nullopt : std::optional(created.failure().fault);
                 return created.ok();
             }),
             nothing);
    if (nothing) {
        QVERIFY(QFile::remove(name));
    } else {
        QCOMPARE(fault, std::optional(Fault::NameTaken)); // asked for the next free name
    }
    QCOMPARE(promptly([&] {
                 const auto found = files::openRegular(name.toStdString());
                 fault = found ? std::nullopt : std::optional(found.failure().fault);
                 return found.ok();
             }),
             opened);
    // Anything but a plain file there is named as such, not as a failing system.
    QCOMPARE(fault,
             opened ? std::nullopt : std::optional(nothing ? Fault::System : Fault::NotRegular));
    QCOMPARE(files::writableInPlace(name.toStdString()), writable);
    // A file that is not complete yet, given a name that must not replace anything.
    QVERIFY(writeFile(dir.filePath("incoming"), "new"));
    const Status renamed =
        files::renameNew(dir.filePath("incoming").toStdString(), name.toStdString());
    QCOMPARE(renamed ? std::nullopt : std::optional(renamed.failure().fault),
             nothing ? std::nullopt : std::optional(Fault::NameTaken));
    if (!nothing) {
        // Whatever stood there stands as it stood, and what a link names is as it was.
        QCOMPARE(kindAt(name), before);
        QCOMPARE(kindAt(target), targetBefore);
        QVERIFY(files::identityAt(name.toStdString()).has_value());
        QCOMPARE(files::identityAt(name.toStdString()) == files::identityAt(target.toStdString()),
                 false);
        QCOMPARE(files::removeFile(name.toStdString()), removed);
        QCOMPARE(kindAt(name) == "nothing", removed);
        QCOMPARE(kindAt(target), targetBefore); // a link goes, never what it names
    } else {
        QCOMPARE(contents(name), QByteArray("new"));
    }
}

void TestFiles::probeLeavesNothing_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("writable");
    QTest::newRow("a folder") << "folder" << true;
    QTest::newRow("no folder") << "missing" << false;
    QTest::newRow("a file") << "file" << false;
}

void TestFiles::probeLeavesNothing()
{
    QFETCH(QString, folder);
    QFETCH(bool, writable);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    QVERIFY(writeFile(dir.filePath("file"), {}));
    QCOMPARE(files::canWriteIn(dir.filePath(folder).toStdString()), writable);
    // Tried by making a file, which is gone again.
    QCOMPARE(QDir(dir.filePath("folder"))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"file", "folder"}));
}

void TestFiles::foldersOfEveryUser_data()
{
    QTest::addColumn<QString>("folder"); // in a temporary folder unless absolute
    QTest::addColumn<bool>("everyUsers");
    QTest::newRow("/usr itself") << "/usr" << true;
    QTest::newRow("a folder in /usr") << "/usr/bin" << true;
    QTest::newRow("/opt") << "/opt" << true;
    QTest::newRow("a way round to /tmp") << "/usr/../tmp" << false;
    QTest::newRow("a link to /usr/bin") << "link" << true;
    QTest::newRow("a folder named usr") << "usr" << false;
    QTest::newRow("nothing there") << "/usr/no such folder" << false;
}

void TestFiles::foldersOfEveryUser()
{
    QFETCH(QString, folder);
    QFETCH(bool, everyUsers);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("usr"));
    QVERIFY(QFile::link("/usr/bin", dir.filePath("link")));
    QCOMPARE(files::installedForAllUsers(QDir(dir.path()).filePath(folder).toStdString()),
             everyUsers);
}

void TestFiles::wholeFileWrites_data()
{
    whatStandsAtTheName_data();
}

// A whole file written over whatever stands at the name: the name is replaced, never written
// through; nothing half-written or scratch is left; the permissions are the ones asked for.
void TestFiles::wholeFileWrites()
{
    QFETCH(Plant, planted);
    QFETCH(bool, removed); // false: a directory, which no file replaces
    QTemporaryDir dir;
    const QString name = dir.filePath("record");
    const QString target = dir.filePath("target");
    QVERIFY(planted(name, target));
    const QString before = kindAt(name);
    const QString targetBefore = kindAt(target);
    const bool written = promptly([&] {
        return files::writeWholeFile(name.toStdString(), std::as_bytes(std::span("whole", 5)),
                                     std::filesystem::perms(0640))
            .ok();
    });
    QCOMPARE(written, removed);
    QCOMPARE(kindAt(name), removed ? QString("file whole") : before);
    QCOMPARE(kindAt(target), targetBefore);
    QCOMPARE(QDir(dir.path()).entryList({"*.tmp-*"}, QDir::AllEntries | QDir::System),
             QStringList());
    struct stat status {};
    QVERIFY(!removed || ::lstat(QFile::encodeName(name).constData(), &status) == 0);
    QCOMPARE(removed ? status.st_mode & 0777 : 0640, 0640U);
    // Without permissions asked for, a new file's own: what the umask leaves of 0666.
    const QString plain = dir.filePath("plain");
    QVERIFY(files::writeWholeFile(plain.toStdString(), std::as_bytes(std::span("x", 1))).ok());
    const mode_t mask = ::umask(0);
    ::umask(mask);
    QVERIFY(::lstat(QFile::encodeName(plain).constData(), &status) == 0);
    QCOMPARE(status.st_mode & 0777, 0666 & ~mask);
}

QTEST_APPLESS_MAIN(TestFiles)
#include "tst_files.moc"
