// The references for the start-up benchmark: a bare Qt window of the updater's size that notes
// its first paint on the same clock as the updater, then ends; built once as it is and once
// linked with libcurl.

#include <QApplication>
#include <QPaintEvent>
#include <QWidget>

#include <chrono>
#include <cstdio>

#ifdef WITH_CURL
#include <curl/curl.h>
#endif

class BareWindow final : public QWidget {
protected:
    void paintEvent(QPaintEvent *) override
    {
        using namespace std::chrono;
        const auto now = duration_cast<microseconds>(steady_clock::now().time_since_epoch());
        std::fprintf(stderr, "first paint at %lld us\n", static_cast<long long>(now.count()));
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
};

int main(int argc, char *argv[])
{
#ifdef WITH_CURL
    // Linked like the updater, so that loading libcurl's library tree is part of the start.
    if (!curl_version_info(CURLVERSION_NOW)) {
        return 1;
    }
#endif
    QApplication app(argc, argv);
    BareWindow window;
    window.setFixedSize(395, 417);
    window.show();
    return app.exec();
}
