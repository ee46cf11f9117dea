// Starting the setup program, sounding the tone and keeping the log on Windows.

#include "app/win32/desktop.h"

#include "os/files.h"
#include "update/log.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

bool ShellLauncher::start(const std::filesystem::path &file,
                          const std::filesystem::path &workingDirectory, std::uintptr_t owner)
{
    // Only a regular file, never what a link or junction at its name points to.
    if (const auto opened = files::openRegular(file); !opened) {
        logMessage(LogKind::Failure, "the setup program is not started: " + opened.text());
        return false;
    }
    // The file type's default action (no verb), as Explorer starts it; returns once the shell
    // is done with it, so the caller's hold on the file lasts until then.
    SHELLEXECUTEINFOW start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    start.hwnd = reinterpret_cast<HWND>(owner);
    start.lpFile = file.c_str();
    start.lpDirectory = workingDirectory.c_str();
    start.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&start)) {
        const DWORD error = GetLastError();
        logMessage(LogKind::Failure,
                   error == ERROR_CANCELLED
                       ? std::string("the setup program was not started: the user declined to "
                                     "let it make changes to the computer")
                       : "the setup program could not be started (error " + std::to_string(error) +
                             ")");
        return false;
    }
    return true;
}

void SystemTone::sound(int frequencyHz, int durationMs)
{
    if (audibleTone(frequencyHz)) {
        Beep(DWORD(frequencyHz), DWORD(durationMs));
    }
}

namespace {

void toDebugger(LogKind kind, std::string_view message)
{
    // Failures always, for whoever runs it from a console or a debugger; the benchmarks'
    // moments only when KOLUP_TIMING is set.
    if (kind == LogKind::Timing && !std::getenv("KOLUP_TIMING")) {
        return;
    }
    const std::string line = (kind != LogKind::Timing ? "kolup.updater: " : "kolup.timing: ") +
                             std::string(message) + "\n";
    // The debugger takes UTF-16, so names in any script arrive whole.
    const std::filesystem::path wide(
        std::u8string(reinterpret_cast<const char8_t *>(line.data()), line.size()));
    OutputDebugStringW(wide.c_str());
    std::fputs(line.c_str(), stderr);
}

} // namespace

void sendLogToDebugger()
{
    setLogSink(&toDebugger);
}
