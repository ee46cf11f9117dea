#pragma once

#include "app/form1.h"
#include "app/qt/desktop.h"
#include "app/window.h"

#include <QWidget>

#include <array>
#include <memory>
#include <string>

namespace Ui {
class Form1;
}

// The updater's window drawn by Qt: the controls from form1.ui, their fonts and colours, and
// the handlers of Form1 behind its buttons and its close control.
class Form1Window final : public QWidget, public Window {
    Q_OBJECT
public:
    // prompt: who answers the update question; the message box when none is given.
    explicit Form1Window(const Platform &platform, UpdatePrompt *prompt = nullptr,
                         QWidget *parent = nullptr);
    ~Form1Window() override;

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

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *control(Control control) const { return m_controls[std::size_t(control)]; }

    std::unique_ptr<Ui::Form1> ui;
    std::array<QWidget *, ControlCount> m_controls{};
    MessageBoxPrompt m_messageBox;
    UpdatePrompt *m_prompt;
    Form1 m_form;
};
