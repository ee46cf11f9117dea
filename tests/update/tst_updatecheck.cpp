#include "update/updatecheck.h"
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

    void checks_data();
    void checks();
    void earlierResultStaysBesideNewOffer();
    void laterCheckKeepsTheOffer_data();
    void laterCheckKeepsTheOffer();
    void commaLocaleKeepsPointInQuestion();
    void recordReads_data();
    void recordReads();
    void signedRecords_data();
    void signedRecords();
    void closeDuringRecordReadClosesWindow();
    void closeWhileAskingDownloadsNothing_data();
    void closeWhileAskingDownloadsNothing();
    void noEngineTakesAnyOffer();
    void messageBoxAnswers_data();
    void messageBoxAnswers();

private:
    TestServer m_server;
};

void TestUpdateCheck::checks_data()
{
    QTest::addColumn<QByteArray>("record"); // null: the host has none (404)
    QTest::addColumn<QString>("result");    // Label13
    QTest::addColumn<QString>("offered");   // Label3
    QTest::addColumn<QString>("kb");        // Label5
    const QString none = QStringLiteral("NO UPDATE AVAILABLE");
    const QString invalid = QStringLiteral("INVALID UPDATE INFORMATION");
    const QByteArray setup = "http://127.0.0.1/kolup/setup.exe";
    const auto row = [](const char *name, const QByteArray &record, const QString &result,
                        const char *offered = "", const char *kb = "") {
        QTest::newRow(name) << record << result << QString(offered) << QString(kb);
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
    // Refused before anything is shown, newer or not.
    row("empty response", "", invalid);
    row("no padding after name", recordBytes(1.5f, "http://h/" + QByteArray(247, 'n'), 10),
        invalid);
    row("no name", recordBytes(1.5f, "http://127.0.0.1/kolup/", 10), invalid);
    row("dot dot", recordBytes(1.5f, "http://127.0.0.1/..", 10), invalid);
    row("backslashes", recordBytes(1.5f, "http://h/..\\..\\x.exe", 10), invalid);
    row("device", recordBytes(1.5f, "http://h/CON.exe", 10), invalid);
    row("not http", recordBytes(1.5f, "file:///etc/passwd", 10), invalid);
    row("zero size", recordBytes(1.5f, setup, 0), invalid);
    row("negative size", recordBytes(1.5f, setup, -5), invalid);
    row("NUL inside the address", recordBytes(1.5f, setup + QByteArray(1, '\0') + "/zz.exe", 10),
        invalid);
    row("escape inside the address", recordBytes(1.5f, "http://h/a\x1b[2Jb/s.exe", 10), invalid);
    row("infinite version", recordBytes(std::numeric_limits<float>::infinity(), setup, 10),
        invalid);
    row("the updater's own name", recordBytes(1.5f, "http://127.0.0.1/kolup/kolup-updater", 10),
        invalid);
    row("old and nameless", recordBytes(1.0f, "http://127.0.0.1/kolup/", 10), invalid);
}

void TestUpdateCheck::checks()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, result);
    QFETCH(QString, offered);
    QFETCH(QString, kb);
    TestServer::Route served;
    served.body = record;
    served.status = record.isNull() ? 404 : 200;
    m_server.serve(RecordPath, served);
    TestPlatform test(m_server.url(RecordPath), "1.2");
    Form1Window window(test.platform, &test.prompt);
    window.show();
    window.form().Command1_Click();
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
                 QStringList{"Kolup version  1.5 is Available\n Do You want to UpDate Now ?"});
        QCOMPARE(qtPath(window.form().state().SetupPath), test.programDir() + "/setup.exe");
        QCOMPARE(text(window, "Label11"), QString()); // Cancel: no download
        QCOMPARE(m_server.requests().last().path, QByteArray(RecordPath));
    } else {
        QVERIFY(test.prompt.texts.isEmpty());
    }
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

void TestUpdateCheck::signedRecords_data()
{
    QTest::addColumn<QString>("comment"); // the record's signed comment; %1: its binding
    QTest::addColumn<QString>("why");     // what the refusal says; empty for an offer
    QTest::newRow("bound") << "%1"
                           << "";
    QTest::newRow("no binding") << "timestamp:1765000000"
                                << "does not name its setup file";
    QTest::newRow("expired") << "%1 expires=2001-01-01"
                             << "its signature has expired";
}

void TestUpdateCheck::signedRecords()
{
    QFETCH(QString, comment);
    QFETCH(QString, why);
    Minisign minisign;
    QVERIFY(minisign.generate("maker"));
    const QByteArray record = recordBytes(1.5f, m_server.url("/kolup/setup.exe").toLatin1(), 5000);
    SetupBinding binding;
    binding.size = 5000;
    const QString signedComment = comment.arg(QString::fromStdString(bindingComment(binding)));
    m_server.serve(RecordPath, record);
    m_server.serve(QByteArray(RecordPath) + ".minisig",
                   minisign.sign("maker", record, false, signedComment));
    const auto keys = *PublicKey::parseList(minisign.publicKey("maker").toStdString());
    const UpdateCheck check = checkForUpdate(
        WebClient(), {m_server.url(RecordPath).toStdString(), "/tmp", {}, keys}, 1.2f);
    QCOMPARE(check.outcome,
             why.isEmpty() ? UpdateCheck::Outcome::Offer : UpdateCheck::Outcome::Invalid);
    QVERIFY2(QString::fromStdString(check.why).contains(why), check.why.c_str());
    QCOMPARE(check.offer && check.offer->binding && check.offer->binding->size == 5000,
             why.isEmpty());
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
