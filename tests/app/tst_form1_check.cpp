#include "app/qt/form1window.h"
#include "fakes.h"
#include "minisign.h"
#include "records.h"
#include "testserver.h"

#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <limits>

namespace {

constexpr auto RecordPath = "/kolup/KOLUP_VERSION.txt";

bool panelsActive(Form1Window &window)
{
    return window.findChild<QWidget *>("Frame2")->isEnabled() &&
           window.findChild<QWidget *>("Label4")->isVisible();
}

bool exitShown(Form1Window &window)
{
    return !window.findChild<QWidget *>("Command3")->isHidden();
}

} // namespace

class TestForm1Check : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void checks_data();
    void checks();
    void laterCheck_data();
    void laterCheck();
    void closeDuringRecordReadClosesWindow();
    void closeWhileAskingDownloadsNothing_data();
    void closeWhileAskingDownloadsNothing();
    void messageBoxAnswers_data();
    void messageBoxAnswers();

private:
    TestServer m_server;
};

void TestForm1Check::checks_data()
{
    QTest::addColumn<QByteArray>("record");    // null: the host has none (404)
    QTest::addColumn<QString>("result");       // Label13
    QTest::addColumn<QString>("offered");      // Label3
    QTest::addColumn<QString>("kb");           // Label5
    QTest::addColumn<QByteArray>("installed"); // the engine's file; null: no engine
    QTest::addColumn<QString>("label2");
    QTest::addColumn<bool>("comma"); // the user's locale writes 1,5
    const QString none = QStringLiteral("NO UPDATE AVAILABLE");
    const QString invalid = QStringLiteral("INVALID UPDATE INFORMATION");
    const QByteArray setup = "http://127.0.0.1/kolup/setup.exe";
    const auto row = [](const char *name, const QByteArray &record, const QString &result,
                        const char *offered = "", const char *kb = "") {
        QTest::newRow(name) << record << result << QString(offered) << QString(kb)
                            << QByteArray("1.2") << "1.2" << false;
    };
    row("no connection", QByteArray(), "NO INTERNET CONNECTION FOUND");
    row("equal", recordBytes(1.2f, setup, 5000), none, "1.2");
    row("older", recordBytes(1.0f, setup, 5000), none, "1");
    row("not a number", recordBytes(std::numeric_limits<float>::quiet_NaN(), setup, 5000), none,
        "nan");
    // Newer: the size in whole kb, and the question (answered Cancel here).
    row("1023 bytes", recordBytes(1.5f, setup, 1023), "", "1.5", " 0 kb");
    row("1024 bytes", recordBytes(1.5f, setup, 1024), "", "1.5", " 1 kb");
    row("1536000 bytes", recordBytes(1.5f, setup, 1536000), "", "1.5", " 1500 kb");
    // Refused before anything is shown, newer or not (every rule: tst_updatecheck).
    row("empty response", "", invalid);
    row("a device's name", recordBytes(1.5f, "http://h/CON.exe", 10), invalid);
    // The window shows the locale's comma; the question keeps the point.
    QTest::newRow("a comma locale") << recordBytes(1.5f, setup, 5000) << ""
                                    << "1,5"
                                    << " 4 kb" << QByteArray("1.2") << "1,2" << true;
    // Without an engine any version is newer, but not one that is no number.
    QTest::newRow("no engine, any offer") << recordBytes(0.5f, setup, 5000) << ""
                                          << "0.5"
                                          << " 4 kb" << QByteArray() << "" << false;
    QTest::newRow("no engine, not a number")
        << recordBytes(std::nanf(""), setup, 50) << none << "nan"
        << "" << QByteArray() << "" << false;
}

void TestForm1Check::checks()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, result);
    QFETCH(QString, offered);
    QFETCH(QString, kb);
    QFETCH(QByteArray, installed);
    QFETCH(QString, label2);
    QFETCH(bool, comma);
    if (comma) {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }
    m_server.serve(RecordPath, {.status = record.isNull() ? 404 : 200, .body = record});
    TestPlatform test(m_server.url(RecordPath), installed);
    Form1Window window(test.platform, &test.prompt);
    window.show();
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label2"), label2);
    QCOMPARE(text(window, "Label13"), result);
    QCOMPARE(text(window, "Label3"), offered);
    QVERIFY(window.findChild<QWidget *>("Label3")->isVisible()); // in the idle frame if need be
    QCOMPARE(text(window, "Label5"), kb);
    const bool asked = !kb.isEmpty();
    QCOMPARE(panelsActive(window), asked);
    QCOMPARE(exitShown(window), !asked); // shown with every result, not by the question
    QCOMPARE(window.form().state().SetupPath.empty(), offered.isEmpty());
    if (asked) {
        QCOMPARE(test.prompt.titles, QStringList{"Kolup Updater"});
        QCOMPARE(test.prompt.texts,
                 QStringList{"Kolup version  " + QString(offered).replace(',', '.') +
                             " is Available\n Do You want to UpDate Now ?"});
        QCOMPARE(qtPath(window.form().state().SetupPath), test.programDir() + "/setup.exe");
        QCOMPARE(text(window, "Label11"), QString()); // Cancel: no download
        QCOMPARE(m_server.requests().last().path, QByteArray(RecordPath));
    } else {
        QVERIFY(test.prompt.texts.isEmpty());
    }
}

