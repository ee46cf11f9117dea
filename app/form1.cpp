#include "app/form1.h"

#include "app/numbertext.h"
#include "os/files.h"
#include "download/progress.h"
#include "update/log.h"
#include "update/updatecheck.h"

#include <cmath>
#include <limits>

namespace {

// Asking the window system for input costs about a microsecond, more than a chunk takes to
// arrive on a fast link, so it is asked at most once a millisecond. Painting costs a hundred
// times that, so the progress paints at display rate at most.
constexpr std::int64_t PumpIntervalMs = 1;
constexpr std::int64_t PaintIntervalMs = 16;

} // namespace

Form1::Form1(Window &window, const Platform &platform) : m_window(window), m_platform(platform) {}

void Form1::Form_Load()
{
    // Each step stands on its own: a missing engine must not keep the window from its idle look.
    m_state.Engine = EngineComponent::create(m_platform.engineVersionFile);
    getKolupInfo();
    SetVis(FlagFalse);
    m_window.showControl(Control::Text2, false);
    m_window.enableControl(Control::Command2, false);
    m_window.showControl(Control::Command3, false);
}

void Form1::getKolupInfo()
{
    if (m_state.Engine) {
        m_window.setCaption(Control::Label2, localeNumberText(m_state.Engine->InstalledVersion(),
                                                              m_window.decimalSeparator()));
    }
}

void Form1::SetVis(const Flag &ok)
{
    const bool on = ok != FlagFalse;
    m_window.enableControl(Control::Frame2, on);
    m_window.enableControl(Control::Frame3, on);
    for (const Control caption :
         {Control::Label4, Control::Label6, Control::Label8, Control::Label10, Control::Label12}) {
        m_window.showControl(caption, on);
    }
}

void Form1::Command1_Click()
{
    // The button stays enabled during a transfer, whose event rounds could run this again.
    if (m_phase != Phase::Idle) {
        return;
    }
    const auto installed =
        m_state.Engine ? std::optional(m_state.Engine->InstalledVersion()) : std::nullopt;
    m_phase = Phase::FetchingRecord;
    const UpdateCheck check = checkForUpdate(
        m_platform.web,
        {m_platform.versionUrl, m_platform.setupFolder.path, programName(), m_platform.signingKeys},
        installed, [this] {
            m_window.processEvents();
            return m_phase != Phase::Closing;
        });
    if (closeIfAsked()) {
        return;
    }
    m_phase = Phase::Idle;
    switch (check.outcome) {
    case UpdateCheck::Outcome::NoConnection:
    case UpdateCheck::Outcome::Invalid:
        logMessage(LogKind::Failure, check.why);
        m_window.setCaption(Control::Label13, check.outcome == UpdateCheck::Outcome::NoConnection
                                                  ? "NO INTERNET CONNECTION FOUND"
                                                  : "INVALID UPDATE INFORMATION");
        m_window.showControl(Control::Command3, true);
        return;
    case UpdateCheck::Outcome::NoUpdate:
    case UpdateCheck::Outcome::Offer:
        break;
    }

    takeOffer(*check.offer);
    const UpdateInfo &info = check.offer->record;
    m_window.setCaption(Control::Label3,
                        localeNumberText(info.Version, m_window.decimalSeparator()));
    if (check.outcome == UpdateCheck::Outcome::NoUpdate) {
        m_window.setCaption(Control::Label13, "NO UPDATE AVAILABLE");
        m_window.showControl(Control::Command3, true);
        return;
    }

    m_window.setCaption(Control::Label5,
                        signedNumberText(std::floor(double(info.SetupSize) / 1024)) + " kb");
    SetVis(FlagTrue);
    const std::string question = "Kolup version " + signedNumberText(info.Version) +
                                 " is Available" + '\n' + " Do You want to UpDate Now ?";
    m_phase = Phase::Asking;
    const bool accepted = m_window.askOkCancel(ApplicationTitle, question);
    if (m_phase == Phase::Closed) {
        return; // the window was closed while the question was up
    }
    m_phase = Phase::Idle;
    if (accepted) {
        Download();
    }
}

