// The file rules that Windows keeps its own way, checked on Windows (under Wine here): no Qt,
// so a plain table of cases and a count of failures.
#include "os/files.h"
#include "update/setupname.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

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
    std::string why;
    files::File file = files::createNew(path, why);
    file.writeAll(std::as_bytes(std::span(text.data(), text.size())), why);
}

std::string readFile(const fs::path &path)
{
    std::string why;
    files::File file = files::openRegular(path, why);
    std::string text(64, '\0');
    const auto count = file.read(std::as_writable_bytes(std::span(text)));
    return count < 0 ? std::string("<unreadable>") : text.substr(0, std::size_t(count));
}

} // namespace

int main()
{
    std::random_device random;
    const fs::path dir = fs::temp_directory_path() / ("kolup-files-" + std::to_string(random()));
    fs::create_directories(dir / "folder");
    const fs::path file = dir / "setup.exe";
    writeFile(file, "first");
    std::string why;

    // Creating anew: never over anything that stands at the name.
    CHECK(!files::createNew(file, why).isOpen());
    CHECK(!files::createNew(dir / "folder", why).isOpen());
    CHECK(files::createNew(dir / "new.exe", why).isOpen());

    // Reading: a disk file, not a folder, not a link, not a device.
    CHECK(readFile(file) == "first");
    CHECK(!files::openRegular(dir / "folder", why).isOpen());
    CHECK(!files::openRegular(dir / "missing", why).isOpen());
    CHECK(!files::openRegular(L"\\\\.\\NUL", why).isOpen());
    // Wine makes the link but opens nothing through it, so this row shows only that a link is
    // refused; on NTFS the reparse point's attribute is what refuses it.
    CHECK(CreateSymbolicLinkW((dir / "link.exe").c_str(), file.c_str(), 0));
    CHECK(!files::openRegular(dir / "link.exe", why).isOpen());
    CHECK(files::identityAt(dir / "link.exe") != files::identityAt(file));
    CHECK(files::removeFile(dir / "link.exe") && readFile(file) == "first");

    // Identity: the same file under its name, another file elsewhere, nothing for nothing.
    CHECK(files::identityAt(file).has_value());
    CHECK(files::identityAt(file) == files::openRegular(file, why).identity());
    CHECK(files::identityAt(file) != files::identityAt(dir / "new.exe"));
    CHECK(!files::identityAt(dir / "missing").has_value());

    // Replacing and removing.
    writeFile(dir / "second.part", "second");
    CHECK(files::renameOver(dir / "second.part", file, why));
    CHECK(readFile(file) == "second");
    CHECK(!files::identityAt(dir / "second.part").has_value());
    CHECK(files::removeFile(dir / "missing"));
    CHECK(!files::removeFile(dir / "folder") && fs::is_directory(dir / "folder"));

    // Where files may go, and what names mean here.
    CHECK(files::canWriteIn(dir));
    CHECK(!files::canWriteIn(dir / "missing"));
    CHECK(files::fallbackFolder().ours && files::fallbackFolder().path.is_absolute() &&
          files::fallbackFolder().path.filename() == L"Updates");
    CHECK(files::programPath().filename() == L"tst_files_win.exe");
    CHECK(files::systemRoot().native().size() == 3 && files::systemRoot().native()[1] == L':');
    CHECK(files::sameFileName("KOLUP-UPDATER.EXE", "kolup-updater.exe"));
    CHECK(!files::sameFileName("kolup-updater.exe", "kolup-updater.ex"));
    CHECK(setupNameProblem("Kolup-Updater.exe", "kolup-updater.exe").has_value());
    CHECK(!setupNameProblem("KolupSetup.exe", "kolup-updater.exe").has_value());
    // COM with a superscript one, in the system's own code page: still a device.
    char superscript[8] = {};
    WideCharToMultiByte(CP_ACP, 0, L"COM\u00B9", -1, superscript, 8, nullptr, nullptr);
    CHECK(setupNameProblem(superscript).has_value());
    CHECK(files::displayText(L"C:\\caf\u00e9") == "C:\\caf\xc3\xa9");

    fs::remove_all(dir);
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
