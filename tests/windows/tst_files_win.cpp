// The file rules that Windows keeps its own way, checked on Windows (under Wine here): no Qt,
// so a plain table of cases and a count of failures.
#include "os/files.h"
#include "update/setupname.h"

#include <array>
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

int failures = 0;

void check(bool ok, const char *what, int line)
{
    std::printf("%s: %s (line %d)\n", ok ? "PASS" : "FAIL", what, line);
    failures += ok ? 0 : 1;
}
#define CHECK(condition) check((condition), #condition, __LINE__)

void writeFile(const fs::path &path, const std::string &text)
{
    if (auto file = files::createNew(path)) {
        (void)file->writeAll(std::as_bytes(std::span(text.data(), text.size())));
    }
}

std::string readFile(const fs::path &path)
{
    auto file = files::openRegular(path);
    if (!file) {
        return "<unreadable>";
    }
    std::string text(64, '\0');
    const auto count = file->read(std::as_writable_bytes(std::span(text)));
    return count < 0 ? std::string("<unreadable>") : text.substr(0, std::size_t(count));
}

} // namespace

// Names from the network in the code page this run has (Wine takes it from LC_ALL), judged as
// the updater judges them: decoded first, so a double-byte character's 0x5C is no backslash.
void codePageNames(UINT codePage)
{
    struct Name {
        UINT codePage;
        const char *bytes;
        bool taken;
        const wchar_t *text; // as decoded, where taken
    };
    const Name names[] = {
        {1252, "caf\xE9.exe", true, L"caf\u00E9.exe"},
        {1252, "COM\xB9", false, nullptr},          // a device, with a superscript one
        {1252, "\x95\x5C.exe", false, nullptr},     // a bullet and a backslash
        {932, "\x95\x5C.exe", true, L"\u8868.exe"}, // one character, whose trail byte is 0x5C
        {932, "\x83\x5C\x83\x74\x83\x67.exe", true, L"\u30BD\u30D5\u30C8.exe"},
        {932, "COM\xB9", true, L"COM\uFF79"}, // a half-width katakana, no device
        {932, "setup\x95", false, nullptr},   // a lead byte without its trail
    };
    for (const Name &name : names) {
        if (name.codePage != codePage) {
            continue;
        }
        const bool taken = checkSetupName(name.bytes, "kolup-updater.exe").ok();
        check(taken == name.taken, name.bytes, __LINE__);
        if (name.taken) {
            check(files::pathFromSystemText(name.bytes) == fs::path(name.text), name.bytes,
                  __LINE__);
        }
    }
    // Back into the code page: only what it holds exactly.
    const auto omega = files::systemText(L"\u03A9.exe");
    CHECK(omega.has_value() == (codePage == 932));
}

