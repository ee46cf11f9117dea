#include "os/files.h"

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

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

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

} // namespace

// The Linux file layer, directly: whatever a user or an attacker left at a name is never
// written through, followed, waited on or removed unless that is what the call is for.
class TestFiles : public QObject {
    Q_OBJECT
private slots:
    void whatStandsAtTheName_data();
    void whatStandsAtTheName();
    void probeLeavesNothing_data();
    void probeLeavesNothing();
};

void TestFiles::whatStandsAtTheName_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<bool>("opened");   // openRegular
    QTest::addColumn<bool>("writable"); // writableInPlace
    QTest::addColumn<bool>("removed");  // removeFile
    QTest::newRow("nothing") << "nothing" << false << false << true;
    QTest::newRow("a file") << "file" << true << true << true;
    QTest::newRow("a read-only file") << "read-only" << true << false << true;
    QTest::newRow("a link to a file") << "link" << false << false << true;
    QTest::newRow("a dangling link") << "dangling" << false << false << true;
    QTest::newRow("a FIFO without a writer") << "FIFO" << false << false << true;
    QTest::newRow("a socket") << "socket" << false << false << true;
    QTest::newRow("a directory") << "directory" << false << false << false;
}

void TestFiles::whatStandsAtTheName()
{
    QFETCH(QString, planted);
    QFETCH(bool, opened);
    QFETCH(bool, writable);
    QFETCH(bool, removed);
    QTemporaryDir dir;
    const QString name = dir.filePath("setup.exe");
    const QString target = dir.filePath("target");
    const QByteArray path = QFile::encodeName(name);
    QFile kept(planted == "link" ? target : name);
    if (planted == "file" || planted == "read-only" || planted == "link") {
        QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write("kept") == 4);
        kept.close();
    }
    if (planted == "read-only") {
        QVERIFY(kept.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadOther));
    } else if (planted == "link" || planted == "dangling") {
        QVERIFY(QFile::link(target, name));
    } else if (planted == "FIFO") {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
    } else if (planted == "directory") {
        QVERIFY(QDir().mkdir(name));
    } else if (planted == "socket") {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    }
    const QString before = kindAt(name);
    const QString targetBefore = kindAt(target);

    std::optional<Fault> fault;
    QCOMPARE(promptly([&] {
                 const auto created = files::createNew(name.toStdString());
                 fault = created ? std::nullopt : std::optional(created.failure().fault);
                 return created.ok();
             }),
             planted == "nothing");
    if (planted == "nothing") {
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
    QCOMPARE(fault, opened
                        ? std::nullopt
                        : std::optional(planted == "nothing" ? Fault::System : Fault::NotRegular));
    QCOMPARE(files::writableInPlace(name.toStdString()), writable);
    // A file that is not complete yet, given a name that must not replace anything.
    QFile incoming(dir.filePath("incoming"));
    QVERIFY(incoming.open(QIODevice::WriteOnly) && incoming.write("new") == 3);
    incoming.close();
    const Status renamed = files::renameNew(incoming.fileName().toStdString(), name.toStdString());
    QCOMPARE(renamed ? std::nullopt : std::optional(renamed.failure().fault),
             planted == "nothing" ? std::nullopt : std::optional(Fault::NameTaken));
    if (planted != "nothing") {
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
    QFile file(dir.filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QCOMPARE(files::canWriteIn(dir.filePath(folder).toStdString()), writable);
    // Tried by making a file, which is gone again.
    QCOMPARE(QDir(dir.filePath("folder"))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"file", "folder"}));
}

QTEST_APPLESS_MAIN(TestFiles)
#include "tst_files.moc"
