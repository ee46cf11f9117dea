#include "app/qt/desktop.h"
#include "app/qt/form1window.h"
#include "buildconfig.h"
#include "download/files.h"
#include "update/log.h"

#include <QApplication>

#include <chrono>
#include <string_view>

namespace {

std::string microsecondsNow()
{
    using namespace std::chrono;
    return std::to_string(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// Notes the window's first paint, which the start-up benchmark measures.
class FirstPaintNote final : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            logMessage(LogKind::Timing, "first paint at " + microsecondsNow() + " us");
            watched->removeEventFilter(this);
        }
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    const std::string entered = microsecondsNow();
    QApplication app(argc, argv);
    sendLogToQt();
    logMessage(LogKind::Timing, "main at " + entered + " us");
    QApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));

    SystemServices services;
    const std::filesystem::path program = files::programPath();
    Platform platform =
        services.platform(KOLUP_VERSION_URL, KOLUP_ENGINE_VERSION_FILE,
                          setupDirectory(program.parent_path()), program.filename().string());
    if (constexpr std::string_view keys = KOLUP_SIGNING_KEY; !keys.empty()) {
        const auto parsed = PublicKey::parseList(keys);
        if (!parsed) {
            // A keyed build must never fall back to taking unsigned updates.
            qFatal("a signing key this program was built with is not a minisign public key");
        }
        platform.signingKeys = *parsed;
    }
    Form1Window window(platform);
    FirstPaintNote firstPaint;
    window.installEventFilter(&firstPaint);
    window.show();
    // Closing the window ends the program; a setup program it started runs on by itself.
    return app.exec();
}