int main(int argc, char *argv[])
{
    // The code page this run was started for; a run under another would test nothing.
    const UINT codePage = argc > 1 ? UINT(std::atoi(argv[1])) : 1252;
    CHECK(GetACP() == codePage);
    codePageNames(codePage);
    std::random_device random;
    const fs::path dir = fs::temp_directory_path() / ("kolup-files-" + std::to_string(random()));
    fs::create_directories(dir / "folder");
    const fs::path file = dir / "setup.exe";
    writeFile(file, "first");
    const auto fault = [](const auto &result) {
        return result ? std::nullopt : std::optional(result.failure().fault);
    };

    // Creating anew: never over anything that stands at the name.
    CHECK(fault(files::createNew(file)) == Fault::NameTaken);
    CHECK(fault(files::createNew(dir / "folder")) == Fault::NameTaken);
    CHECK(files::createNew(dir / "new.exe").ok());

    // Reading: a disk file, not a folder, not a link, not a device.
    CHECK(readFile(file) == "first");
    CHECK(fault(files::openRegular(dir / "folder")) == Fault::NotRegular);
    CHECK(fault(files::openRegular(dir / "missing")) == Fault::System);
    CHECK(fault(files::openRegular(L"\\\\.\\NUL")) == Fault::NotRegular);
    // Wine makes the link but opens nothing through it, so this row shows only that a link is
    // refused; on NTFS the reparse point's attribute is what refuses it.
    CHECK(CreateSymbolicLinkW((dir / "link.exe").c_str(), file.c_str(), 0));
    CHECK(!files::openRegular(dir / "link.exe"));
    CHECK(!files::openToContinue(dir / "link.exe"));
    CHECK(files::identityAt(dir / "link.exe") != files::identityAt(file));
    CHECK(files::removeFile(dir / "link.exe") && readFile(file) == "first");

    // Continuing a kept part: read to its end, then written on, or emptied; never a folder.
    writeFile(dir / "kept.part", "kept");
    for (const std::string_view expected : {"kept+new", "+new"}) {
        std::array<std::byte, 8> head{};
        auto kept = files::openToContinue(dir / "kept.part");
        CHECK(kept && (expected == "kept+new" ? kept->read(head) == 4 : kept->truncate().ok()));
        CHECK(kept && kept->writeAll(std::as_bytes(std::span("+new", 4))).ok());
        kept = Failure{};
        CHECK(readFile(dir / "kept.part") == expected);
    }
    CHECK(fault(files::openToContinue(dir / "folder")) == Fault::NotRegular);

    // Identity: the same file under its name, another file elsewhere, nothing for nothing.
    CHECK(files::identityAt(file).has_value());
    CHECK(files::identityAt(file) == files::openRegular(file)->identity());
    CHECK(files::identityAt(file) != files::identityAt(dir / "new.exe"));
    CHECK(!files::identityAt(dir / "missing").has_value());

    // Replacing and removing.
    writeFile(dir / "second.part", "second");
    CHECK(files::renameOver(dir / "second.part", file).ok());
    CHECK(readFile(file) == "second");
    CHECK(!files::identityAt(dir / "second.part").has_value());
    CHECK(files::removeFile(dir / "missing"));
    CHECK(!files::removeFile(dir / "folder") && fs::is_directory(dir / "folder"));

    // A whole file over what stands at the name: a file or a link is replaced, never written
    // through, a folder is not, and no scratch file is left either way.
    const auto whole = [&](const fs::path &path, std::string_view text) {
        return files::writeWholeFile(path, std::as_bytes(std::span(text.data(), text.size())));
    };
    CHECK(whole(dir / "record", "one").ok() && whole(dir / "record", "two").ok());
    CHECK(readFile(dir / "record") == "two");
    CHECK(CreateSymbolicLinkW((dir / "linked").c_str(), file.c_str(), 0));
    CHECK(whole(dir / "linked", "three").ok() && readFile(file) == "second");
    CHECK(fault(whole(dir / "folder", "four")).has_value() && fs::is_directory(dir / "folder"));
    bool scratch = false;
    for (const auto &entry : fs::directory_iterator(dir)) {
        scratch = scratch || entry.path().filename().wstring().find(L".tmp-") != std::wstring::npos;
    }
    CHECK(!scratch);

    // A file with a second name says so on every handle: a part like that is never written.
    writeFile(dir / "one.part", "one");
    CHECK(CreateHardLinkW((dir / "two.part").c_str(), (dir / "one.part").c_str(), nullptr));
    CHECK(files::openRegular(dir / "one.part")->links() == 2);
    CHECK(files::openToContinue(dir / "two.part")->links() == 2);
    CHECK(files::openRegular(dir / "record")->links() == 1);

    // Where files may go, and what names mean here.
    CHECK(files::canWriteIn(dir));
    CHECK(!files::canWriteIn(dir / "missing"));
    CHECK(files::fallbackFolder().ours && files::fallbackFolder().path.is_absolute() &&
          files::fallbackFolder().path.filename() == L"Updates");
    CHECK(files::programPath().filename() == L"tst_files_win.exe");
    // Program Files is every user's however it is spelt; a folder beside it is not.
    wchar_t *known = nullptr;
    CHECK(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &known) == S_OK);
    const fs::path programFiles = known;
    CoTaskMemFree(known);
    fs::create_directories(programFiles / L"Kolup Test");
    fs::create_directories(programFiles.native() + L" Kolup");
    wchar_t shortFolder[MAX_PATH] = {};
    CHECK(GetShortPathNameW((programFiles / L"Kolup Test").c_str(), shortFolder, MAX_PATH) > 0);
    CHECK(std::wstring(shortFolder).find(L'~') != std::wstring::npos);
    CHECK(files::installedForAllUsers(programFiles));
    CHECK(files::installedForAllUsers(shortFolder));
    std::wstring upper = (programFiles / L"Kolup Test").native();
    std::transform(upper.begin(), upper.end(), upper.begin(), towupper);
    CHECK(files::installedForAllUsers(upper));
    CHECK(!files::installedForAllUsers(programFiles.native() + L" Kolup"));
    CHECK(!files::installedForAllUsers(dir));
    fs::remove(programFiles / L"Kolup Test");
    fs::remove(programFiles.native() + L" Kolup");
    CHECK(files::systemRoot().native().size() == 3 && files::systemRoot().native()[1] == L':');
    CHECK(files::sameFileName("KOLUP-UPDATER.EXE", "kolup-updater.exe"));
    CHECK(!files::sameFileName("kolup-updater.exe", "kolup-updater.ex"));
    CHECK(!checkSetupName("Kolup-Updater.exe", "kolup-updater.exe"));
    CHECK(checkSetupName("KolupSetup.exe", "kolup-updater.exe").ok());
    CHECK(files::displayText(L"C:\\caf\u00e9") == "C:\\caf\xc3\xa9");
    // Windows drops a trailing dot and takes a short name for the long one: names that reach
    // the same file, which only its identity tells.
    CHECK(!checkSetupName("kolup-updater.exe.", "kolup-updater.exe"));
    writeFile(dir / "kolup-updater.exe", "updater");
    const auto updater = files::identityAt(dir / "kolup-updater.exe");
    wchar_t shortName[MAX_PATH] = {};
    CHECK(GetShortPathNameW((dir / "kolup-updater.exe").c_str(), shortName, MAX_PATH) > 0);
    CHECK(fs::path(shortName).filename() != L"kolup-updater.exe");
    CHECK(files::identityAt(shortName) == updater);
    CHECK(files::identityAt(dir / "kolup-updater.exe.") == updater);

    // Held open after its last check, the file to be started can be neither written, renamed
    // nor removed until it is let go.
    {
        const auto held = files::openRegular(dir / "kolup-updater.exe");
        CHECK(held.ok());
        CHECK(CreateFileW((dir / "kolup-updater.exe").c_str(), GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE);
        CHECK(!DeleteFileW((dir / "kolup-updater.exe").c_str()));
        CHECK(!MoveFileExW((dir / "kolup-updater.exe").c_str(), (dir / "moved.exe").c_str(), 0));
    }
    CHECK(readFile(dir / "kolup-updater.exe") == "updater");

    // A rename that must not replace, and one that waits out a scanner's short hold.
    writeFile(dir / "a.part", "a");
    CHECK(fault(files::renameNew(dir / "a.part", dir / "kolup-updater.exe")) == Fault::NameTaken);
    CHECK(files::renameNew(dir / "a.part", dir / "a.exe").ok());
    CHECK(readFile(dir / "a.exe") == "a" && readFile(dir / "kolup-updater.exe") == "updater");
    const HANDLE scanner = CreateFileW((dir / "a.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(!MoveFileExW((dir / "a.exe").c_str(), (dir / "b.exe").c_str(), 0)); // held: shared
    std::thread letGo([scanner] {
        Sleep(200); // the scanner's look at the new file
        CloseHandle(scanner);
    });
    CHECK(files::renameOver(dir / "a.exe", dir / "b.exe").ok());
    letGo.join();
    CHECK(readFile(dir / "b.exe") == "a");

    // The mark browsers leave on what they download, and a file made read-only.
    CHECK(files::markFromInternet(dir / "b.exe", "http://h/b.exe"));
    CHECK(readFile(dir / "b.exe:Zone.Identifier") ==
          "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=http://h/b.exe\r\n");
    CHECK(files::writableInPlace(dir / "b.exe"));
    CHECK(SetFileAttributesW((dir / "b.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    CHECK(!files::writableInPlace(dir / "b.exe"));
    SetFileAttributesW((dir / "b.exe").c_str(), FILE_ATTRIBUTE_NORMAL);

    fs::remove_all(dir);
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
