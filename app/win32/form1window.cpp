#include "app/win32/form1window.h"
#include "app/controls.h"

#include "app/win32/resource.h"
#include "os/files.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

constexpr wchar_t WindowClass[] = L"KolupUpdaterForm1";
constexpr wchar_t OriginalProc[] = L"KolupOriginalProc";
// Read by screen readers as Text2's name: the label just before it that nobody sees.
constexpr wchar_t Text2Name[] = L"Download result";

constexpr std::array ReadingOrder = readingOrder();
constexpr std::array TabOrder = tabOrder();

constexpr int FormWidthTwips = 5925;
constexpr int FormHeightTwips = 6255;
constexpr int BannerWidth = 388; // pixels at 96 DPI, as drawn
constexpr int BannerHeight = 90;
constexpr DWORD Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD ExtendedStyle = WS_EX_CONTROLPARENT;

std::wstring wide(std::string_view utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(std::size_t(std::max(length, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), length);
    return text;
}

// The classic dialog font at a point size, for the window's DPI. Rounded down, so that two
// lines of a wrapped caption still fit the label's height at every scale.
HFONT classicFont(double points, bool bold, UINT dpi)
{
    const int height = -int(std::floor(points * dpi / 72.0));
    return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

// Containers (frames and picture boxes) pass their children's colour requests on to the
// window, which knows the fill's colour and the white boxes.
LRESULT CALLBACK containerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    const auto original = reinterpret_cast<WNDPROC>(GetPropW(hwnd, OriginalProc));
    switch (message) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
        return SendMessageW(GetAncestor(hwnd, GA_ROOT), message, wParam, lParam);
    case WM_ERASEBKGND: {
        // A group box paints only its frame and title; what lies inside is painted here, so a
        // hidden label leaves the face colour behind, not what was there before.
        wchar_t kind[16] = {};
        GetClassNameW(hwnd, kind, 16);
        if (lstrcmpiW(kind, L"BUTTON") == 0) {
            RECT inside;
            GetClientRect(hwnd, &inside);
            FillRect(reinterpret_cast<HDC>(wParam), &inside, GetSysColorBrush(COLOR_BTNFACE));
            return 1;
        }
        break;
    }
    case WM_NCDESTROY:
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        RemovePropW(hwnd, OriginalProc);
        break;
    default:
        break;
    }
    return CallWindowProcW(original, hwnd, message, wParam, lParam);
}

void passColoursOn(HWND container)
{
    const LONG_PTR original =
        SetWindowLongPtrW(container, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&containerProc));
    SetPropW(container, OriginalProc, reinterpret_cast<HANDLE>(original));
}

// A caption label is taller than its one line and reaches into the next row, where in reading
// order it would lie above that row's caption and value and cover them: it keeps its place and
// size, but shows (and paints) only where its text is.
void clipToText(HWND label, const wchar_t *caption, HFONT font, int width)
{
    const HDC dc = GetDC(label);
    const HGDIOBJ old = SelectObject(dc, font);
    RECT text{0, 0, width, 0};
    DrawTextW(dc, caption, -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    SetWindowRgn(label, CreateRectRgn(0, 0, width, text.bottom), TRUE);
}

// The message Windows sends once the program's taskbar button exists.
UINT taskbarButtonCreated()
{
    static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

} // namespace

Form1Window::Form1Window(const Platform &platform) : m_form(*this, platform)
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    m_icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_KOLUP));
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Form1Window::windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = m_icon;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = WindowClass;
    RegisterClassExW(&windowClass);
    m_whiteBrush.reset(CreateSolidBrush(GetSysColor(COLOR_WINDOW)));
    m_bannerSource.reset(static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(IDB_BANNER),
                                                         IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));

    // A fixed window: a title, the system menu, minimize and close; no maximize, no resize.
    // Made at the system's DPI, then sized for the DPI of the monitor it lands on.
    m_dpi = GetDpiForSystem();
    RECT frame{0, 0, pixels(FormWidthTwips), pixels(FormHeightTwips)};
    AdjustWindowRectExForDpi(&frame, Style, FALSE, ExtendedStyle, m_dpi);
    CreateWindowExW(ExtendedStyle, WindowClass, wide(ApplicationTitle).c_str(), Style,
                    CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                    frame.bottom - frame.top, nullptr, nullptr, instance, this);
    if (const UINT dpi = GetDpiForWindow(m_hwnd); dpi != m_dpi) {
        m_dpi = dpi;
        frame = {0, 0, pixels(FormWidthTwips), pixels(FormHeightTwips)};
        AdjustWindowRectExForDpi(&frame, Style, FALSE, ExtendedStyle, m_dpi);
        SetWindowPos(m_hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    makeFonts();
    createControls();
    layOut();
    m_focus = control(Control::Command1);
    m_form.Form_Load();
}

Form1Window::~Form1Window()
{
    m_taskbar.reset();
    if (m_hwnd) {
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hwnd);
    }
    // The fonts, the brush and the bitmaps go after the window that used them.
}