void Form1::takeOffer(const Offer &offer)
{
    m_offer = offer;
    m_state.Info = offer.record;
    m_state.SetupPath = offer.setupPath;
}

std::string Form1::programName() const
{
    // As names from the network are written: in the system's encoding.
    return files::systemText(m_platform.programFile.filename()).value_or(std::string());
}

void Form1::Command2_Click()
{
    m_state.CancelRequested = FlagTrue;
}

void Form1::Command3_Click()
{
    m_window.closeWindow();
}

bool Form1::QueryUnload()
{
    switch (m_phase) {
    case Phase::Transferring:
        // The transfer stops at its next step; whatever it completes is not started.
        m_state.CancelRequested = FlagTrue;
        m_completed.reset();
        m_phase = Phase::Closing;
        return false;
    case Phase::FetchingRecord:
        m_phase = Phase::Closing;
        return false;
    case Phase::Closing:
        return false;
    case Phase::Closed:
        return true;
    case Phase::Idle:
    case Phase::Asking:
        break;
    }
    Flag cancel = FlagFalse;
    Form_Unload(cancel);
    m_phase = Phase::Closed;
    return true;
}

bool Form1::closeIfAsked()
{
    if (m_phase != Phase::Closing) {
        return false;
    }
    m_phase = Phase::Idle;
    m_window.closeWindow();
    return true;
}

void Form1::Download()
{
    m_window.setCaption(Control::Label13, "");
    m_window.enableControl(Control::Command2, true);
    // A new transfer starts clean: an old cancel must not stop it.
    m_state.CancelRequested = FlagFalse;
    m_lastPump = m_lastPaint = std::numeric_limits<std::int64_t>::min() / 2;
    m_progressDirty = false;
    bool stepped = false; // the progress controls change only once a chunk has come

    SetupDownload::Options options;
    options.keepOthers = !m_platform.setupFolder.ours;
    options.program = files::identityAt(m_platform.programFile);
    options.reconnectPause = m_platform.reconnectPause;
    SetupDownload download(
        m_platform.web, *m_platform.clock,
        [this, &stepped](SetupDownload::Event event, const SetupDownload &transfer) {
            if (event == SetupDownload::Event::Started) {
                m_window.setCaption(Control::Label11, "DOWNLOADING...");
            }
            const bool step =
                event == SetupDownload::Event::Chunk || event == SetupDownload::Event::LastPiece;
            // The first chunk shows at once, a kept part's share with it, and so does the first
            // of a file sent again from its start.
            const bool first = step && (!stepped || transfer.received() <= ChunkSize);
            stepped = stepped || step;
            letEventsRun(transfer, !step || first, stepped);
            if (m_state.CancelRequested == FlagFalse && m_phase != Phase::Closing) {
                return true;
            }
            logMoment("cancel seen");
            return false;
        },
        options);
    if (m_platform.setupFolder.fallback) {
        // Made on first use, not at every start.
        std::error_code error;
        std::filesystem::create_directories(m_platform.setupFolder.path, error);
    }
    m_phase = Phase::Transferring;
    const std::int64_t began = monotonicMicroseconds();
    const SetupDownload::Outcome outcome = download.run(*m_offer);
    logMessage(LogKind::Timing, "transfer of " + std::to_string(download.received()) +
                                    " bytes took " +
                                    std::to_string(monotonicMicroseconds() - began) + " us");
    if (stepped) {
        showProgress(download);
    }
    const bool closing = m_phase == Phase::Closing;
    m_phase = Phase::Idle;
    showOutcome(outcome, download, closing);
    // A close during the transfer was held back until the transfer had cleaned up.
    if (closing) {
        m_window.closeWindow();
    }
}

