#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The window's 23 controls, by name, in their creation order.
enum class Control {
    Command3,
    Frame2,
    Frame3,
    Label5,
    Label6,
    Label12,
    Label11,
    Label10,
    Label9,
    Label8,
    Label7,
    Label4,
    Label3,
    Command2,
    Picture2,
    Text1,
    Command1,
    Picture1,
    Frame1,
    Text2,
    Label13,
    Label2,
    Label1,
};
inline constexpr int ControlCount = 23;

inline constexpr auto ApplicationTitle = "Kolup Updater";
inline constexpr double TwipsPerPixel = 15;

// What the handlers need of the window, whatever toolkit draws it. Texts are UTF-8.
class Window {
public:
    virtual ~Window() = default;
    // A label's or button's caption, a frame's title, a text box's text.
    virtual void setCaption(Control control, std::string_view text) = 0;
    virtual void showControl(Control control, bool visible) = 0;
    virtual void enableControl(Control control, bool enabled) = 0;
    // Text1's width in twips, fractions allowed; true when the width on screen changed.
    virtual bool setFillWidth(float twips) = 0;
    // Picture2's width in twips.
    virtual double trackWidth() const = 0;
    // A modal question with OK (the default) and Cancel, under the given title; true for OK.
    virtual bool askOkCancel(std::string_view title, std::string_view text) = 0;
    // Handles the input and paint events already queued, then returns without waiting.
    virtual void processEvents() = 0;
    // The transfer's state where the desktop shows one on the program's taskbar button, as
    // browsers show a download's: running with a share done, failed, or none.
    enum class TaskbarProgress { None, Normal, Error };
    virtual void showTaskbarProgress(TaskbarProgress state, std::int64_t done,
                                     std::int64_t total) = 0;
    // Once, on the taskbar, when the window is not in front: a download has completed.
    virtual void flashIfInBackground() = 0;
    // Closes the window, which asks the handlers whether it may go (Form1::QueryUnload).
    virtual void closeWindow() = 0;
    // The user's decimal separator, for the version labels.
    virtual std::string decimalSeparator() const = 0;
    // The window's handle, the owner of what it starts.
    virtual std::uintptr_t handle() const = 0;
};
