#include "app/form1.h"
#include "app/systemplatform.h"
#include "buildconfig.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));

    SystemServices services;
    Form1 window(services.platform(KOLUP_VERSION_URL, QStringLiteral(KOLUP_ENGINE_VERSION_FILE),
                                   QCoreApplication::applicationDirPath()));
    window.show();
    // Closing the window ends the program; a setup program it started runs on by itself.
    return app.exec();
}
