#include "app/shell.h"

#include <QDir>
#include <QWidget>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <shellapi.h>
#else
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QProcess>
#include <QUrl>
#endif

#ifdef Q_OS_WIN

bool startProgram(const QString &file, const QString &workingDirectory, QWidget *owner)
{
    const auto window = owner ? reinterpret_cast<HWND>(owner->winId()) : nullptr;
    const auto result = ShellExecuteW(window, nullptr, reinterpret_cast<LPCWSTR>(file.utf16()),
                                      nullptr,
                                      reinterpret_cast<LPCWSTR>(
                                          QDir::toNativeSeparators(workingDirectory).utf16()),
                                      SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

void soundTone(int frequencyHz, int durationMs)
{
    ::Beep(DWORD(frequencyHz), DWORD(durationMs));
}

#else

bool startProgram(const QString &file, const QString &workingDirectory, QWidget *)
{
    // A file that arrived over the network has no execute permission; the user asked for it to
    // be run, so give the owner that permission, as running it on Windows would need none.
    QFile setup(file);
    const auto permissions = setup.permissions();
    if (!(permissions & QFileDevice::ExeOwner)) {
        setup.setPermissions(permissions | QFileDevice::ExeOwner);
    }
    if (QProcess::startDetached(file, {}, workingDirectory)) {
        return true;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

void soundTone(int, int)
{
    QApplication::beep();
}

#endif
