#include "app/controls.h"
#include "app/qt/form1window.h"
#include "app/qt/picturebox.h"
#include "fakes.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>

namespace {

QString caption(QWidget *widget)
{
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        return button->text();
    }
    if (auto *frame = qobject_cast<QGroupBox *>(widget)) {
        return frame->title();
    }
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        return label->text();
    }
    if (auto *line = qobject_cast<QLineEdit *>(widget)) {
        return line->text();
    }
    if (auto *text = qobject_cast<QPlainTextEdit *>(widget)) {
        return text->toPlainText();
    }
    return QString();
}

// Position in the container's own measure: picture boxes measure from inside their border.
QRect twipsGeometry(QWidget *widget)
{
    QPoint origin;
    if (auto *picture = qobject_cast<PictureBox *>(widget->parentWidget())) {
        origin = picture->contentsRect().topLeft();
    }
    const QRect r = widget->geometry().translated(-origin);
    return {r.x() * 15, r.y() * 15, r.width() * 15, r.height() * 15};
}

// Makes what stands at a path, from the given file; false if it cannot.
using Make = std::function<bool(const QString &path, const QString &from)>;
const Make nothing = [](const QString &, const QString &) { return true; };
const Make folder = [](const QString &path, const QString &) { return QDir().mkdir(path); };

} // namespace

Q_DECLARE_METATYPE(Make)

class TestForm1 : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void shellLauncher_data();
    void shellLauncher();
    void setupGoesBesideProgramOrToDownloads_data();
    void setupGoesBesideProgramOrToDownloads();
    void onlyTheClassicTonesAreHeard_data();
    void onlyTheClassicTonesAreHeard();
    void controls_data();
    void controls();
    void tabOrderFollowsTabIndex();
    void windowIsFixedWithoutMaximize();
    void idleLookAfterLoad();
    void setVisSwitchesFramesAndCaptionsOnly_data();
    void setVisSwitchesFramesAndCaptionsOnly();
    void installedVersion_data();
    void installedVersion();
};

void TestForm1::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<double>("points"); // 0: the window's font
    QTest::addColumn<bool>("bold");

    // form1.ui, as Qt loads it, against the one table of the controls.
    for (const ControlSpec &spec : Controls) {
        static constexpr const char *Kinds[] = {"QPushButton", "QGroupBox", "QLabel",
                                                "PictureBox",  "QLineEdit", "QPlainTextEdit"};
        const std::string_view container =
            spec.container == spec.control ? "Form1" : specOf(spec.container).name;
        const double points = spec.font == ControlFont::Exit      ? 13.5
                              : spec.font == ControlFont::Caption ? 8.25
                                                                  : 0;
        QTest::newRow(spec.name.data())
            << QString::fromLatin1(spec.name) << QString::fromLatin1(Kinds[int(spec.kind)])
            << QString::fromLatin1(container) << QString::fromUtf8(spec.caption)
            << QRect(spec.left, spec.top, spec.width, spec.height) << points << (points > 0);
    }
}

void TestForm1::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, container);
    QFETCH(QString, text);
    QFETCH(QRect, twips);
    QFETCH(double, points);
    QFETCH(bool, bold);

    TestPlatform test{QString(), QByteArray()}; // no engine: Label2 keeps its empty caption
    Form1Window window(test.platform, &test.prompt);
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QVERIFY2(widget->inherits(kind.toLatin1()), widget->metaObject()->className());
    QCOMPARE(widget->parentWidget()->objectName(), container);
    QCOMPARE(caption(widget), text);

    const QRect actual = twipsGeometry(widget);
    const auto near = [](int got, int want) { return std::abs(got - want) <= 15; };
    QVERIFY2(near(actual.x(), twips.x()) && near(actual.y(), twips.y()) &&
                 near(actual.width(), twips.width()) && near(actual.height(), twips.height()),
             qPrintable(QStringLiteral("%1,%2 %3x%4")
                            .arg(actual.x())
                            .arg(actual.y())
                            .arg(actual.width())
                            .arg(actual.height())));

    if (points > 0) {
        QCOMPARE(widget->font().family(), QStringLiteral("MS Sans Serif"));
        QCOMPARE(widget->font().pointSizeF(), points);
        QCOMPARE(widget->font().bold(), bold);
    } else {
        QCOMPARE(widget->font(), window.font());
    }
    // The classic font's stand-in keeps every caption on one line inside its label.
    if (auto *label = qobject_cast<QLabel *>(widget); label && !text.isEmpty()) {
        QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= label->contentsRect().width(),
                 qPrintable(label->font().family() + " " + QFontInfo(label->font()).family()));
    }
}

