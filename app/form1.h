#pragma once

#include "app/platform.h"
#include "app/updaterstate.h"
#include "app/window.h"

#include "download/setupdownload.h"
#include "update/updatecheck.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The updater's one window: every handler, written once for every toolkit. Each handler
// translates between the window and the update check or the setup download, which do the
// work; while either waits for the network or between chunks, the handler keeps the window's
// events flowing so it paints and answers the cancel and close.
class Form1 {
public:
    // What the window is busy with; every guard reads it.
    enum class Phase {
        Idle,
        FetchingRecord, // the version record is on its way
        Asking,         // the update question is up
        Transferring,   // the setup file is on its way
        Closing,        // closed during a fetch or transfer: that work ends, then the window
        Closed,
    };

    Form1(Window &window, const Platform &platform);

    void Form_Load();
    void getKolupInfo();
    void SetVis(const Flag &ok);
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Form_Unload(Flag &cancel);
    void Download();
    // The window is asked to close, by EXIT or its close control: true when it may go now
    // (Form_Unload has run); false when a fetch or transfer ends first and then closes it.
    bool QueryUnload();

    const UpdaterState &state() const { return m_state; }
    Phase phase() const { return m_phase; }

private:
    // Hands the window its turn at most once a millisecond, and shows the progress (once a
    // chunk has come: until then, with progress false, the controls keep what they show) at
    // display rate.
    void letEventsRun(const SetupDownload &download, bool always, bool progress);
    // The status, the closing message and EXIT as the transfer ended; a setup that completed
    // while the window was closing is never kept to be started.
    void showOutcome(SetupDownload::Outcome outcome, const SetupDownload &download, bool closing);
    // Writes the latest values to the progress controls; true when any of them changed.
    bool showProgress(const SetupDownload &download);
    // A progress caption: its value as signed number text, then its unit.
    void setCaption(Control control, double value, std::string_view unit,
                    std::optional<double> &shown, bool &changed);
    // The last check's offer, mirrored into UpdaterState's Info and SetupPath.
    void takeOffer(const Offer &offer);
    // The updater's own file name, which no setup may take.
    std::string programName() const;
    // Ends the work that a close interrupted by closing the window; true when it did.
    bool closeIfAsked();

    Window &m_window;
    Platform m_platform;
    UpdaterState m_state;
    Phase m_phase = Phase::Idle;
    std::int64_t m_lastPump = 0;
    std::int64_t m_lastPaint = 0;
    bool m_progressDirty = false;
    std::optional<double> m_shownPercent;
    std::optional<double> m_shownSpeed;
    // The last check's offer; UpdaterState's Info and SetupPath mirror it.
    std::optional<Offer> m_offer;
    // The last transfer that completed, with the offer it came from: the only file a close may
    // start, and only while the current offer is still that one.
    struct CompletedDownload {
        Offer offer;
        VerifiedFile file;
    };
    std::optional<CompletedDownload> m_completed;
};
