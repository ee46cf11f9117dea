#include "update/updatecheck.h"
#include "app/qt/form1window.h"
#include "fakes.h"
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

QString text(Form1Window &window, const char *label)
{
    return window.findChild<QLabel *>(label)->text();
}

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

class TestUpdateCheck : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void noConnection();
    void noOffer_data();
    void noOffer();
    void offerAnsweredCancel_data();
    void offerAnsweredCancel();
    void offerAnsweredOkDownloads();
    void earlierResultStaysBesideNewOffer();
    void laterCheckKeepsTheOffer_data();
    void laterCheckKeepsTheOffer();
    void commaLocaleKeepsPointInQuestion();
    void invalidRecords_data();
    void invalidRecords();
    void recordReads_data();
    void recordReads();
    void closeDuringRecordReadClosesWindow();
    void closeWhileAskingDownloadsNothing_data();
    void closeWhileAskingDownloadsNothing();
    void noEngineTakesAnyOffer();
    void messageBoxAnswers_data();
    void messageBoxAnswers();

private:
    TestServer m_server;
};

void TestUpdateCheck::noConnection()
{
    TestPlatform test(m_server.url("/nothing/KOLUP_VERSION.txt"));
    Form1Window window(test.platform, &test.prompt);
    window.show();
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label13"), QStringLiteral("NO INTERNET CONNECTION FOUND"));
    QVERIFY(exitShown(window));
    QCOMPARE(text(window, "Label3"), QString());
    QVERIFY(!panelsActive(window));
    QVERIFY(test.prompt.texts.isEmpty());
}

void TestUpdateCheck::noOffer_data()
{
    QTest::addColumn<float>("offered");
    QTest::addColumn<QString>("shown");
    QTest::newRow("equal") << 1.2f << "1.2";
    QTest::newRow("older") << 1.0f << "1";
    QTest::newRow("not a number") << std::numeric_limits<float>::quiet_NaN() << "nan";
}

void TestUpdateCheck::noOffer()
{
    QFETCH(float, offered);
    QFETCH(QString, shown);
    m_server.serve(RecordPath, recordBytes(offered, "http://127.0.0.1/kolup/setup.exe", 5000));
    TestPlatform test(m_server.url(RecordPath), "1.2");
    Form1Window window(test.platform, &test.prompt);
    window.show();
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label13"), QStringLiteral("NO UPDATE AVAILABLE"));
    QCOMPARE(text(window, "Label3"), shown);
    QVERIFY(window.findChild<QWidget *>("Label3")->isVisible()); // in the idle frame
    QVERIFY(!panelsActive(window));
    QCOMPARE(text(window, "Label5"), QString());
    QVERIFY(exitShown(window));
    QVERIFY(test.prompt.texts.isEmpty());
}

void TestUpdateCheck::offerAnsweredCancel_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("kb");
    QTest::newRow("1023 bytes") << 1023 << " 0 kb";
    QTest::newRow("1024 bytes") << 1024 << " 1 kb";
    QTest::newRow("1536000 bytes") << 1536000 << " 1500 kb";
}

void TestUpdateCheck::offerAnsweredCancel()
{
    QFETCH(int, size);
    QFETCH(QString, kb);
    m_server.serve(RecordPath, recordBytes(1.5f, "http://127.0.0.1/kolup/setup.exe", size));
    TestPlatform test(m_server.url(RecordPath), "1.2");
    test.prompt.answer = false;
    Form1Window window(test.platform, &test.prompt);
    window.show();
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label3"), QStringLiteral("1.5"));
    QCOMPARE(text(window, "Label5"), kb);
    QVERIFY(panelsActive(window));
    QCOMPARE(test.prompt.titles, QStringList{"Kolup Updater"});
    QCOMPARE(test.prompt.texts,
             QStringList{"Kolup version  1.5 is Available\n Do You want to UpDate Now ?"});
    QCOMPARE(text(window, "Label13"), QString());
    QVERIFY(!exitShown(window));
    QCOMPARE(qtPath(window.form().state().SetupPath), test.programDir() + "/setup.exe");
    QCOMPARE(text(window, "Label11"), QString()); // no download
    QCOMPARE(m_server.requests().last().path, QByteArray(RecordPath));
}

void TestUpdateCheck::offerAnsweredOkDownloads()
{
    m_server.serve("/kolup/ok-setup.exe", QByteArray(2048, 'k'));
    m_server.serve(RecordPath,
                   recordBytes(1.5f, m_server.url("/kolup/ok-setup.exe").toLatin1(), 2048));
    TestPlatform test(m_server.url(RecordPath));
    test.prompt.answer = true;
    Form1Window window(test.platform, &test.prompt);
    window.show();
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label11"), QStringLiteral("DOWNLOAD COMPLETED.."));
    QCOMPARE(window.form().state().SetupDownloaded, FlagTrue);
}