void TestForm1::tabOrderFollowsTabIndex()
{
    TestPlatform test;
    Form1Window window(test.platform, &test.prompt);
    // The controls that take focus with Tab, in increasing tab index.
    const QStringList expected = {"Command1", "Command2", "Text2", "Command3"};
    QStringList chain;
    QWidget *widget = window.findChild<QWidget *>(expected.first());
    for (int i = 0; i < 40 && chain.size() < expected.size(); ++i) {
        if (widget->focusPolicy() & Qt::TabFocus) {
            chain.append(widget->objectName());
        }
        widget = widget->nextInFocusChain();
    }
    QCOMPARE(chain, expected);
    QCOMPARE(window.findChild<QWidget *>("Text1")->focusPolicy(), Qt::NoFocus);
}

void TestForm1::windowIsFixedWithoutMaximize()
{
    TestPlatform test;
    Form1Window window(test.platform, &test.prompt);
    QCOMPARE(window.windowTitle(), QStringLiteral("Kolup Updater"));
    QCOMPARE(window.size(), QSize(395, 417)); // 5925 x 6255 twips
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(window.windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(window.windowIcon().availableSizes().value(0), QSize(48, 48));
    auto *banner = window.findChild<PictureBox *>("Picture1");
    QCOMPARE(banner->size(), QSize(392, 94)); // the picture plus its border
}

void TestForm1::idleLookAfterLoad()
{
    TestPlatform test;
    Form1Window window(test.platform, &test.prompt);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    for (const char *frame : {"Frame2", "Frame3"}) {
        QVERIFY(window.findChild<QWidget *>(frame)->isVisible());
        QVERIFY(!window.findChild<QWidget *>(frame)->isEnabled());
    }
    for (const char *label : {"Label4", "Label6", "Label8", "Label10", "Label12"}) {
        QVERIFY2(!window.findChild<QWidget *>(label)->isVisible(), label);
    }
    QVERIFY(!window.findChild<QWidget *>("Text2")->isVisible());
    QVERIFY(!window.findChild<QWidget *>("Command3")->isVisible());
    QVERIFY(!window.findChild<QWidget *>("Command2")->isEnabled());
    QVERIFY(window.findChild<QWidget *>("Command1")->isEnabled());
    QCOMPARE(window.findChild<QWidget *>("Text1")->width(), 1);

    const UpdaterState &state = window.form().state();
    QVERIFY(state.Engine);
    QCOMPARE(state.CancelRequested, FlagFalse);
    QCOMPARE(state.SetupDownloaded, FlagFalse);
    QVERIFY(state.SetupPath.empty());
}

void TestForm1::setVisSwitchesFramesAndCaptionsOnly_data()
{
    QTest::addColumn<Flag>("ok");
    QTest::newRow("true") << FlagTrue;
    QTest::newRow("false") << FlagFalse;
}

void TestForm1::setVisSwitchesFramesAndCaptionsOnly()
{
    QFETCH(Flag, ok);
    TestPlatform test;
    Form1Window window(test.platform, &test.prompt);
    window.show();
    auto *offered = window.findChild<QLabel *>("Label3");
    offered->setText(QStringLiteral("1.5"));

    window.form().SetVis(FlagTrue);
    window.form().SetVis(ok);
    const bool on = ok == FlagTrue;
    QCOMPARE(window.findChild<QWidget *>("Frame2")->isEnabled(), on);
    QCOMPARE(window.findChild<QWidget *>("Frame3")->isEnabled(), on);
    for (const char *label : {"Label4", "Label6", "Label8", "Label10", "Label12"}) {
        QCOMPARE(window.findChild<QWidget *>(label)->isVisible(), on);
    }
    // Value labels stay as they are, visible, inside a disabled frame if need be.
    QVERIFY(offered->isVisible());
    QCOMPARE(offered->text(), QStringLiteral("1.5"));
    QVERIFY(window.findChild<QWidget *>("Picture2")->isVisible());
}

void TestForm1::installedVersion_data()
{
    QTest::addColumn<QByteArray>("file"); // null: no file at all
    QTest::addColumn<bool>("fifo");       // a FIFO nobody writes stands there instead
    QTest::addColumn<bool>("comma");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("engine");
    const auto row = [](const char *name, const QByteArray &file, const char *shown,
                        bool comma = false, bool fifo = false) {
        QTest::newRow(name) << file << fifo << comma << QString(shown) << (*shown != '\0');
    };
    row("plain", "1.2", "1.2");
    row("white space around", "  1.25\n", "1.25");
    row("comma locale", "1.5\n", "1,5", true);
    row("whole", "2", "2");
    row("missing file", QByteArray(), "");
    row("empty file", "", "");
    row("not a number", "one point two", "");
    row("comma in the file", "1,2", "");
    row("trailing words", "1.2 beta", "");
    row("infinite", "inf", "");
    row("a FIFO nobody writes", QByteArray(), "", false, true);
    row("longer than a version", QByteArray("1.5") + QByteArray(100, ' '), "");
}

void TestForm1::installedVersion()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, fifo);
    QFETCH(bool, comma);
    QFETCH(QString, shown);
    QFETCH(bool, engine);
    if (comma) {
        QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    }
    TestPlatform test(QString(), file);
    QVERIFY(!fifo ||
            ::mkfifo(QFile::encodeName(qtPath(test.platform.engineVersionFile)).constData(),
                     0600) == 0);
    Form1Window window(test.platform, &test.prompt);
    QCOMPARE(window.findChild<QLabel *>("Label2")->text(), shown);
    QCOMPARE(bool(window.form().state().Engine), engine);
    // Start-up went on past a missing engine all the same.
    QVERIFY(!window.findChild<QWidget *>("Command2")->isEnabled());
    QVERIFY(window.findChild<QWidget *>("Command3")->isHidden());
}

