#pragma once

#include "app/platform.h"
#include "app/updaterstate.h"

#include "download/setupdownload.h"

#include <QWidget>

#include <cstdint>
#include <memory>

namespace Ui {
class Form1;
}

inline constexpr auto ApplicationTitle = "Kolup Updater";
inline constexpr double TwipsPerPixel = 15;

// The updater's one window. Each handler translates between the window and the update check or
// the setup download, which do the work; while either waits for the network or between chunks,
// the handler keeps the window's events flowing so it paints and answers the cancel and close.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(const Platform &platform, QWidget *parent = nullptr);
    ~Form1() override;

    void Form_Load();
    void getKolupInfo();
    void SetVis(const Flag &ok);
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Form_Unload(Flag &cancel);
    void Download();

    const UpdaterState &state() const { return m_state; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Hands the event loop its turn while a transfer runs, at most once a millisecond, and
    // lets the progress controls paint at display rate when their values changed.
    void letEventsRun(const SetupDownload &download, bool always);
    // Writes the latest values to the progress controls; true when any of them changed.
    bool showProgress(const SetupDownload &download);
    void setProgressUpdates(bool enabled);
    // Text1's width is given in twips, fractions included; the screen shows whole pixels.
    void setFillWidth(float twips);
    double trackWidth() const;

    std::unique_ptr<Ui::Form1> ui;
    Platform m_platform;
    UpdaterState m_state;
    bool m_checking = false;       // from the click on the check to the end of its download
    bool m_fetchingRecord = false; // while the version record is on its way
    bool m_transferring = false;
    // A close that arrived while the record or the setup file was on its way: it ends that
    // work first, then closes the window.
    bool m_closeRequested = false;
    // The user closed the window during a transfer: whatever it completed is not started.
    bool m_handOverRefused = false;
    bool m_closed = false;
    std::int64_t m_lastPump = 0;
    std::int64_t m_lastPaint = 0;
    bool m_progressDirty = false;
    std::optional<VerifiedFile> m_verifiedSetup;
};
