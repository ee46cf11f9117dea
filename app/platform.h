#pragma once

#include "os/clock.h"
#include "update/signature.h"
#include "update/webclient.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What the handlers need from outside the program besides the window. The program gets the
// real ones; tests get the real ones pointed at their own servers and files, and stand-ins
// only for the effects of starting another program, a tone, and time.

class SetupLauncher {
public:
    virtual ~SetupLauncher() = default;
    // Starts the file by its default action as a separate program owned by the given window,
    // and does not wait for it; false when nothing could be started.
    virtual bool start(const std::filesystem::path &file,
                       const std::filesystem::path &workingDirectory, std::uintptr_t owner) = 0;
};

class Tone {
public:
    virtual ~Tone() = default;
    virtual void sound(int frequencyHz, int durationMs) = 0;
};

// The tones the classic system call plays; any other frequency is not heard.
constexpr bool audibleTone(int frequencyHz)
{
    return frequencyHz >= 37 && frequencyHz <= 32767;
}

// Where the setup file is stored: beside the program when its folder can be written and is not
// installed for every user, where the closing message tells the user to look; otherwise a
// fallback, made only when a download starts.
struct SetupFolder {
    std::filesystem::path path;
    bool fallback = false;
    // False for a folder of the user's (the download folder on Linux): no file there is
    // replaced; the setup takes a free name beside it.
    bool ours = true;
};

struct Platform {
    std::string versionUrl;                  // the version record's address
    std::filesystem::path engineVersionFile; // where the installed engine keeps its version
    SetupFolder setupFolder;
    std::filesystem::path programFile; // the running updater, never replaced by a setup
    // With keys (the maker's, old and new while one replaces the other), only a record one of
    // them signed is offered, and only the setup file its signature names is kept and started.
    std::vector<PublicKey> signingKeys;
    WebClient web;
    // The first pause before asking a broken transfer for its rest.
    std::chrono::milliseconds reconnectPause{500};
    Clock *clock = nullptr;
    SetupLauncher *launcher = nullptr;
    Tone *tone = nullptr;
};

// The system's own services, one implementation per system (app/qt/desktop_linux.cpp,
// app/win32/desktop_win.cpp).
class ShellLauncher final : public SetupLauncher {
public:
    // The file's default action, as the desktop would start it; only a regular file, never
    // what a link at its name points to.
    bool start(const std::filesystem::path &file, const std::filesystem::path &workingDirectory,
               std::uintptr_t owner) override;
};

class SystemTone final : public Tone {
public:
    void sound(int frequencyHz, int durationMs) override;
};

// The real services, and a platform over them.
struct SystemServices {
    SteadyClock clock;
    ShellLauncher launcher;
    SystemTone tone;

    // The platform of the program running from programFile.
    Platform platform(std::string versionUrl, std::filesystem::path engineVersionFile,
                      const std::filesystem::path &programFile);
};

// The program's own folder when a file can be created there; otherwise (an installed program
// in /usr/bin, say) the system's fallback folder, which is not made yet.
SetupFolder setupFolder(const std::filesystem::path &programDir);