void TestForm1Check::laterCheck_data()
{
    QTest::addColumn<QByteArray>("first"); // the record of the first check
    QTest::addColumn<QByteArray>("then");  // of the second; null: none at all (404)
    QTest::addColumn<QString>("label3");
    QTest::addColumn<QString>("label5");
    QTest::addColumn<QString>("label13");
    const QByteArray setup = "http://127.0.0.1/kolup/setup.exe";
    const QString none = QStringLiteral("NO UPDATE AVAILABLE");
    // An earlier result stays beside a new offer; a later check keeps the offer on show.
    QTest::newRow("no update, then an offer")
        << recordBytes(1.2f, setup, 5000) << recordBytes(2.0f, setup, 5000) << "2"
        << " 4 kb" << none;
    QTest::newRow("an offer, then no update")
        << recordBytes(2.0f, setup, 5120) << recordBytes(1.2f, setup, 9999) << "1.2"
        << " 5 kb" << none;
    QTest::newRow("an offer, then no connection")
        << recordBytes(2.0f, setup, 5120) << QByteArray() << "2"
        << " 5 kb"
        << "NO INTERNET CONNECTION FOUND";
}

void TestForm1Check::laterCheck()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, then);
    QFETCH(QString, label3);
    QFETCH(QString, label5);
    QFETCH(QString, label13);
    TestPlatform test(m_server.url(RecordPath), "1.2");
    Form1Window window(test.platform, &test.prompt);
    window.show();
    m_server.serve(RecordPath, first);
    window.form().Command1_Click();
    m_server.serve(RecordPath, {.status = then.isNull() ? 404 : 200, .body = then});
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label3"), label3);
    QCOMPARE(text(window, "Label5"), label5);
    QCOMPARE(text(window, "Label13"), label13);
    QVERIFY(panelsActive(window));
}

void TestForm1Check::closeWhileAskingDownloadsNothing_data()
{
    QTest::addColumn<bool>("answer"); // what the question returns once the window is gone
    QTest::newRow("OK") << true;
    QTest::newRow("Cancel") << false;
}

void TestForm1Check::closeWhileAskingDownloadsNothing()
{
    QFETCH(bool, answer);
    m_server.serve(RecordPath, recordBytes(1.5f, m_server.url("/kolup/setup.exe").toLatin1(), 10));
    m_server.serve("/kolup/setup.exe", QByteArray(10, 's'));
    TestPlatform test(m_server.url(RecordPath), "1.2");
    FakeWindow window;
    Form1 form(window, test.platform);
    window.form = &form;
    window.answer = answer;
    window.whileAsking = [&] { window.closeWindow(); };
    form.Form_Load();
    const qsizetype earlier = m_server.requests().size();
    form.Command1_Click();
    QVERIFY(window.closed);
    QCOMPARE(form.phase(), Form1::Phase::Closed);
    QCOMPARE(window.caption(Control::Label11), std::string());
    for (const TestServer::Request &request : m_server.requests().mid(earlier)) {
        QCOMPARE(request.path, QByteArray(RecordPath));
    }
    QVERIFY(test.launcher.starts.isEmpty());
}

void TestForm1Check::closeDuringRecordReadClosesWindow()
{
    m_server.serve(RecordPath, {.body = recordBytes(1.5f, "http://127.0.0.1/kolup/setup.exe", 5000),
                                .misbehaviour = TestServer::Misbehaviour::Stall,
                                .sendBytes = 100});
    const auto before = m_server.requests().size();
    TestPlatform test(m_server.url(RecordPath), "1.2");
    Form1Window window(test.platform, &test.prompt);
    window.show();
    // Once the server holds the request: a second check, then the window's close control.
    onceWhen(
        &window, [&] { return m_server.requests().size() > before; },
        [&] {
            window.form().Command1_Click();
            window.close();
        });
    window.form().Command1_Click();
    QVERIFY(!window.isVisible());
    QCOMPARE(text(window, "Label13"), QString()); // ended by the close, not by the stall
    QCOMPARE(m_server.requests().size(), before + 1);
    QVERIFY(test.launcher.starts.isEmpty());
}

void TestForm1Check::messageBoxAnswers_data()
{
    QTest::addColumn<int>("key"); // 0: the box's close control
    QTest::addColumn<bool>("ok");
    QTest::newRow("Enter takes the default, OK") << int(Qt::Key_Return) << true;
    QTest::newRow("Escape is Cancel") << int(Qt::Key_Escape) << false;
    QTest::newRow("closing is Cancel") << 0 << false;
}

void TestForm1Check::messageBoxAnswers()
{
    QFETCH(int, key);
    QFETCH(bool, ok);
    QString shownText;
    QStringList buttons;
    bool iconless = false;
    // Answer the real box once it is up, as a person would.
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        shownText = box->text();
        iconless = box->icon() == QMessageBox::NoIcon;
        for (QAbstractButton *button : box->buttons()) {
            buttons.append(button->text().remove('&'));
        }
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::Ok));
        QCOMPARE(box->windowTitle(), QStringLiteral("Kolup Updater"));
        if (key) {
            QTest::keyClick(box, Qt::Key(key));
        } else {
            box->close();
        }
    });
    MessageBoxPrompt prompt;
    const bool answer = prompt.askToUpdate(nullptr, QStringLiteral("Kolup Updater"),
                                           QStringLiteral("Kolup version  1.5 is Available\n Do"));
    QCOMPARE(answer, ok);
    QCOMPARE(shownText, QStringLiteral("Kolup version  1.5 is Available\n Do"));
    QVERIFY(iconless);
    buttons.sort();
    QCOMPARE(buttons, (QStringList{"Cancel", "OK"}));
}

QTEST_MAIN(TestForm1Check)
#include "tst_form1_check.moc"