void TestUpdateCheck::earlierResultStaysBesideNewOffer()
{
    TestPlatform test(m_server.url(RecordPath), "1.2");
    Form1Window window(test.platform, &test.prompt);
    window.show();
    m_server.serve(RecordPath, recordBytes(1.2f, "http://127.0.0.1/kolup/setup.exe", 5000));
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label13"), QStringLiteral("NO UPDATE AVAILABLE"));

    m_server.serve(RecordPath, recordBytes(2.0f, "http://127.0.0.1/kolup/setup.exe", 5000));
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label3"), QStringLiteral("2"));
    QVERIFY(panelsActive(window));
    QCOMPARE(text(window, "Label13"), QStringLiteral("NO UPDATE AVAILABLE"));
}

void TestUpdateCheck::laterCheckKeepsTheOffer_data()
{
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QString>("label3");
    QTest::newRow("no update") << true << "1.2";
    QTest::newRow("no connection") << false << "2";
}

void TestUpdateCheck::laterCheckKeepsTheOffer()
{
    QFETCH(bool, reachable);
    QFETCH(QString, label3);
    TestPlatform test(m_server.url(RecordPath), "1.2");
    Form1Window window(test.platform, &test.prompt);
    window.show();
    m_server.serve(RecordPath, recordBytes(2.0f, "http://127.0.0.1/kolup/setup.exe", 5120));
    window.form().Command1_Click();
    QVERIFY(panelsActive(window));

    if (reachable) {
        m_server.serve(RecordPath, recordBytes(1.2f, "http://127.0.0.1/kolup/setup.exe", 9999));
    } else {
        TestServer::Route gone;
        gone.status = 404;
        m_server.serve(RecordPath, gone);
    }
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label3"), label3);
    QCOMPARE(text(window, "Label5"), QStringLiteral(" 5 kb"));
    QVERIFY(panelsActive(window));
}

void TestUpdateCheck::commaLocaleKeepsPointInQuestion()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    m_server.serve(RecordPath, recordBytes(1.5f, "http://127.0.0.1/kolup/setup.exe", 5000));
    TestPlatform test(m_server.url(RecordPath), "1.2");
    Form1Window window(test.platform, &test.prompt);
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label2"), QStringLiteral("1,2"));
    QCOMPARE(text(window, "Label3"), QStringLiteral("1,5"));
    QVERIFY(test.prompt.texts.value(0).startsWith(QStringLiteral("Kolup version  1.5 is")));
}

void TestUpdateCheck::invalidRecords_data()
{
    QTest::addColumn<QByteArray>("record");
    const QByteArray good = "http://127.0.0.1/kolup/setup.exe";
    QTest::newRow("empty response") << QByteArray();
    QTest::newRow("no padding after name")
        << recordBytes(1.5f, "http://h/" + QByteArray(247, 'n'), 10);
    QTest::newRow("no name") << recordBytes(1.5f, "http://127.0.0.1/kolup/", 10);
    QTest::newRow("dot dot") << recordBytes(1.5f, "http://127.0.0.1/..", 10);
    QTest::newRow("backslashes") << recordBytes(1.5f, "http://h/..\\..\\x.exe", 10);
    QTest::newRow("device") << recordBytes(1.5f, "http://h/CON.exe", 10);
    QTest::newRow("not http") << recordBytes(1.5f, "file:///etc/passwd", 10);
    QTest::newRow("zero size") << recordBytes(1.5f, good, 0);
    QTest::newRow("negative size") << recordBytes(1.5f, good, -5);
    QTest::newRow("NUL inside the address")
        << recordBytes(1.5f, good + QByteArray(1, '\0') + "/zz.exe", 10);
    QTest::newRow("escape inside the address") << recordBytes(1.5f, "http://h/a\x1b[2Jb/s.exe", 10);
    QTest::newRow("infinite version")
        << recordBytes(std::numeric_limits<float>::infinity(), good, 10);
    QTest::newRow("the updater's own name")
        << recordBytes(1.5f, "http://127.0.0.1/kolup/kolup-updater", 10);
    // Invalid and not newer: the record is refused before versions are compared.
    QTest::newRow("old and nameless") << recordBytes(1.0f, "http://127.0.0.1/kolup/", 10);
}

