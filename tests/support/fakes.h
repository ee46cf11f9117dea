#pragma once

#include "app/form1.h"
#include "app/platform.h"
#include "app/qt/desktop.h"
#include "app/window.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <array>
#include <functional>
#include <string>
#include <vector>

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
    void sleep(std::chrono::milliseconds length) override { now += length.count(); }
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
    bool start(const std::filesystem::path &file, const std::filesystem::path &workingDirectory,
               std::uintptr_t) override
    {
        starts.append({qtPath(file), qtPath(workingDirectory)});
        return true;
    }
};

// A window that only remembers: for the handlers' rules, where a real window adds nothing.
class FakeWindow final : public Window {
public:
    std::array<std::string, ControlCount> captions;
    std::array<bool, ControlCount> visible{};
    std::array<bool, ControlCount> enabled{};
    float fill = 0;
    bool answer = false;
    std::function<void()> whileAsking;  // acts while the question is up
    std::function<void()> duringEvents; // acts in each event round
    int questions = 0;
    QList<TaskbarProgress> taskbar; // every state shown, in order
    int flashes = 0;
    std::vector<std::string> percents; // Label7's captions, in order
    std::vector<int> percentRounds;    // how many event rounds had run when each was set
    int rounds = 0;
    bool closed = false;
    Form1 *form = nullptr; // asked whether it may close, as a real window does

    FakeWindow()
    {
        visible.fill(true);
        enabled.fill(true);
    }
    const std::string &caption(Control c) const { return captions[std::size_t(c)]; }
    void setCaption(Control c, std::string_view text) override
    {
        captions[std::size_t(c)] = text;
        if (c == Control::Label7) {
            percents.emplace_back(text);
            percentRounds.push_back(rounds);
        }
    }
    void showControl(Control c, bool on) override { visible[std::size_t(c)] = on; }
    void enableControl(Control c, bool on) override { enabled[std::size_t(c)] = on; }
    bool setFillWidth(float twips) override { return std::exchange(fill, twips) != twips; }
    double trackWidth() const override { return 5775; }
    bool askOkCancel(std::string_view, std::string_view) override
    {
        ++questions;
        if (whileAsking) {
            whileAsking();
        }
        return answer;
    }
    void processEvents() override
    {
        ++rounds;
        if (duringEvents) {
            duringEvents();
        }
    }
    void showTaskbarProgress(TaskbarProgress state, std::int64_t, std::int64_t) override
    {
        taskbar.append(state);
    }
    void flashIfInBackground() override { ++flashes; }
    void closeWindow() override { closed = closed || !form || form->QueryUnload(); }
    std::string decimalSeparator() const override { return "."; }
    std::uintptr_t handle() const override { return 0; }
};

class RecordingTone final : public Tone {
public:
    QList<QPair<int, int>> tones;
    void sound(int frequencyHz, int durationMs) override
    {
        tones.append({frequencyHz, durationMs});
    }
};

// Runs action in the first event round of context's thread in which condition holds: a
// moment inside a transfer or a wait, chosen by what the window shows, never by a sleep.
class Form1Window;
// What a label of the window shows.
QString text(Form1Window &window, const char *label);

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

    QString programDir() const { return qtPath(platform.setupFolder.path); }
};
