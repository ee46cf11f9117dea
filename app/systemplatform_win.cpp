// Starting the setup program and sounding the tone on Windows.

#include "app/systemplatform.h"

#include <QDir>
#include <QWidget>

#include <qt_windows.h>
#include <shellapi.h>

bool ShellLauncher::start(const QString &file, const QString &workingDirectory, QWidget *owner)
{
    const auto window = owner ? reinterpret_cast<HWND>(owner->winId()) : nullptr;
    const QString directory = QDir::toNativeSeparators(workingDirectory);
    const auto result = ShellExecuteW(window, nullptr, reinterpret_cast<LPCWSTR>(file.utf16()),
                                      nullptr, reinterpret_cast<LPCWSTR>(directory.utf16()),
                                      SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

void SystemTone::sound(int frequencyHz, int durationMs)
{
    if (audibleTone(frequencyHz)) {
        ::Beep(DWORD(frequencyHz), DWORD(durationMs));
    }
}
