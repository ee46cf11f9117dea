#include "fakes.h"

#include "app/qt/form1window.h"
#include "testfiles.h"

#include <QDir>
#include <QLabel>
#include <QTimer>

TestPlatform::TestPlatform(const QString &versionUrl, const QByteArray &installedVersion)
{
    QDir(dir.path()).mkpath(QStringLiteral("program"));
    platform.versionUrl = versionUrl.toStdString();
    platform.engineVersionFile = dir.filePath(QStringLiteral("engine-version")).toStdString();
    platform.setupFolder.path = dir.filePath(QStringLiteral("program")).toStdString();
    platform.programFile = dir.filePath(QStringLiteral("program/kolup-updater")).toStdString();
    if (!installedVersion.isNull()) {
        writeFile(qtPath(platform.engineVersionFile), installedVersion);
    }
    platform.web = WebClient(
        WebClient::Timeouts{std::chrono::milliseconds(3000), std::chrono::milliseconds(3000)});
    // Reconnects as real ones, without their pauses' length.
    platform.reconnectPause = std::chrono::milliseconds(1);
    platform.clock = &clock;
    platform.launcher = &launcher;
    platform.tone = &tone;
}

QString text(Form1Window &window, const char *label)
{
    return window.findChild<QLabel *>(label)->text();
}

void onceWhen(QObject *context, std::function<bool()> condition, std::function<void()> action)
{
    auto *poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, condition, action] {
        if (condition()) {
            poll->stop();
            poll->deleteLater();
            action();
        }
    });
    poll->start(0);
}