void TestUpdateCheck::invalidRecords()
{
    QFETCH(QByteArray, record);
    m_server.serve(RecordPath, record);
    TestPlatform test(m_server.url(RecordPath), "1.2");
    Form1Window window(test.platform, &test.prompt);
    window.show();
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label13"), QStringLiteral("INVALID UPDATE INFORMATION"));
    QVERIFY(exitShown(window));
    QCOMPARE(text(window, "Label3"), QString());
    QCOMPARE(text(window, "Label5"), QString());
    QVERIFY(!panelsActive(window));
    QVERIFY(test.prompt.texts.isEmpty());
    QVERIFY(window.form().state().SetupPath.empty());
}

void TestUpdateCheck::recordReads_data()
{
    QTest::addColumn<TestServer::Route>("route");
    QTest::addColumn<UpdateCheck::Outcome>("outcome");
    using M = TestServer::Misbehaviour;
    const auto broken = UpdateCheck::Outcome::NoConnection;
    TestServer::Route route;
    route.body = recordBytes(1.5f, "http://127.0.0.1/kolup/setup.exe", 5000);
    route.sendBytes = 132;
    route.misbehaviour = M::Reset;
    QTest::newRow("reset after 132 bytes") << route << broken;
    route.misbehaviour = M::CutShort;
    QTest::newRow("hung up after 132 bytes") << route << broken;
    route.misbehaviour = M::Stall;
    QTest::newRow("stalls after 132 bytes") << route << broken;
    route.misbehaviour = M::Silent;
    QTest::newRow("reads the request, never answers") << route << broken;
    route.misbehaviour = M::None;
    route.bytesPerSecond = 40;
    QTest::newRow("drips") << route << broken;
    // Unsigned, a record is its first 264 bytes, whatever follows and however long it goes on.
    route.bytesPerSecond = 0;
    route.body += "\n";
    QTest::newRow("a newline after it") << route << UpdateCheck::Outcome::Offer;
    route.body += QByteArray(1 << 20, 'j');
    route.misbehaviour = M::Stall;
    route.sendBytes = route.body.size();
    QTest::newRow("junk without end after it") << route << UpdateCheck::Outcome::Offer;
}

void TestUpdateCheck::recordReads()
{
    QFETCH(TestServer::Route, route);
    QFETCH(UpdateCheck::Outcome, outcome);
    m_server.serve(RecordPath, route);
    const WebClient web(
        WebClient::Timeouts{std::chrono::milliseconds(2000), std::chrono::milliseconds(1000)});
    const UpdateCheck check =
        checkForUpdate(web, {m_server.url(RecordPath).toStdString(), "/tmp", {}, {}}, 1.2f);
    QCOMPARE(check.outcome, outcome);
    QCOMPARE(check.why.empty(), outcome == UpdateCheck::Outcome::Offer);
}

void TestUpdateCheck::closeWhileAskingDownloadsNothing_data()
{
    QTest::addColumn<bool>("answer"); // what the question returns once the window is gone
    QTest::newRow("OK") << true;
    QTest::newRow("Cancel") << false;
}

void TestUpdateCheck::closeWhileAskingDownloadsNothing()
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

void TestUpdateCheck::closeDuringRecordReadClosesWindow()
{
    TestServer::Route stall;
    stall.body = recordBytes(1.5f, "http://127.0.0.1/kolup/setup.exe", 5000);
    stall.misbehaviour = TestServer::Misbehaviour::Stall;
    stall.sendBytes = 100;
    m_server.serve(RecordPath, stall);
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

void TestUpdateCheck::noEngineTakesAnyOffer()
{
    m_server.serve(RecordPath, recordBytes(0.5f, "http://127.0.0.1/kolup/setup.exe", 5000));
    TestPlatform test{m_server.url(RecordPath), QByteArray()};
    Form1Window window(test.platform, &test.prompt);
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label2"), QString());
    QCOMPARE(text(window, "Label3"), QStringLiteral("0.5"));
    QCOMPARE(test.prompt.texts.size(), 1);

    m_server.serve(RecordPath, recordBytes(std::nanf(""), "http://127.0.0.1/kolup/setup.exe", 50));
    window.form().Command1_Click();
    QCOMPARE(text(window, "Label13"), QStringLiteral("NO UPDATE AVAILABLE"));
}

void TestUpdateCheck::messageBoxAnswers_data()
{
    QTest::addColumn<int>("key"); // 0: the box's close control
    QTest::addColumn<bool>("ok");
    QTest::newRow("Enter takes the default, OK") << int(Qt::Key_Return) << true;
    QTest::newRow("Escape is Cancel") << int(Qt::Key_Escape) << false;
    QTest::newRow("closing is Cancel") << 0 << false;
}

void TestUpdateCheck::messageBoxAnswers()
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

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