void Form1::showOutcome(SetupDownload::Outcome outcome, const SetupDownload &download, bool closing)
{
    switch (outcome) {
    case SetupDownload::Outcome::Cancelled:
        m_window.setCaption(Control::Label11, "DOWNLOADING CANCEL..");
        m_window.showTaskbarProgress(Window::TaskbarProgress::None, 0, 0);
        break;
    case SetupDownload::Outcome::Failed:
        logMessage(LogKind::Failure, download.failure()->text);
        m_window.setCaption(Control::Label11, "DOWNLOAD FAILED..");
        m_window.showControl(Control::Command3, true);
        m_window.showTaskbarProgress(Window::TaskbarProgress::Error, download.received(),
                                     download.total());
        break;
    case SetupDownload::Outcome::Completed:
        // In a folder of the user's the setup may have taken another free name.
        m_state.SetupPath = download.verified()->path;
        if (!closing) {
            m_completed = CompletedDownload{*m_offer, *download.verified()};
        }
        m_window.setCaption(Control::Text2,
                            "Kolup setup file has been downloaded and saved as: " +
                                files::displayText(m_state.SetupPath) +
                                ".  Before Intalling New Kolup version , Make sure old Version "
                                "has been removed from system.");
        m_window.showControl(Control::Text2, true);
        m_window.setCaption(Control::Label11, "DOWNLOAD COMPLETED..");
        m_window.showControl(Control::Command3, true);
        m_state.SetupDownloaded = FlagTrue;
        m_window.showTaskbarProgress(Window::TaskbarProgress::None, 0, 0);
        m_window.flashIfInBackground();
        m_platform.tone->sound(45000, 100);
        break;
    }
}

void Form1::letEventsRun(const SetupDownload &download, bool always, bool progress)
{
    // Nothing looks at the progress between the window's turns, and a chunk costs less than
    // the text of one number: the values are worked out only when the window paints, here for
    // both windows, from the transfer's exact counts at that moment.
    m_progressDirty = m_progressDirty || progress;
    const std::int64_t now = download.now();
    if (!always && now - m_lastPump < PumpIntervalMs) {
        return;
    }
    m_lastPump = now;
    if (m_progressDirty && (always || now - m_lastPaint >= PaintIntervalMs)) {
        m_lastPaint = now;
        m_progressDirty = false;
        if (showProgress(download)) {
            m_window.showTaskbarProgress(Window::TaskbarProgress::Normal, download.received(),
                                         download.total());
        }
    }
    m_window.processEvents();
}

void Form1::setCaption(Control control, double value, std::string_view unit,
                       std::optional<double> &shown, bool &changed)
{
    // Written out only when it changed: the percentage changes a hundred times a download.
    if (shown != value) {
        m_window.setCaption(control, signedNumberText(value) + std::string(unit));
        shown = value;
        changed = true;
    }
}

bool Form1::showProgress(const SetupDownload &download)
{
    bool changed = m_window.setFillWidth(
        fillWidth(download.received(), download.total(), m_window.trackWidth()));
    if (download.seconds() > 0) {
        // This transfer's bytes over its time: a kept part came at another speed.
        setCaption(Control::Label9, speedKbPerSecond(download.fetched(), download.seconds()),
                   " Kb sec", m_shownSpeed, changed);
    }
    setCaption(Control::Label7, percentDone(download.received(), download.total()), "%",
               m_shownPercent, changed);
    return changed;
}

void Form1::Form_Unload(Flag &)
{
    // A later check that offered something else makes the completed setup not the one to
    // install; the same offer checked again does not, whatever name the file took.
    if (m_state.SetupDownloaded == FlagFalse || !m_completed || m_offer != m_completed->offer) {
        return;
    }
    const std::filesystem::path &path = m_completed->file.path;
    const std::string setup = files::displayText(path);
    // Held open from the last check until the start: the file started is the file checked.
    const files::File checked = m_completed->file.openIfUnchanged();
    if (!checked.isOpen()) {
        logMessage(LogKind::Failure,
                   setup + " is no longer the file that was downloaded; it is not started");
        return;
    }
    if (!m_platform.launcher->start(path, files::systemRoot(), m_window.handle())) {
        logMessage(LogKind::Failure, "cannot start " + setup);
    }
}