void TestForm1::shellLauncher_data()
{
    QTest::addColumn<Make>("setup"); // from a script of the user's
    QTest::addColumn<bool>("started");
    QTest::newRow("the script itself")
        << Make([](const QString &path, const QString &from) { return QFile::rename(from, path); })
        << true;
    QTest::newRow("link to a script elsewhere")
        << Make([](const QString &path, const QString &from) { return QFile::link(from, path); })
        << false;
    QTest::newRow("directory") << folder << false;
    QTest::newRow("nothing") << nothing << false;
}

void TestForm1::shellLauncher()
{
    QFETCH(Make, setup);
    QFETCH(bool, started);
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("ran-in"));
    const QString script = dir.filePath(QStringLiteral("elsewhere.sh"));
    QVERIFY(writeFile(script, "#!/bin/sh\npwd > '" + marker.toLocal8Bit() + "'\n"));
    // As downloaded: readable, not executable. The launcher makes it so.
    QVERIFY(QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const QString path = dir.filePath(QStringLiteral("setup"));
    QVERIFY(setup(path, script));

    ShellLauncher launcher;
    QCOMPARE(launcher.start(path.toStdString(), "/", 0), started);
    if (started) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(marker).size() > 0, 10000);
        QCOMPARE(contents(marker).trimmed(), QByteArray("/"));
    }
    // A link did not lend the permission to run to the file it points at.
    QCOMPARE(bool(QFile::permissions(started ? path : script) & QFileDevice::ExeOwner), started);
}

void TestForm1::setupGoesBesideProgramOrToDownloads_data()
{
    QTest::addColumn<Make>("program"); // what stands at the program's directory
    QTest::addColumn<bool>("downloads");
    QTest::newRow("writable directory") << folder << false;
    QTest::newRow("no directory there") << nothing << true;
    QTest::newRow("a file there") << Make([](const QString &path, const QString &) {
        return writeFile(path, {});
    }) << true;
    // Every user's, though root could write there.
    QTest::newRow("a link to /usr/bin")
        << Make([](const QString &path, const QString &) { return QFile::link("/usr/bin", path); })
        << true;
}

void TestForm1::setupGoesBesideProgramOrToDownloads()
{
    QFETCH(Make, program);
    QFETCH(bool, downloads);
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    const QString dir = home.filePath("bin");
    QVERIFY(program(dir, {}));
    const SetupFolder chosen = setupFolder(dir.toStdString());
    qputenv("HOME", oldHome);
    qputenv("XDG_CONFIG_HOME", oldConfig);
    QCOMPARE(qtPath(chosen.path), downloads ? home.filePath("Downloads") : dir);
    // The download folder is the user's, and is made only when a download starts.
    QCOMPARE(chosen.fallback, downloads);
    QCOMPARE(chosen.ours, !downloads);
    QCOMPARE(QFileInfo(qtPath(chosen.path)).isDir(), !downloads);
}

void TestForm1::onlyTheClassicTonesAreHeard_data()
{
    QTest::addColumn<int>("hertz");
    QTest::addColumn<bool>("heard");
    QTest::newRow("below") << 36 << false;
    QTest::newRow("lowest") << 37 << true;
    QTest::newRow("highest") << 32767 << true;
    QTest::newRow("above") << 32768 << false;
    QTest::newRow("the download's") << 45000 << false;
}

void TestForm1::onlyTheClassicTonesAreHeard()
{
    QFETCH(int, hertz);
    QFETCH(bool, heard);
    QCOMPARE(audibleTone(hertz), heard);
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
