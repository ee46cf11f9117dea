#include "app/qt/desktop.h"
#include "app/qt/form1window.h"
#include "buildconfig.h"
#include "os/files.h"
#include "update/log.h"

#include <QApplication>

#include <string_view>

namespace {

// Notes the window's first paint, which the start-up benchmark measures.
class FirstPaintNote final : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            logMoment("first paint");
            watched->removeEventFilter(this);
        }
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    const std::int64_t entered = monotonicMicroseconds();
    QApplication app(argc, argv);
    sendLogToQt();
    logMoment("main", entered);
    QApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));

    SystemServices services;
    Platform platform =
        services.platform(KolupVersionUrl, KolupEngineVersionFile, files::programPath());
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
