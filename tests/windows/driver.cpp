// Drives the real kolup-updater.exe as a user would, for the end-to-end test under Wine: it
// reads one command a line from standard input and answers one line, "ok ..." or "error ...".
//
//   text NAME            the control's text          visible NAME / enabled NAME   1 or 0
//   click NAME           presses a button            close                         the close box
//   question             the open message box's text, or "error" when none is up
//   answer OK|Cancel     presses that button of the open message box
//   window               the updater window's handle
//   short PATH           the short (8.3) name Windows gives the file at PATH
//   fit                  "ok" when every visible control's text fits it, else what does not
//   focused              the control that has the keyboard focus
//   tab                  presses Tab where the focus is
//   order                the controls in the order screen readers take them (the Z order)
//   sample N NAME...     how often NAME... were found hidden in N looks, 5 ms apart
//   dpi                  the window's DPI
//
// Controls are found by their IDs (1000 plus their place in Control).
#include "app/controls.h"

#include <windows.h>

#include <array>
#include <cmath>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

HWND mainWindow()
{
    return FindWindowW(L"KolupUpdaterForm1", nullptr);
}

const ControlSpec *specOf(HWND hwnd)
{
    const int index = GetDlgCtrlID(hwnd) - 1000;
    return index >= 0 && index < ControlCount ? &Controls[std::size_t(index)] : nullptr;
}

std::string nameOf(HWND hwnd)
{
    const ControlSpec *spec = specOf(hwnd);
    return spec ? std::string(spec->name) : std::string();
}

std::wstring wideText(HWND hwnd)
{
    // Asked of the control itself: another process's edit box keeps its text to itself.
    DWORD_PTR length = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length);
    std::wstring wide(std::size_t(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, wide.size(), reinterpret_cast<LPARAM>(wide.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    wide.resize(std::size_t(copied));
    return wide;
}

// What of a control's text does not fit it, measured in the font the form gives it (the
// classic dialog font, bold for the captions, larger for EXIT) at the window's DPI, wrapped
// at words where the control wraps; empty when all of it fits.
std::string overflow(HWND hwnd)
{
    const ControlSpec *spec = specOf(hwnd);
    const std::wstring text = wideText(hwnd);
    if (!spec || text.empty()) {
        return {};
    }
    const double points = spec->font == ControlFont::Exit ? 13.5 : 8.25;
    const UINT dpi = GetDpiForWindow(hwnd);
    const HFONT font =
        CreateFontW(-int(std::floor(points * dpi / 72.0)), 0, 0, 0,
                    spec->font == ControlFont::Dialog ? FW_NORMAL : FW_BOLD, FALSE, FALSE, FALSE,
                    DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                    DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
    RECT client{};
    GetClientRect(hwnd, &client);
    wchar_t kind[16] = {};
    GetClassNameW(hwnd, kind, 16);
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    int width = client.right;
    int height = client.bottom;
    UINT flags = DT_CALCRECT | DT_NOPREFIX;
    if (lstrcmpiW(kind, L"STATIC") == 0) {
        flags |= (style & SS_TYPEMASK) == SS_LEFTNOWORDWRAP ? DT_SINGLELINE : DT_WORDBREAK;
    } else if (lstrcmpiW(kind, L"EDIT") == 0) {
        const auto margins = DWORD(SendMessageW(hwnd, EM_GETMARGINS, 0, 0));
        width -= LOWORD(margins) + HIWORD(margins);
        flags |= DT_WORDBREAK | DT_EDITCONTROL;
    } else {
        // A button's face and a frame's title leave a few pixels at each end.
        width -= MulDiv((style & BS_TYPEMASK) == BS_GROUPBOX ? 16 : 8, int(dpi), 96);
        flags |= DT_SINGLELINE;
    }
    const HDC dc = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, font);
    RECT needed{0, 0, width, 0};
    DrawTextW(dc, text.c_str(), int(text.size()), &needed, flags);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    if (needed.right <= width && needed.bottom <= height) {
        return {};
    }
    std::ostringstream why;
    why << spec->name << " needs " << needed.right << "x" << needed.bottom << " in " << width << "x"
        << height;
    return why.str();
}

HWND control(const std::string &name)
{
    for (std::size_t i = 0; i < Controls.size(); ++i) {
        if (name == Controls[i].name) {
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
    const std::wstring wide = wideText(hwnd);
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

// Depth first, in Z order: the order in which screen readers take the controls.
void readingOrder(HWND parent, std::string &order)
{
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const std::string name = nameOf(child);
        order += " " + (name.empty() ? "[" + text(child) + "]" : name);
        readingOrder(child, order);
    }
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
    if (command == "fit") {
        std::string misfits;
        for (const ControlSpec &spec : Controls) {
            const HWND hwnd = control(std::string(spec.name));
            if (hwnd && IsWindowVisible(hwnd)) {
                if (const std::string why = overflow(hwnd); !why.empty()) {
                    misfits += (misfits.empty() ? "" : "; ") + why;
                }
            }
        }
        return misfits.empty() ? "ok" : "error " + misfits;
    }
    if (command == "focused") {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(GetWindowThreadProcessId(mainWindow(), nullptr), &info);
        return "ok " + nameOf(info.hwndFocus);
    }
    if (command == "tab") {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(GetWindowThreadProcessId(mainWindow(), nullptr), &info);
        return PostMessageW(info.hwndFocus, WM_KEYDOWN, VK_TAB, 0) ? "ok" : "error no focus";
    }
    if (command == "order") {
        std::string order;
        readingOrder(mainWindow(), order);
        return "ok" + order;
    }
    if (command == "dpi") {
        return "ok " + std::to_string(GetDpiForWindow(mainWindow()));
    }
    if (command == "sample") {
        std::istringstream words(argument);
        int looks = 0;
        words >> looks;
        std::vector<HWND> watched;
        for (std::string name; words >> name;) {
            watched.push_back(control(name));
        }
        int hidden = 0;
        for (int look = 0; look < looks; ++look) {
            for (const HWND hwnd : watched) {
                hidden += IsWindowVisible(hwnd) ? 0 : 1;
            }
            Sleep(5);
        }
        return "ok " + std::to_string(hidden);
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
