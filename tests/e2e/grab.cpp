// Saves a screenshot of the X screen, or of one window on it: kolup-grab OUT.png [WINDOW-ID]
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: kolup-grab OUT.png [WINDOW-ID]\n");
        return 2;
    }
    const WId window = argc == 3 ? WId(std::strtoull(argv[2], nullptr, 0)) : 0;
    return QGuiApplication::primaryScreen()->grabWindow(window).save(
               QString::fromLocal8Bit(argv[1]))
               ? 0
               : 1;
}
