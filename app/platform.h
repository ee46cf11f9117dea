#pragma once

#include "download/clock.h"
#include "update/signature.h"
#include "update/webclient.h"

#include <QString>

#include <optional>
#include <string>

class QWidget;

// What the window needs from outside the program. The program gets the real ones; tests get
// the real ones pointed at their own servers and files, and stand-ins only for a person at the
// message box, the effects of starting another program, and time.

class UpdatePrompt {
public:
    virtual ~UpdatePrompt() = default;
    // A modal question with OK (the default) and Cancel; true for OK.
    virtual bool askToUpdate(QWidget *owner, const QString &title, const QString &text) = 0;
};

class SetupLauncher {
public:
    virtual ~SetupLauncher() = default;
    // Starts the file by its default action as a separate program and does not wait for it;
    // false when nothing could be started.
    virtual bool start(const QString &file, const QString &workingDirectory, QWidget *owner) = 0;
};

class Tone {
public:
    virtual ~Tone() = default;
    virtual void sound(int frequencyHz, int durationMs) = 0;
};

struct Platform {
    std::string versionUrl;    // the version record's address
    QString engineVersionFile; // where the installed engine keeps its version
    QString programDir;        // where the setup file is stored
    // With a key, only records and setup files the key's owner signed are offered and started.
    std::optional<PublicKey> signingKey;
    WebClient web;
    Clock *clock = nullptr;
    UpdatePrompt *prompt = nullptr;
    SetupLauncher *launcher = nullptr;
    Tone *tone = nullptr;
};
