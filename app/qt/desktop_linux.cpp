// Starting the setup program, sounding the tone and asking the question on Linux.

#include "app/qt/desktop.h"

#include "update/log.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(updaterLog, "kolup.updater", QtWarningMsg)
Q_LOGGING_CATEGORY(timingLog, "kolup.updater.timing", QtWarningMsg)

namespace {

// A file that arrived over the network has no execute permission; the user asked for it to be
// run, so its owner gets that permission, as running it on Windows would need none. The file
// is opened without following a link, so a link planted at its name cannot lend the
// permission to a file elsewhere.
bool allowOwnerToRun(const std::filesystem::path &file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    const bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    ((status.st_mode & S_IXUSR) || ::fchmod(fd, status.st_mode | S_IXUSR) == 0);
    ::close(fd);
    return ok;
}

void toQtLog(LogKind kind, std::string_view message)
{
    const int length = int(message.size());
    if (kind != LogKind::Timing) {
        qCWarning(updaterLog, "%.*s", length, message.data());
    } else {
        qCDebug(timingLog, "%.*s", length, message.data());
    }
}

} // namespace

bool MessageBoxPrompt::askToUpdate(QWidget *owner, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok | QMessageBox::Cancel, owner);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

bool ShellLauncher::start(const std::filesystem::path &file,
                          const std::filesystem::path &workingDirectory, std::uintptr_t)
{
    if (!allowOwnerToRun(file)) {
        return false;
    }
    if (QProcess::startDetached(qtPath(file), {}, qtPath(workingDirectory))) {
        return true;
    }
    // Not a program this system runs by itself (a Windows setup, say): its default action.
    return QDesktopServices::openUrl(QUrl::fromLocalFile(qtPath(file)));
}

void SystemTone::sound(int frequencyHz, int)
{
    // The bell has no pitch of its own: it stands in for the tones the system could play.
    if (audibleTone(frequencyHz)) {
        QApplication::beep();
    }
}

void sendLogToQt()
{
    setLogSink(&toQtLog);
}
