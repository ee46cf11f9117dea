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
    std::string why;
    if (!files::openRegular(file, why).isOpen()) {
        logMessage(LogKind::Failure, "the setup program is not started: " + why);
        return false;
    }
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(reinterpret_cast<HWND>(owner), L"open", file.c_str(), nullptr,
                      workingDirectory.c_str(), SW_SHOWNORMAL));
    if (result <= 32) {
        logMessage(LogKind::Failure, "the setup program could not be started (ShellExecute " +
                                         std::to_string(result) + ")");
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
    const std::string line = (kind == LogKind::Failure ? "kolup.updater: " : "kolup.timing: ") +
                             std::string(message) + "\n";
    OutputDebugStringA(line.c_str());
    std::fputs(line.c_str(), stderr);
}

} // namespace

void sendLogToDebugger()
{
    setLogSink(&toDebugger);
}
