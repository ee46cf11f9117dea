#include "app/systemplatform.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>

bool MessageBoxPrompt::askToUpdate(QWidget *owner, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok | QMessageBox::Cancel, owner);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

QString setupDirectory(const QString &programDir)
{
    const QFileInfo program(programDir);
    if (program.isDir() && program.isWritable()) {
        return programDir;
    }
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QDir().mkpath(downloads);
    return downloads;
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
