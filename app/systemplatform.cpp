#include "app/systemplatform.h"

#include "app/shell.h"

#include <QMessageBox>

#include <chrono>

std::int64_t SteadyClock::milliseconds()
{
    using namespace std::chrono;
    return duration_cast<std::chrono::milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool MessageBoxPrompt::askToUpdate(QWidget *owner, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok | QMessageBox::Cancel, owner);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

void ShellLauncher::start(const QString &file, const QString &workingDirectory, QWidget *owner)
{
    startProgram(file, workingDirectory, owner);
}

void SystemTone::sound(int frequencyHz, int durationMs)
{
    soundTone(frequencyHz, durationMs);
}

Platform SystemServices::platform(std::string versionUrl, QString engineVersionFile,
                                  QString programDir)
{
    Platform result;
    result.versionUrl = std::move(versionUrl);
    result.engineVersionFile = std::move(engineVersionFile);
    result.programDir = std::move(programDir);
    result.clock = &clock;
    result.prompt = &prompt;
    result.launcher = &launcher;
    result.tone = &tone;
    return result;
}
