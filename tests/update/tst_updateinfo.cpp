#include "update/setupname.h"
#include "update/updateinfo.h"

#include <QDir>
#include <QTest>

#include <cmath>
#include <cstring>

Q_DECLARE_METATYPE(UpdateInfo)

namespace {

RecordBytes rawRecord(QByteArray bytes)
{
    bytes = bytes.leftJustified(264, ' ', true);
    RecordBytes record;
    std::memcpy(record.data(), bytes.constData(), record.size());
    return record;
}

UpdateInfo offer(const QByteArray &url, std::int32_t size = 4096)
{
    UpdateInfo info;
    info.Version = 1.5f;
    std::memcpy(info.SetupUrl.data(), url.constData(), size_t(qMin<qsizetype>(url.size(), 256)));
    info.SetupSize = size;
    return info;
}

} // namespace

class TestUpdateInfo : public QObject {
    Q_OBJECT
private slots:
    void decodes_data();
    void decodes();
    void encodeDecodeRoundTrip();
    void setupName_data();
    void setupName();
    void unsafeNamesGiveNoPath_data();
    void unsafeNamesGiveNoPath();
    void recordProblems_data();
    void recordProblems();
    void setupPathJoinsProgramDirectory();
    void escapedText_data();
    void escapedText();
};

void TestUpdateInfo::decodes_data()
{
    QTest::addColumn<QByteArray>("received"); // padded with spaces to 264 bytes
    QTest::addColumn<quint32>("versionBits");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<int>("size");
    // 1.5f is 0x3FC00000; 1536000 is 0x00177000; all little-endian.
    QTest::newRow("every field") << QByteArray("\x00\x00\xC0\x3F", 4) +
                                        QByteArray("http://h/kolup/setup.exe").leftJustified(256) +
                                        QByteArray("\x00\x70\x17\x00", 4)
                                 << 0x3FC00000u << QByteArray("http://h/kolup/setup.exe")
                                 << 1536000;
    QTest::newRow("a negative size") << QByteArray(260, ' ') + QByteArray("\xFF\xFF\xFF\xFF", 4)
                                     << 0x20202020u << QByteArray() << -1;
    // Short responses keep the spaces the buffer held.
    QTest::newRow("empty") << QByteArray() << 0x20202020u << QByteArray() << 538976288;
    QTest::newRow("one byte") << QByteArray("\x41", 1) << 0x20202041u << QByteArray() << 538976288;
    QTest::newRow("three bytes") << QByteArray("\x01\x02\x03", 3) << 0x20030201u << QByteArray()
                                 << 538976288;
}

void TestUpdateInfo::decodes()
{
    QFETCH(QByteArray, received);
    QFETCH(quint32, versionBits);
    QFETCH(QByteArray, address);
    QFETCH(int, size);
    const UpdateInfo info = decodeRecord(rawRecord(received));
    QCOMPARE(std::bit_cast<quint32>(info.Version), versionBits);
    QCOMPARE(QByteArray::fromStdString(std::string(setupAddress(info))), address);
    QCOMPARE(info.SetupSize, size);
    // Without a "/", the whole field is the name; all padding, it is empty.
    const SetupName name = findSetupName(info);
    QVERIFY(name.terminated);
    QCOMPARE(QByteArray::fromStdString(name.name), address.mid(address.lastIndexOf('/') + 1));
}

void TestUpdateInfo::encodeDecodeRoundTrip()
{
    UpdateInfo info = offer("https://kolup.example/a/b/KolupSetup 2.exe", -7);
    info.Version = std::nanf("");
    const UpdateInfo back = decodeRecord(encodeRecord(info));
    QVERIFY(std::isnan(back.Version));
    QCOMPARE(back.SetupUrl, info.SetupUrl);
    QCOMPARE(back.SetupSize, -7);
    // The version lies first, little-endian.
    info.Version = 1.5f;
    const RecordBytes bytes = encodeRecord(info);
    QCOMPARE(bytes[3], std::byte{0x3F});
    QCOMPARE(bytes[2], std::byte{0xC0});
}

void TestUpdateInfo::setupName_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("terminated");

    // Last "/" at 16, nine-character name: q = 10.
    QTest::newRow("example") << QByteArray("http://kolup.ex/setup.exe") << QByteArray("setup.exe")
                             << true;
    QTest::newRow("no slash") << QByteArray("setup.exe") << QByteArray("setup.exe") << true;
    QTest::newRow("single spaces kept")
        << QByteArray("http://h/my setup.exe") << QByteArray("my setup.exe") << true;
    QTest::newRow("double spaces cut")
        << QByteArray("http://h/my  setup.exe") << QByteArray("my") << true;
    QTest::newRow("ends in slash") << QByteArray("http://h/dir/") << QByteArray() << true;
    QTest::newRow("name up to 254")
        << "http://h/" + QByteArray(245, 'n') << QByteArray(245, 'n') << true;
    QTest::newRow("no padding left") << "http://h/" + QByteArray(247, 'n') << QByteArray() << false;
    QTest::newRow("one space left") << "http://h/" + QByteArray(246, 'n') << QByteArray() << false;
}

