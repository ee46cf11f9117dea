#pragma once

#include <QString>

class QWidget;

// The only place with code for one operating system or another.

// Starts file by its default action as a separate program in workingDirectory, without
// waiting for it; owner is the window it belongs to. False when nothing could be started.
bool startProgram(const QString &file, const QString &workingDirectory, QWidget *owner);

// Sounds a tone where the system can; a frequency it cannot play is simply not heard.
void soundTone(int frequencyHz, int durationMs);
