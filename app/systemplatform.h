#pragma once

#include "app/platform.h"

// The real services of the desktop the program runs on. What differs between operating
// systems (starting a program, sounding a tone) lives in one source file per system.

class MessageBoxPrompt final : public UpdatePrompt {
public:
    bool askToUpdate(QWidget *owner, const QString &title, const QString &text) override;
};

class ShellLauncher final : public SetupLauncher {
public:
    bool start(const QString &file, const QString &workingDirectory, QWidget *owner) override;
};

// The tones the classic system call plays; any other frequency is not heard.
constexpr bool audibleTone(int frequencyHz)
{
    return frequencyHz >= 37 && frequencyHz <= 32767;
}

class SystemTone final : public Tone {
public:
    void sound(int frequencyHz, int durationMs) override;
};

// Where the setup file is kept: beside the program, as always, when its directory can be
// written; otherwise (an installed program in /usr/bin, say) the user's download folder,
// created when missing.
QString setupDirectory(const QString &programDir);

struct SystemServices {
    SteadyClock clock;
    MessageBoxPrompt prompt;
    ShellLauncher launcher;
    SystemTone tone;

    Platform platform(std::string versionUrl, QString engineVersionFile, QString programDir);
};