void TestUpdateInfo::setupName()
{
    QFETCH(QByteArray, url);
    QFETCH(QByteArray, name);
    QFETCH(bool, terminated);
    const SetupName found = findSetupName(offer(url));
    QCOMPARE(found.terminated, terminated);
    QCOMPARE(QByteArray::fromStdString(found.name), name);
}

void TestUpdateInfo::unsafeNamesGiveNoPath_data()
{
    // The rules themselves are tst_filenames'; these go through the record and its bytes.
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("backslash") << QByteArray("..\\..\\evil.exe");
    QTest::newRow("nul") << QByteArray("setup\0.exe", 10);
    QTest::newRow("not text here") << QByteArray("setup\xFF.exe");
    QTest::newRow("COM and a superscript, in UTF-8") << QByteArray("COM\xC2\xB9");
    QTest::newRow("U+009B, in UTF-8") << QByteArray("setup\xC2\x9B.exe");
    QTest::newRow("the updater's own") << QByteArray("kolup-updater");
}

void TestUpdateInfo::unsafeNamesGiveNoPath()
{
    QFETCH(QByteArray, name);
    const UpdateInfo info = offer("http://kolup.example/" + name);
    QVERIFY(!checkSetupName(findSetupName(info).name, "kolup-updater"));
    QVERIFY(!setupPathFor("/opt/kolup", info, "kolup-updater"));
    QCOMPARE(::recordProblems(info, "kolup-updater").size(), 1u);
}

void TestUpdateInfo::recordProblems_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("problems");

    QTest::newRow("good") << QByteArray("https://kolup.example/setup.exe") << 1 << QStringList();
    QTest::newRow("good, upper-case scheme")
        << QByteArray("HTTP://kolup.example/COM10.exe") << 5 << QStringList();
    QTest::newRow("zero size") << QByteArray("http://kolup.example/setup.exe") << 0
                               << QStringList{"the setup size is not positive"};
    QTest::newRow("negative size") << QByteArray("http://kolup.example/setup.exe") << -1
                                   << QStringList{"the setup size is not positive"};
    QTest::newRow("file address") << QByteArray("file:///tmp/setup.exe") << 10
                                  << QStringList{
                                         "the setup address is not an http or https address"};
    QTest::newRow("DEL before the name")
        << QByteArray("http://h/a\x7F/setup.exe") << 10
        << QStringList{"the setup address contains a control character"};
    QTest::newRow("bare name") << QByteArray("setup.exe") << 10
                               << QStringList{"the setup address is not an http or https address"};
    QTest::newRow("everything wrong")
        << "ftp://h/" + QByteArray(248, 'n') << 0
        << QStringList{"the setup address is not an http or https address",
                       "the setup address has no file name followed by two spaces",
                       "the setup size is not positive"};
}

void TestUpdateInfo::recordProblems()
{
    QFETCH(QByteArray, url);
    QFETCH(int, size);
    QFETCH(QStringList, problems);
    QStringList found;
    for (const std::string &problem : ::recordProblems(offer(url, size))) {
        found.append(QString::fromStdString(problem));
    }
    QCOMPARE(found, problems);
    // The path is refused for the first problem, worked out once.
    QCOMPARE(QString::fromStdString(setupPathFor("/p", offer(url, size)).text()),
             problems.value(0));
}

void TestUpdateInfo::setupPathJoinsProgramDirectory()
{
    const UpdateInfo info = offer("http://kolup.example/dir/KolupSetup.exe");
    using std::filesystem::path;
    QCOMPARE(*setupPathFor("/opt/kolup", info), path("/opt/kolup/KolupSetup.exe"));
    // A root directory keeps its separator and gets another.
    QCOMPARE(setupPathFor("/", info)->string(), std::string("//KolupSetup.exe"));
}

void TestUpdateInfo::escapedText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("shown");
    // Printable ASCII as it is, a backslash doubled, every other byte as \xHH.
    QTest::newRow("0x1F") << QByteArray("\x1F") << QByteArray("\\x1f");
    QTest::newRow("0x20") << QByteArray(" ") << QByteArray(" ");
    QTest::newRow("0x7E") << QByteArray("~") << QByteArray("~");
    QTest::newRow("0x7F") << QByteArray("\x7F") << QByteArray("\\x7f");
    QTest::newRow("0x80") << QByteArray("\x80") << QByteArray("\\x80");
    QTest::newRow("0x9F") << QByteArray("\x9F") << QByteArray("\\x9f");
    QTest::newRow("0xA0") << QByteArray("\xA0") << QByteArray("\\xa0");
    QTest::newRow("0xFF and NUL") << QByteArray("\xFF\0", 2) << QByteArray("\\xff\\x00");
    QTest::newRow("a backslash") << QByteArray("a\\x41") << QByteArray("a\\\\x41");
}

void TestUpdateInfo::escapedText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, shown);
    QCOMPARE(QByteArray::fromStdString(::escapedText(bytes.toStdString())), shown);
}

QTEST_APPLESS_MAIN(TestUpdateInfo)
#include "tst_updateinfo.moc"
