// Starting the setup program and sounding the tone on Linux and the other Unix systems.

#include "app/systemplatform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QProcess>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file that arrived over the network has no execute permission; the user asked for it to be
// run, so its owner gets that permission, as running it on Windows would need none. The file
// is opened without following a link, so a link planted at its name cannot lend the
// permission to a file elsewhere.
bool allowOwnerToRun(const QString &file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    const bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    ((status.st_mode & S_IXUSR) || ::fchmod(fd, status.st_mode | S_IXUSR) == 0);
    ::close(fd);
    return ok;
}

} // namespace

bool ShellLauncher::start(const QString &file, const QString &workingDirectory, QWidget *)
{
    if (!allowOwnerToRun(file)) {
        return false;
    }
    if (QProcess::startDetached(file, {}, workingDirectory)) {
        return true;
    }
    // Not a program this system runs by itself (a Windows setup, say): its default action.
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

void SystemTone::sound(int frequencyHz, int)
{
    // The bell has no pitch of its own: it stands in for the tones the system could play.
    if (audibleTone(frequencyHz)) {
        QApplication::beep();
    }
}
