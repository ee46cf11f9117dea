#include "app/win32/form1window.h"

#include "app/win32/resource.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

constexpr wchar_t WindowClass[] = L"KolupUpdaterForm1";
constexpr wchar_t OriginalProc[] = L"KolupOriginalProc";
constexpr COLORREF FillColour = RGB(0x3A, 0x6E, 0xA5); // the classic desktop blue

enum class Kind { Button, Frame, Label, Picture, Fill, TextBox };

// The form as drawn: each control's kind, container, caption and place in twips (inside a
// picture box counted from inside its border), and its font: 0 for the window's own.
struct Layout {
    Control control;
    Kind kind;
    Control container; // itself for the form
    const wchar_t *caption;
    int left, top, width, height;
    int font; // 0 the window's, 1 bold caption, 2 the big bold EXIT
};

constexpr Layout Form[ControlCount] = {
    {Control::Command3, Kind::Button, Control::Command3, L"EXIT", 2520, 5040, 1215, 615, 2},
    {Control::Frame2, Kind::Frame, Control::Frame2, L"Kolup update status", 2520, 1440, 3375, 3495,
     0},
    {Control::Frame3, Kind::Frame, Control::Frame2, L"Download Status", 120, 1320, 3135, 2055, 0},
    {Control::Label5, Kind::Label, Control::Frame3, L"", 1080, 360, 975, 375, 0},
    {Control::Label6, Kind::Label, Control::Frame3, L"File Size:", 120, 360, 855, 255, 1},
    {Control::Label12, Kind::Label, Control::Frame3, L"Status:", 120, 1440, 615, 495, 1},
    {Control::Label11, Kind::Label, Control::Frame3, L"", 840, 1440, 2175, 375, 0},
    {Control::Label10, Kind::Label, Control::Frame3, L"Download Speed:", 120, 1080, 1575, 495, 1},
    {Control::Label9, Kind::Label, Control::Frame3, L"", 1680, 1080, 1335, 375, 0},
    {Control::Label8, Kind::Label, Control::Frame3, L"Percent Done:", 120, 720, 1335, 495, 1},
    {Control::Label7, Kind::Label, Control::Frame3, L"", 1440, 720, 975, 375, 0},
    {Control::Label4, Kind::Label, Control::Frame2, L"New Engine Version:", 120, 360, 1815, 495, 1},
    {Control::Label3, Kind::Label, Control::Frame2, L"", 1920, 360, 975, 375, 0},
    {Control::Command2, Kind::Button, Control::Command2, L"Cancel Download", 3840, 5040, 1815, 615,
     0},
    {Control::Picture2, Kind::Picture, Control::Picture2, L"", 120, 5760, 5775, 375, 0},
    {Control::Text1, Kind::Fill, Control::Picture2, L"", 0, 0, 15, 375, 0},
    {Control::Command1, Kind::Button, Control::Command1, L"Check New Versions", 120, 5040, 2295,
     615, 0},
    {Control::Picture1, Kind::Picture, Control::Picture1, L"", 32, 0, 5880, 1410, 0},
    {Control::Frame1, Kind::Frame, Control::Frame1, L"Kolup Current Satus", 0, 1440, 2535, 3495, 0},
    {Control::Text2, Kind::TextBox, Control::Frame1, L"Text2", 120, 1080, 2295, 2055, 0},
    {Control::Label13, Kind::Label, Control::Frame1, L"", 120, 600, 2295, 375, 0},
    {Control::Label2, Kind::Label, Control::Frame1, L"", 1560, 360, 855, 375, 0},
    {Control::Label1, Kind::Label, Control::Frame1, L"Engine Version:", 120, 360, 1455, 495, 1},
};

constexpr int FormWidthTwips = 5925;
constexpr int FormHeightTwips = 6255;

int pixels(double twips)
{
    return int(std::lround(twips / TwipsPerPixel));
}

std::wstring wide(std::string_view utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(std::size_t(std::max(length, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), length);
    return text;
}

std::string utf8(std::wstring_view text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(std::size_t(std::max(length, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), length, nullptr,
                        nullptr);
    return bytes;
}

// The classic dialog font, by its point size at the screen's resolution.
HFONT classicFont(double points, bool bold)
{
    const HDC screen = GetDC(nullptr);
    const int height = -int(std::lround(points * GetDeviceCaps(screen, LOGPIXELSY) / 72.0));
    ReleaseDC(nullptr, screen);
    return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

// Containers (frames and picture boxes) pass their children's colour requests on to the
// window, which knows the fill's blue and the white boxes.
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

    m_font = classicFont(8.25, false);
    m_boldFont = classicFont(8.25, true);
    m_exitFont = classicFont(13.5, true);
    m_fillBrush = CreateSolidBrush(FillColour);
    m_whiteBrush = CreateSolidBrush(GetSysColor(COLOR_WINDOW));

    // A fixed window: a title, the system menu, minimize and close; no maximize, no resize.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    RECT frame{0, 0, pixels(FormWidthTwips), pixels(FormHeightTwips)};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
    m_hwnd = CreateWindowExW(WS_EX_CONTROLPARENT, WindowClass, wide(ApplicationTitle).c_str(),
                             style, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                             frame.bottom - frame.top, nullptr, nullptr, instance, this);
    createControls();
    m_form.Form_Load();
}

Form1Window::~Form1Window()
{
    if (m_hwnd) {
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hwnd);
    }
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(m_font), static_cast<HGDIOBJ>(m_boldFont),
                           static_cast<HGDIOBJ>(m_exitFont), static_cast<HGDIOBJ>(m_fillBrush),
                           static_cast<HGDIOBJ>(m_whiteBrush), static_cast<HGDIOBJ>(m_banner)}) {
        if (object) {
            DeleteObject(object);
        }
    }
}