int Form1Window::pixels(double twips) const
{
    return int(std::lround(twips * m_dpi / 1440.0));
}

void Form1Window::makeFonts()
{
    m_font.reset(classicFont(8.25, false, m_dpi));
    m_boldFont.reset(classicFont(8.25, true, m_dpi));
    m_exitFont.reset(classicFont(13.5, true, m_dpi));
}

void Form1Window::createControls()
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const Control which : ReadingOrder) {
        const ControlSpec &item = specOf(which);
        const HWND parent =
            item.container == item.control ? m_hwnd : m_controls[std::size_t(item.container)];
        DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        DWORD extended = 0;
        const wchar_t *windowClass = L"STATIC";
        switch (item.kind) {
        case ControlKind::Button:
            windowClass = L"BUTTON";
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            break;
        case ControlKind::Frame:
            windowClass = L"BUTTON";
            style |= BS_GROUPBOX | WS_CLIPCHILDREN;
            extended = WS_EX_CONTROLPARENT;
            break;
        case ControlKind::Label:
            // Wrapped at words, as a longer result or a slow speed may need two lines.
            style |= SS_LEFT | SS_NOPREFIX;
            break;
        case ControlKind::Picture:
            style |= WS_CLIPCHILDREN | (item.control == Control::Picture1 ? SS_BITMAP : 0);
            extended = WS_EX_CLIENTEDGE;
            break;
        case ControlKind::Fill:
            break;
        case ControlKind::TextBox:
            windowClass = L"EDIT";
            style |= ES_MULTILINE | ES_READONLY | WS_TABSTOP;
            extended = WS_EX_CLIENTEDGE;
            m_text2Name = CreateWindowExW(0, L"STATIC", Text2Name, WS_CHILD | SS_NOPREFIX, 0, 0, 0,
                                          0, parent, nullptr, instance, nullptr);
            break;
        }
        const int id = FirstControlId + int(item.control);
        const HWND hwnd = CreateWindowExW(
            extended, windowClass, wide(item.caption).c_str(), style, 0, 0, 0, 0, parent,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        m_controls[std::size_t(item.control)] = hwnd;
        if (item.kind == ControlKind::Frame || item.kind == ControlKind::Picture) {
            passColoursOn(hwnd);
        }
    }
}

