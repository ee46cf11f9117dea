#pragma once

#include "app/form1.h"
#include "app/window.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shobjidl.h>

#include <array>
#include <memory>
#include <string>
#include <type_traits>

// Owners of what the window makes of GDI and COM: each is given back once, however the window
// ends or its DPI changes.
struct GdiDeleter {
    void operator()(HGDIOBJ object) const noexcept { DeleteObject(object); }
};
template <typename Handle>
using GdiObject = std::unique_ptr<std::remove_pointer_t<Handle>, GdiDeleter>;
struct ComReleaser {
    void operator()(IUnknown *object) const noexcept { object->Release(); }
};

// The updater's window as Windows draws it: the 23 controls of the classic form at their
// positions in twips, scaled by the window's DPI, its classic fonts made for that DPI, and
// Form1's handlers behind the buttons and the close box. Controls are created in reading
// order, which is the order screen readers take them in; each control's ID is 1000 plus its
// place in Control, so tools can find it.
class Form1Window final : public Window {
public:
    static constexpr int FirstControlId = 1000;

    explicit Form1Window(const Platform &platform);
    ~Form1Window() override;
    Form1Window(const Form1Window &) = delete;
    Form1Window &operator=(const Form1Window &) = delete;

    HWND hwnd() const { return m_hwnd; }
    Form1 &form() { return m_form; }

    void setCaption(Control control, std::string_view text) override;
    void showControl(Control control, bool visible) override;
    void enableControl(Control control, bool enabled) override;
    bool setFillWidth(float twips) override;
    double trackWidth() const override;
    bool askOkCancel(std::string_view title, std::string_view text) override;
    void processEvents() override;
    void showTaskbarProgress(TaskbarProgress state, std::int64_t done, std::int64_t total) override;
    void flashIfInBackground() override;
    void closeWindow() override;
    std::string decimalSeparator() const override;
    std::uintptr_t handle() const override;

    // The message loop's filter: keyboard navigation between the controls.
    bool dialogMessage(MSG &message);

private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    // The taskbar button's progress, once Explorer has made the button.
    void attachTaskbar();
    // The background and text colours of a static or edit control.
    LRESULT colours(HDC hdc, HWND from);
    void activated(bool active);
    void dpiChanged(UINT dpi, const RECT &suggested);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void createControls();
    // Places every control and gives it its font at the window's DPI; again when it changes.
    void layOut();
    void makeFonts();
    void scaleBanner();
    int pixels(double twips) const;
    void placeFill();
    // Tab and Shift+Tab through the controls by their tab index.
    void moveFocus(bool forward);
    HWND control(Control which) const { return m_controls[std::size_t(which)]; }

    HWND m_hwnd = nullptr;
    std::array<HWND, ControlCount> m_controls{};
    HWND m_text2Name = nullptr; // names Text2 for screen readers
    UINT m_dpi = USER_DEFAULT_SCREEN_DPI;
    GdiObject<HFONT> m_font;
    GdiObject<HFONT> m_boldFont;
    GdiObject<HFONT> m_exitFont;
    GdiObject<HBRUSH> m_whiteBrush;
    GdiObject<HBITMAP> m_bannerSource; // as drawn, for 96 DPI
    GdiObject<HBITMAP> m_banner;       // scaled to the window's DPI
    HICON m_icon = nullptr;            // shared by the system: never destroyed
    float m_fillTwips = 15;
    int m_fillPixels = 1;
    HWND m_focus = nullptr; // the control that has the focus while the window is in front
    std::unique_ptr<ITaskbarList3, ComReleaser> m_taskbar;
    Form1 m_form;
};
