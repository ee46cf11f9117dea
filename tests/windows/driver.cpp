// Drives the real kolup-updater.exe as a user would, for the end-to-end test under Wine: it
// reads one command a line from standard input and answers one line, "ok ..." or "error ...".
//
//   text NAME            the control's text          visible NAME / enabled NAME   1 or 0
//   click NAME           presses a button            close                         the close box
//   question             the open message box's text, or "error" when none is up
//   answer OK|Cancel     presses that button of the open message box
//   window               the updater window's handle
//   short PATH           the short (8.3) name Windows gives the file at PATH
//
// Controls are found by their IDs (1000 plus their place in the form's creation order).
#include "app/window.h"

#include <windows.h>

#include <array>
#include <iostream>
#include <string>

namespace {

constexpr std::array<const char *, ControlCount> Names = {
    "Command3", "Frame2",   "Frame3", "Label5", "Label6",  "Label12",  "Label11",  "Label10",
    "Label9",   "Label8",   "Label7", "Label4", "Label3",  "Command2", "Picture2", "Text1",
    "Command1", "Picture1", "Frame1", "Text2",  "Label13", "Label2",   "Label1"};

HWND mainWindow()
{
    return FindWindowW(L"KolupUpdaterForm1", nullptr);
}

HWND control(const std::string &name)
{
    for (std::size_t i = 0; i < Names.size(); ++i) {
        if (name == Names[i]) {
            struct Search {
                int id;
                HWND found;
            } search{1000 + int(i), nullptr};
            EnumChildWindows(
                mainWindow(),
                [](HWND hwnd, LPARAM data) -> BOOL {
                    auto *s = reinterpret_cast<Search *>(data);
                    if (GetDlgCtrlID(hwnd) == s->id) {
                        s->found = hwnd;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&search));
            return search.found;
        }
    }
    return nullptr;
}

std::string text(HWND hwnd)
{
    // Asked of the control itself: another process's edit box keeps its text to itself.
    DWORD_PTR length = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length);
    std::wstring wide(std::size_t(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, wide.size(), reinterpret_cast<LPARAM>(wide.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    wide.resize(std::size_t(copied));
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), bytes.data(), size, nullptr,
                        nullptr);
    // One line per answer: line breaks travel as \n.
    std::string escaped;
    for (const char c : bytes) {
        if (c == '\r') {
            continue;
        }
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

// The message box the updater has up: a dialog owned by its window.
HWND messageBox()
{
    struct Search {
        HWND owner;
        HWND found;
    } search{mainWindow(), nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM data) -> BOOL {
            auto *s = reinterpret_cast<Search *>(data);
            wchar_t kind[16] = {};
            GetClassNameW(hwnd, kind, 16);
            if (lstrcmpW(kind, L"#32770") == 0 && GetWindow(hwnd, GW_OWNER) == s->owner &&
                IsWindowVisible(hwnd)) {
                s->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string run(const std::string &command, const std::string &argument)
{
    if (command == "window") {
        const HWND hwnd = mainWindow();
        return hwnd ? "ok " + std::to_string(reinterpret_cast<std::uintptr_t>(hwnd))
                    : "error no window";
    }
    if (command == "question" || command == "answer") {
        const HWND box = messageBox();
        if (!box) {
            return "error no question";
        }
        if (command == "question") {
            return "ok " + text(GetDlgItem(box, 0xFFFF)); // the box's text control
        }
        const HWND button = GetDlgItem(box, argument == "OK" ? IDOK : IDCANCEL);
        return button && PostMessageW(button, BM_CLICK, 0, 0) ? "ok" : "error no such button";
    }
    if (command == "short") {
        const int length =
            MultiByteToWideChar(CP_UTF8, 0, argument.data(), int(argument.size()), nullptr, 0);
        std::wstring path(std::size_t(length), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, argument.data(), int(argument.size()), path.data(), length);
        wchar_t shortPath[MAX_PATH] = {};
        const DWORD size = GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
        if (size == 0 || size >= MAX_PATH) {
            return "error no short name";
        }
        std::string bytes(MAX_PATH * 3, '\0');
        bytes.resize(std::size_t(WideCharToMultiByte(CP_UTF8, 0, shortPath, int(size), bytes.data(),
                                                     int(bytes.size()), nullptr, nullptr)));
        return "ok " + bytes;
    }
    if (command == "close") {

        return PostMessageW(mainWindow(), WM_CLOSE, 0, 0) ? "ok" : "error no window";
    }
    const HWND hwnd = control(argument);
    if (!hwnd) {
        return "error no control " + argument;
    }
    if (command == "text") {
        return "ok " + text(hwnd);
    }
    if (command == "visible") {
        return IsWindowVisible(hwnd) ? "ok 1" : "ok 0";
    }
    if (command == "enabled") {
        return IsWindowEnabled(hwnd) ? "ok 1" : "ok 0";
    }
    if (command == "click") {
        // Posted, not sent: the button's handler runs the whole check and download.
        return PostMessageW(hwnd, BM_CLICK, 0, 0) ? "ok" : "error cannot click";
    }
    return "error unknown command " + command;
}

} // namespace

int main()
{
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto space = line.find(' ');
        const std::string command = line.substr(0, space);
        const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
        std::cout << run(command, argument) << std::endl;
    }
    return 0;
}