void Form1Window::layOut()
{
    for (const ControlSpec &item : Controls) {
        const HWND hwnd = control(item.control);
        const HFONT font = item.font == ControlFont::Exit      ? m_exitFont.get()
                           : item.font == ControlFont::Caption ? m_boldFont.get()
                                                               : m_font.get();
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (item.control == Control::Picture1) {
            scaleBanner();
        }
        const int width = item.control == Control::Text1 ? m_fillPixels : pixels(item.width);
        SetWindowPos(hwnd, nullptr, pixels(item.left), pixels(item.top), width, pixels(item.height),
                     SWP_NOZORDER | SWP_NOACTIVATE);
        if (item.font == ControlFont::Caption) {
            clipToText(hwnd, wide(item.caption).c_str(), font, width);
        }
    }
    SendMessageW(m_text2Name, WM_SETFONT, reinterpret_cast<WPARAM>(m_font.get()), FALSE);
    placeFill();
    RedrawWindow(m_hwnd, nullptr, nullptr,
                 RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void Form1Window::scaleBanner()
{
    // The banner drawn for 96 DPI, smoothed to the window's DPI; the picture box keeps the
    // form's size, not the bitmap's.
    const int width = MulDiv(BannerWidth, int(m_dpi), USER_DEFAULT_SCREEN_DPI);
    const int height = MulDiv(BannerHeight, int(m_dpi), USER_DEFAULT_SCREEN_DPI);
    const HDC screen = GetDC(m_hwnd);
    const HDC from = CreateCompatibleDC(screen);
    const HDC to = CreateCompatibleDC(screen);
    const HBITMAP scaled = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ oldFrom = SelectObject(from, m_bannerSource.get());
    const HGDIOBJ oldTo = SelectObject(to, scaled);
    SetStretchBltMode(to, HALFTONE);
    SetBrushOrgEx(to, 0, 0, nullptr);
    StretchBlt(to, 0, 0, width, height, from, 0, 0, BannerWidth, BannerHeight, SRCCOPY);
    SelectObject(from, oldFrom);
    SelectObject(to, oldTo);
    DeleteDC(from);
    DeleteDC(to);
    ReleaseDC(m_hwnd, screen);
    SendMessageW(control(Control::Picture1), STM_SETIMAGE, IMAGE_BITMAP,
                 reinterpret_cast<LPARAM>(scaled));
    m_banner.reset(scaled);
}

void Form1Window::placeFill()
{
    m_fillPixels = pixels(std::max(0.0, double(m_fillTwips)));
    SetWindowPos(control(Control::Text1), nullptr, 0, 0, m_fillPixels,
                 pixels(specOf(Control::Text1).height), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form1Window::setCaption(Control which, std::string_view text)
{
    std::wstring caption = wide(text);
    if (which == Control::Text2) {
        // A multi-line box breaks lines at CR LF only.
        for (std::size_t at = 0; (at = caption.find(L'\n', at)) != std::wstring::npos; at += 2) {
            if (at == 0 || caption[at - 1] != L'\r') {
                caption.insert(at, 1, L'\r');
            }
        }
    }
    SetWindowTextW(control(which), caption.c_str());
}

void Form1Window::showControl(Control which, bool visible)
{
    ShowWindow(control(which), visible ? SW_SHOWNA : SW_HIDE);
}

void Form1Window::enableControl(Control which, bool enabled)
{
    const HWND hwnd = control(which);
    EnableWindow(hwnd, enabled);
    // The labels inside a frame take their colour from it: paint them again.
    RedrawWindow(hwnd, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

bool Form1Window::setFillWidth(float twips)
{
    m_fillTwips = twips;
    const int width = pixels(std::max(0.0, double(twips)));
    if (width == m_fillPixels) {
        return false;
    }
    placeFill();
    return true;
}

double Form1Window::trackWidth() const
{
    return specOf(Control::Picture2).width;
}

bool Form1Window::askOkCancel(std::string_view title, std::string_view text)
{
    return MessageBoxW(m_hwnd, wide(text).c_str(), wide(title).c_str(),
                       MB_OKCANCEL | MB_DEFBUTTON1) == IDOK;
}

void Form1Window::processEvents()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(int(message.wParam)); // for the loop in main
            return;
        }
        if (!dialogMessage(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void Form1Window::showTaskbarProgress(TaskbarProgress state, std::int64_t done, std::int64_t total)
{
    if (!m_taskbar) {
        return; // no taskbar button (yet), or no taskbar at all
    }
    switch (state) {
    case TaskbarProgress::None:
        m_taskbar->SetProgressState(m_hwnd, TBPF_NOPROGRESS);
        return;
    case TaskbarProgress::Normal:
        m_taskbar->SetProgressState(m_hwnd, TBPF_NORMAL);
        break;
    case TaskbarProgress::Error:
        m_taskbar->SetProgressState(m_hwnd, TBPF_ERROR);
        break;
    }
    if (total > 0) {
        m_taskbar->SetProgressValue(m_hwnd, ULONGLONG(std::clamp<std::int64_t>(done, 0, total)),
                                    ULONGLONG(total));
    }
}

void Form1Window::flashIfInBackground()
{
    if (GetForegroundWindow() == m_hwnd) {
        return;
    }
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = m_hwnd;
    flash.dwFlags = FLASHW_TRAY;
    flash.uCount = 1;
    FlashWindowEx(&flash);
}

void Form1Window::closeWindow()
{
    SendMessageW(m_hwnd, WM_CLOSE, 0, 0);
}

std::string Form1Window::decimalSeparator() const
{
    wchar_t separator[8] = {};
    const int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    return length > 1 ? files::displayText(std::wstring(separator, std::size_t(length - 1))) : ".";
}

std::uintptr_t Form1Window::handle() const
{
    return reinterpret_cast<std::uintptr_t>(m_hwnd);
}

void Form1Window::moveFocus(bool forward)
{
    const HWND focused = GetFocus();
    const int count = int(std::size(TabOrder));
    int at = -1;
    for (int i = 0; i < count; ++i) {
        if (control(TabOrder[i]) == focused) {
            at = i;
        }
    }
    for (int step = 1; step <= count; ++step) {
        const int next = ((forward ? at + step : at - step) % count + count) % count;
        const HWND candidate = control(TabOrder[next]);
        if (IsWindowVisible(candidate) && IsWindowEnabled(candidate)) {
            SetFocus(candidate);
            return;
        }
    }
}

bool Form1Window::dialogMessage(MSG &message)
{
    if (!m_hwnd) {
        return false;
    }
    if (message.message == WM_KEYDOWN && message.wParam == VK_TAB && GetKeyState(VK_CONTROL) >= 0 &&
        GetKeyState(VK_MENU) >= 0 && (message.hwnd == m_hwnd || IsChild(m_hwnd, message.hwnd))) {
        moveFocus(GetKeyState(VK_SHIFT) >= 0);
        return true;
    }
    return IsDialogMessageW(m_hwnd, &message);
}

LRESULT CALLBACK Form1Window::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto *create = reinterpret_cast<const CREATESTRUCTW *>(lParam);
        auto *self = static_cast<Form1Window *>(create->lpCreateParams);
        self->m_hwnd = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto *self = reinterpret_cast<Form1Window *>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->handleMessage(message, wParam, lParam)
                : DefWindowProcW(hwnd, message, wParam, lParam);
}

void Form1Window::attachTaskbar()
{
    ITaskbarList3 *taskbar = nullptr;
    if (!m_taskbar &&
        SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ITaskbarList3, reinterpret_cast<void **>(&taskbar)))) {
        m_taskbar.reset(taskbar);
        if (FAILED(m_taskbar->HrInit())) {
            m_taskbar.reset();
        }
    }
}

LRESULT Form1Window::colours(HDC hdc, HWND from)
{
    if (from == control(Control::Text1)) {
        // The progress fill takes the desktop's colour, as the classic form's did.
        SetBkColor(hdc, GetSysColor(COLOR_DESKTOP));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_DESKTOP));
    }
    if (from == control(Control::Picture2) || from == control(Control::Text2)) {
        SetBkColor(hdc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(m_whiteBrush.get());
    }
    SetBkColor(hdc, GetSysColor(COLOR_BTNFACE));
    // A label inside a disabled frame reads as disabled, as its frame does.
    bool enabled = true;
    for (HWND at = from; at && at != m_hwnd; at = GetParent(at)) {
        enabled = enabled && IsWindowEnabled(at);
    }
    SetTextColor(hdc, GetSysColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

void Form1Window::activated(bool active)
{
    // As a dialog does: the focus goes back where it was, "Check New Versions" at first.
    if (!active) {
        if (const HWND focused = GetFocus(); focused && IsChild(m_hwnd, focused)) {
            m_focus = focused;
        }
        return;
    }
    const HWND target = m_focus && IsWindowVisible(m_focus) && IsWindowEnabled(m_focus)
                            ? m_focus
                            : control(Control::Command1);
    SetFocus(target);
}

void Form1Window::dpiChanged(UINT dpi, const RECT &suggested)
{
    // Moved to a monitor of another DPI, or its scale changed: everything made again.
    m_dpi = dpi;
    SetWindowPos(m_hwnd, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    // The controls hold the old fonts until they are laid out with the new ones.
    const std::array old = {std::move(m_font), std::move(m_boldFont), std::move(m_exitFont)};
    makeFonts();
    layOut();
}

LRESULT Form1Window::handleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == taskbarButtonCreated()) {
        attachTaskbar();
        return 0;
    }
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) {
            switch (LOWORD(wParam) - FirstControlId) {
            case int(Control::Command1):
                m_form.Command1_Click();
                return 0;
            case int(Control::Command2):
                m_form.Command2_Click();
                return 0;
            case int(Control::Command3):
                m_form.Command3_Click();
                return 0;
            default:
                break;
            }
        }
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
        return colours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_ACTIVATE:
        activated(LOWORD(wParam) != WA_INACTIVE);
        return 0;
    case WM_DPICHANGED:
        dpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT *>(lParam));
        return 0;
    case WM_CLOSE:
        // Closing may have to wait for a transfer to stop; the handlers then close again.
        if (m_form.QueryUnload()) {
            DestroyWindow(m_hwnd);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        // The last message: the handle is no longer ours to use.
        const LRESULT result = DefWindowProcW(m_hwnd, message, wParam, lParam);
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
        m_hwnd = nullptr;
        return result;
    }
    default:
        break;
    }
    return DefWindowProcW(m_hwnd, message, wParam, lParam);
}
