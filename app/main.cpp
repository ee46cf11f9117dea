#include "app/form1.h"
#include "app/log.h"
#include "app/systemplatform.h"
#include "buildconfig.h"

#include <QApplication>

#include <string_view>

namespace {

// Notes the window's first paint, which the start-up benchmark measures.
class FirstPaintNote final : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            qCDebug(timingLog, "first paint at %lld us", qlonglong(monotonicMicroseconds()));
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
    qCDebug(timingLog, "main at %lld us", qlonglong(entered));
    QApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));

    SystemServices services;
    Platform platform = services.platform(KOLUP_VERSION_URL,
                                          QStringLiteral(KOLUP_ENGINE_VERSION_FILE),
                                          setupDirectory(QCoreApplication::applicationDirPath()));
    if (constexpr std::string_view key = KOLUP_SIGNING_KEY; !key.empty()) {
        platform.signingKey = PublicKey::parse(key);
        if (!platform.signingKey) {
            // A keyed build must never fall back to taking unsigned updates.
            qFatal("the signing key this program was built with is not a minisign public key");
        }
    }
    Form1 window(platform);
    FirstPaintNote firstPaint;
    if (timingLog().isDebugEnabled()) {
        window.installEventFilter(&firstPaint);
    }
    window.show();
    // Closing the window ends the program; a setup program it started runs on by itself.
    return app.exec();
}
