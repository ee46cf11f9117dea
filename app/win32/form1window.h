#pragma once

#include "app/form1.h"
#include "app/window.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <array>

// The updater's window as Windows draws it: the 23 controls of the classic form at their
// positions in twips, its classic fonts, and Form1's handlers behind the buttons and the
// close box. Each control's ID is 1000 plus its place in Control, so tools can find it.
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
    void holdProgressPaint(bool hold) override;
    void closeWindow() override;
    std::string decimalSeparator() const override;
    std::uintptr_t handle() const override;

    // The message loop's filter: keyboard navigation between the controls.
    bool dialogMessage(MSG &message) const;

private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void createControls();
    HWND control(Control which) const { return m_controls[std::size_t(which)]; }

    HWND m_hwnd = nullptr;
    std::array<HWND, ControlCount> m_controls{};
    HFONT m_font = nullptr;
    HFONT m_boldFont = nullptr;
    HFONT m_exitFont = nullptr;
    HBRUSH m_fillBrush = nullptr;
    HBRUSH m_whiteBrush = nullptr;
    HBITMAP m_banner = nullptr;
    HICON m_icon = nullptr;
    int m_fillPixels = 1;
    Form1 m_form;
};