void Form1Window::createControls()
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const Layout &item : Form) {
        const HWND parent =
            item.container == item.control ? m_hwnd : m_controls[std::size_t(item.container)];
        DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        DWORD extended = 0;
        const wchar_t *windowClass = L"STATIC";
        switch (item.kind) {
        case Kind::Button:
            windowClass = L"BUTTON";
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            break;
        case Kind::Frame:
            windowClass = L"BUTTON";
            style |= BS_GROUPBOX | WS_CLIPCHILDREN;
            extended = WS_EX_CONTROLPARENT;
            break;
        case Kind::Label:
            style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX;
            break;
        case Kind::Picture:
            style |= WS_CLIPCHILDREN | (item.control == Control::Picture1 ? SS_BITMAP : 0);
            extended = WS_EX_CLIENTEDGE;
            break;
        case Kind::Fill:
            break;
        case Kind::TextBox:
            windowClass = L"EDIT";
            style |= ES_MULTILINE | ES_READONLY | WS_TABSTOP;
            extended = WS_EX_CLIENTEDGE;
            break;
        }
        const int id = FirstControlId + int(item.control);
        const HWND hwnd =
            CreateWindowExW(extended, windowClass, item.caption, style, pixels(item.left),
                            pixels(item.top), pixels(item.width), pixels(item.height), parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        m_controls[std::size_t(item.control)] = hwnd;
        const HFONT font = item.font == 2 ? m_exitFont : item.font == 1 ? m_boldFont : m_font;
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (item.kind == Kind::Frame || item.kind == Kind::Picture) {
            passColoursOn(hwnd);
        }
    }
    m_banner = static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDB_BANNER), IMAGE_BITMAP, 0, 0, 0));
    const HWND banner = control(Control::Picture1);
    SendMessageW(banner, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(m_banner));
    // The picture keeps its size from the form, not the bitmap's.
    const Layout &place = Form[std::size_t(Control::Picture1)];
    SetWindowPos(banner, nullptr, 0, 0, pixels(place.width), pixels(place.height),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    m_fillPixels = pixels(Form[std::size_t(Control::Text1)].width);

    // Tab order by tab index: Command1, Command2, Text2 (inside Frame1), Command3.
    HWND after = HWND_TOP;
    for (const Control next :
         {Control::Command1, Control::Command2, Control::Frame1, Control::Command3}) {
        SetWindowPos(control(next), after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        after = control(next);
    }
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
    const int width = pixels(std::max(0.0, double(twips)));
    if (width == m_fillPixels) {
        return false;
    }
    m_fillPixels = width;
    const Layout &fill = Form[std::size_t(Control::Text1)];
    SetWindowPos(control(Control::Text1), nullptr, 0, 0, width, pixels(fill.height),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return true;
}

double Form1Window::trackWidth() const
{
    return Form[std::size_t(Control::Picture2)].width;
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

void Form1Window::holdProgressPaint(bool hold)
{
    for (const Control which : {Control::Label7, Control::Label9, Control::Picture2}) {
        const HWND hwnd = control(which);
        SendMessageW(hwnd, WM_SETREDRAW, hold ? FALSE : TRUE, 0);
        if (!hold) {
            RedrawWindow(hwnd, nullptr, nullptr,
                         RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
        }
    }
}

void Form1Window::closeWindow()
{
    SendMessageW(m_hwnd, WM_CLOSE, 0, 0);
}

std::string Form1Window::decimalSeparator() const
{
    wchar_t separator[8] = {};
    const int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    return length > 1 ? utf8(std::wstring_view(separator, std::size_t(length - 1))) : ".";
}

std::uintptr_t Form1Window::handle() const
{
    return reinterpret_cast<std::uintptr_t>(m_hwnd);
}

bool Form1Window::dialogMessage(MSG &message) const
{
    return m_hwnd && IsDialogMessageW(m_hwnd, &message);
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

LRESULT Form1Window::handleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
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
    case WM_CTLCOLOREDIT: {
        const auto hdc = reinterpret_cast<HDC>(wParam);
        const auto from = reinterpret_cast<HWND>(lParam);
        if (from == control(Control::Text1)) {
            SetBkColor(hdc, FillColour);
            return reinterpret_cast<LRESULT>(m_fillBrush);
        }
        if (from == control(Control::Picture2) || from == control(Control::Text2)) {
            SetBkColor(hdc, GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(m_whiteBrush);
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
