#pragma once

#include "app/platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The Windows desktop's services under the native window.

class ShellLauncher final : public SetupLauncher {
public:
    // The file's default action ("open"), as Explorer would start it, owned by the window.
    bool start(const std::filesystem::path &file, const std::filesystem::path &workingDirectory,
               std::uintptr_t owner) override;
};

class SystemTone final : public Tone {
public:
    void sound(int frequencyHz, int durationMs) override;
};

// Sends what the core logs to the debugger's output and to standard error.
void sendLogToDebugger();
