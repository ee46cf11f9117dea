#pragma once

#include "app/form1.h"
#include "app/platform.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <functional>

// Time that moves only as the test says: each reading adds `step` milliseconds.
class SteppingClock final : public Clock {
public:
    std::int64_t now = 1'000'000;
    std::int64_t step = 0;
    std::int64_t milliseconds() override
    {
        const std::int64_t reading = now;
        now += step;
        return reading;
    }
};

// The person in front of the question: answers as told, and may act while the box is up.
class ScriptedPrompt final : public UpdatePrompt {
public:
    bool answer = false;
    std::function<void()> whileAsking;
    QList<QString> titles;
    QList<QString> texts;
    bool askToUpdate(QWidget *, const QString &title, const QString &text) override
    {
        titles.append(title);
        texts.append(text);
        if (whileAsking) {
            whileAsking();
        }
        return answer;
    }
};

class RecordingLauncher final : public SetupLauncher {
public:
    struct Start {
        QString file;
        QString workingDirectory;
    };
    QList<Start> starts;
    bool start(const QString &file, const QString &workingDirectory, QWidget *) override
    {
        starts.append({file, workingDirectory});
        return true;
    }
};

class RecordingTone final : public Tone {
public:
    QList<QPair<int, int>> tones;
    void sound(int frequencyHz, int durationMs) override { tones.append({frequencyHz, durationMs}); }
};

// Runs action in the first event round of context's thread in which condition holds: a
// moment inside a transfer or a wait, chosen by what the window shows, never by a sleep.
void onceWhen(QObject *context, std::function<bool()> condition, std::function<void()> action);

// A platform for one test: an engine version file and a program directory of its own.
struct TestPlatform {
    QTemporaryDir dir;
    SteppingClock clock;
    ScriptedPrompt prompt;
    RecordingLauncher launcher;
    RecordingTone tone;
    Platform platform;

    // installedVersion: the engine version file's text; null for no engine.
    explicit TestPlatform(const QString &versionUrl = QString(),
                          const QByteArray &installedVersion = "1.2");

    QString programDir() const { return platform.programDir; }
};
