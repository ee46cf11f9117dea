#pragma once

#include "app/platform.h"

// The real services of the desktop the program runs on.

class SteadyClock final : public Clock {
public:
    std::int64_t milliseconds() override;
};

class MessageBoxPrompt final : public UpdatePrompt {
public:
    bool askToUpdate(QWidget *owner, const QString &title, const QString &text) override;
};

class ShellLauncher final : public SetupLauncher {
public:
    void start(const QString &file, const QString &workingDirectory, QWidget *owner) override;
};

class SystemTone final : public Tone {
public:
    void sound(int frequencyHz, int durationMs) override;
};

struct SystemServices {
    SteadyClock clock;
    MessageBoxPrompt prompt;
    ShellLauncher launcher;
    SystemTone tone;

    Platform platform(std::string versionUrl, QString engineVersionFile, QString programDir);
};
