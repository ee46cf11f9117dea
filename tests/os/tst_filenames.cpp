#include "os/filenames.h"

#include <QTest>

using filenames::System;

// Both systems' name rules, judged on decoded text, at the edges of every range they refuse.
class TestFileNames : public QObject {
    Q_OBJECT
private slots:
    void rules_data();
    void rules();
    void utf8_data();
    void utf8();
};

void TestFileNames::rules_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("posix");   // a word of the problem; empty when the name is fine
    QTest::addColumn<QString>("windows"); // the same on Windows
    const auto row = [](const char *what, const QString &name, const char *posix,
                        const char *windows) {
        QTest::newRow(what) << name << QString::fromLatin1(posix) << QString::fromLatin1(windows);
    };
    const auto c = [](char32_t code) { return QString::fromUcs4(&code, 1); };
    row("plain", "KolupSetup.exe", "", "");
    row("empty", "", "empty", "empty");
    row("dot", ".", "\".\"", "\".\"");
    row("dot dot", "..", "\".\"", "\".\"");
    row("slash", "a/b.exe", "\"/\"", "\"/\"");
    row("backslash", "..\\evil.exe", "\"/\"", "\"/\"");
    row("stream", "setup.exe:hidden", "\"/\"", "\"/\"");
    row("U+001F", "a" + c(0x1F) + ".exe", "control", "control");
    row("U+0020 inside", "my setup.exe", "", "");
    row("U+007E", "a~1.exe", "", "");
    row("U+007F", "a" + c(0x7F) + ".exe", "control", "control");
    row("U+0080", "a" + c(0x80) + ".exe", "control", "control");
    row("U+009F", "a" + c(0x9F) + ".exe", "control", "control");
    row("U+00A0", "a" + c(0xA0) + ".exe", "", "");
    row("U+2029", "a" + c(0x2029) + ".exe", "", "");
    row("U+202A", "a" + c(0x202A) + ".exe", "shown", "shown");
    row("U+202E", "setup" + c(0x202E) + "exe.txt", "shown", "shown");
    row("U+202F", "a" + c(0x202F) + ".exe", "", "");
    row("U+2065", "a" + c(0x2065) + ".exe", "", "");
    row("U+2066", c(0x2066) + "setup.exe", "shown", "shown");
    row("U+2069", "a" + c(0x2069) + ".exe", "shown", "shown");
    row("U+206A", "a" + c(0x206A) + ".exe", "", "");
    // Devices, in any case, before a dot or a space, with port 0 to 9 and ¹ ² ³.
    row("CON", "CON", "device", "device");
    row("nul.txt", "nul.txt", "device", "device");
    row("Aux before a space", "Aux .exe", "device", "device");
    row("CONIN$", "CONIN$", "device", "device");
    row("conout$.exe", "conout$.exe", "device", "device");
    row("COM0", "COM0", "device", "device");
    row("lpt9.tar.gz", "lpt9.tar.gz", "device", "device");
    row("COM superscript one", "COM" + c(0xB9), "device", "device");
    row("LPT superscript three", "LPT" + c(0xB3) + ".txt", "device", "device");
    row("COM superscript four", "COM" + c(0x2074), "", "");
    row("COM10", "COM10.exe", "", "");
    row("CONSOLE", "CONSOLE.exe", "", "");
    // Every device name in capitals, in small letters and in both alternately: Windows ignores
    // the case of each letter.
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "COM1", "LPT9"}) {
        QString upper = QString::fromLatin1(device), lower = upper.toLower(), mixed = lower;
        for (qsizetype i = 1; i < mixed.size(); i += 2) {
            mixed[i] = mixed[i].toUpper();
        }
        for (const QString &name : {upper, lower, mixed}) {
            row(qPrintable(name + " in any case"), name + ".exe", "device", "device");
        }
    }
    // With ".old-" and ten digits the aside copy must fit 255: bytes here, UTF-16 units there.
    row("240 characters", QString(240, 'n'), "", "");
    row("241 characters", QString(241, 'n'), "long", "long");
    row("240 bytes of two-byte letters", QString(120, QChar(0xE9)), "", "");
    row("242 bytes of two-byte letters", QString(121, QChar(0xE9)), "long", "");
    row("astral, 240 bytes", QString(c(0x1F600)).repeated(60), "", "");
    row("astral, 244 bytes, 122 units", QString(c(0x1F600)).repeated(61), "long", "");
    row("astral, 242 units", QString(c(0x1F600)).repeated(121), "long", "long");
    // What only Windows refuses: what it cannot hold, rewrites, or starts as something else.
    for (const char *reserved :
         {"a<b.exe", "a>b.exe", "a\"b.exe", "a|b.exe", "a?.exe", "a*b.exe"}) {
        row(reserved, reserved, "", "Windows does not take");
    }
    row("trailing dot", "kolup-updater.exe.", "", "dot or a space");
    row("trailing space", "setup.exe ", "", "dot or a space");
    row("a shortcut", "setup.lnk", "", "starts something");
    row("a shortcut in capitals", "SETUP.LNK", "", "starts something");
    row("only the type", ".url", "", "starts something");
    row("settings", "x.SettingContent-ms", "", "starts something");
    row("lnk without its dot", "setuplnk", "", "");
}

void TestFileNames::rules()
{
    QFETCH(QString, name);
    QFETCH(QString, posix);
    QFETCH(QString, windows);
    const std::u32string text = name.toStdU32String();
    for (const auto &[system, expected] :
         {std::pair{System::Posix, posix}, {System::Windows, windows}}) {
        const Status named = filenames::check(text, system);
        const std::string why = named.text();
        QVERIFY2(named.ok() == expected.isEmpty(), named ? "none" : why.c_str());
        QVERIFY2(why.find(expected.toStdString()) != std::string::npos, why.c_str());
    }
}

void TestFileNames::utf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("text");
    QTest::newRow("ASCII") << QByteArray("setup.exe") << true;
    QTest::newRow("two bytes, first") << QByteArray("\xC2\x80") << true;
    QTest::newRow("overlong two bytes") << QByteArray("\xC1\xBF") << false;
    QTest::newRow("three bytes, first") << QByteArray("\xE0\xA0\x80") << true;
    QTest::newRow("overlong three bytes") << QByteArray("\xE0\x9F\xBF") << false;
    QTest::newRow("last before surrogates") << QByteArray("\xED\x9F\xBF") << true;
    QTest::newRow("a surrogate") << QByteArray("\xED\xA0\x80") << false;
    QTest::newRow("last code point") << QByteArray("\xF4\x8F\xBF\xBF") << true;
    QTest::newRow("past the last") << QByteArray("\xF4\x90\x80\x80") << false;
    QTest::newRow("cut short") << QByteArray("a\xE2\x82") << false;
    QTest::newRow("a stray continuation") << QByteArray("\x80") << false;
    QTest::newRow("Latin-1") << QByteArray("caf\xE9") << false;
}

void TestFileNames::utf8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, text);
    const auto decoded = filenames::fromUtf8(bytes.toStdString());
    QCOMPARE(decoded.has_value(), text);
    if (decoded) {
        QCOMPARE(QByteArray::fromStdString(filenames::toUtf8(*decoded)), bytes);
        QCOMPARE(QString::fromStdU32String(*decoded), QString::fromUtf8(bytes));
    }
}

QTEST_APPLESS_MAIN(TestFileNames)
#include "tst_filenames.moc"
