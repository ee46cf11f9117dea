#pragma once

#include "app/window.h"

#include <algorithm>
#include <array>
#include <string_view>

// The window's 23 controls: what each is, where it sits, what it shows. Both windows build
// from this table, the tests hold each window against it, and the drivers of the end-to-end
// tests read it (scripts/desktop.py parses the rows below: keep one row a line).
enum class ControlKind { Button, Frame, Label, Picture, Fill, TextBox };
enum class ControlFont { Dialog, Caption, Exit }; // the dialog font; 8.25 pt bold; 13.5 pt bold

struct ControlSpec {
    Control control;
    std::string_view name;
    ControlKind kind;
    Control container; // itself for the window
    std::string_view caption;
    int left, top, width, height; // twips; inside a picture box, from inside its border
    int tab;                      // its tab index: focus moves in increasing tab index
    ControlFont font;
    int reading; // its place in reading order, which screen readers follow
    std::string_view role;
};

// In creation order, which is Control's.
inline constexpr std::array<ControlSpec, ControlCount> Controls = [] {
    using enum Control;
    using enum ControlKind;
    using enum ControlFont;
    // clang-format off
    return std::array<ControlSpec, ControlCount>{{
    {Command3, "Command3", Button, Command3, "EXIT", 2520, 5040, 1215, 615, 22, Exit, 22, "closes the window"},
    {Frame2, "Frame2", Frame, Frame2, "Kolup update status", 2520, 1440, 3375, 3495, 8, Dialog, 6, "the update panel"},
    {Frame3, "Frame3", Frame, Frame2, "Download Status", 120, 1320, 3135, 2055, 11, Dialog, 9, "the download panel"},
    {Label5, "Label5", Label, Frame3, "", 1080, 360, 975, 375, 19, Dialog, 11, "the offered setup's size in kb"},
    {Label6, "Label6", Label, Frame3, "File Size:", 120, 360, 855, 255, 18, Caption, 10, "caption of Label5"},
    {Label12, "Label12", Label, Frame3, "Status:", 120, 1440, 615, 495, 17, Caption, 16, "caption of Label11"},
    {Label11, "Label11", Label, Frame3, "", 840, 1440, 2175, 375, 16, Dialog, 17, "the download's status"},
    {Label10, "Label10", Label, Frame3, "Download Speed:", 120, 1080, 1575, 495, 15, Caption, 14, "caption of Label9"},
    {Label9, "Label9", Label, Frame3, "", 1680, 1080, 1335, 375, 14, Dialog, 15, "the download's speed"},
    {Label8, "Label8", Label, Frame3, "Percent Done:", 120, 720, 1335, 495, 13, Caption, 12, "caption of Label7"},
    {Label7, "Label7", Label, Frame3, "", 1440, 720, 975, 375, 12, Dialog, 13, "the percentage done"},
    {Label4, "Label4", Label, Frame2, "New Engine Version:", 120, 360, 1815, 495, 10, Caption, 7, "caption of Label3"},
    {Label3, "Label3", Label, Frame2, "", 1920, 360, 975, 375, 9, Dialog, 8, "the offered version"},
    {Command2, "Command2", Button, Command2, "Cancel Download", 3840, 5040, 1815, 615, 7, Dialog, 21, "asks a download to stop"},
    {Picture2, "Picture2", Picture, Picture2, "", 120, 5760, 5775, 375, 5, Dialog, 18, "the progress bar's track"},
    {Text1, "Text1", Fill, Picture2, "", 0, 0, 15, 375, 6, Dialog, 19, "the progress bar's fill"},
    {Command1, "Command1", Button, Command1, "Check New Versions", 120, 5040, 2295, 615, 3, Dialog, 20, "starts the update check"},
    {Picture1, "Picture1", Picture, Picture1, "", 32, 0, 5880, 1410, 1, Dialog, 0, "the banner"},
    {Frame1, "Frame1", Frame, Frame1, "Kolup Current Satus", 0, 1440, 2535, 3495, 0, Dialog, 1, "the installed engine's panel"},
    {Text2, "Text2", TextBox, Frame1, "Text2", 120, 1080, 2295, 2055, 21, Dialog, 5, "the closing message"},
    {Label13, "Label13", Label, Frame1, "", 120, 600, 2295, 375, 20, Dialog, 4, "the last check's result"},
    {Label2, "Label2", Label, Frame1, "", 1560, 360, 855, 375, 4, Dialog, 3, "the installed version"},
    {Label1, "Label1", Label, Frame1, "Engine Version:", 120, 360, 1455, 495, 2, Caption, 2, "caption of Label2"},
    }};
    // clang-format on
}();

constexpr const ControlSpec &specOf(Control control)
{
    return Controls[std::size_t(control)];
}

// The controls in reading order: a frame before what it holds, each caption before its value,
// the progress before the buttons.
constexpr std::array<Control, ControlCount> readingOrder()
{
    std::array<Control, ControlCount> order{};
    for (const ControlSpec &spec : Controls) {
        order[std::size_t(spec.reading)] = spec.control;
    }
    return order;
}

// The controls that take the focus, in tab order.
constexpr auto tabOrder()
{
    std::array<Control, 4> order{};
    std::size_t count = 0;
    for (const ControlSpec &spec : Controls) {
        if (spec.kind == ControlKind::Button || spec.kind == ControlKind::TextBox) {
            order[count++] = spec.control;
        }
    }
    std::sort(order.begin(), order.end(),
              [](Control a, Control b) { return specOf(a).tab < specOf(b).tab; });
    return order;
}

// Every row sits at its control's place, and the reading order holds each control once.
static_assert([] {
    std::array<bool, ControlCount> read{};
    for (std::size_t i = 0; i < Controls.size(); ++i) {
        if (std::size_t(Controls[i].control) != i || read[std::size_t(Controls[i].reading)]) {
            return false;
        }
        read[std::size_t(Controls[i].reading)] = true;
    }
    return true;
}());
