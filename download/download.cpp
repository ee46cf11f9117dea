// The setup download: chunk by chunk into a side file, with progress, cancel, and the hand-over.

#include "app/form1.h"
#include "app/numbertext.h"
#include "download/progress.h"
#include "update/updateinfo.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Asking the window system for input costs about a microsecond, more than a chunk takes to
// arrive on a fast link, so it is asked at most once a millisecond. Painting costs about a
// hundred times that, so the window paints at display rate at most.
constexpr auto PumpInterval = milliseconds(1);
constexpr auto PaintInterval = milliseconds(16);

std::filesystem::path fsPath(const QString &path)
{
    return std::filesystem::path(path.toStdU16String());
}

} // namespace

// One run of Download: the values the window shows and the pacing of its event processing.
class Form1::Transfer {
public:
    explicit Transfer(Form1 &form) : m_form(form)
    {
        m_form.m_transferring = true;
        m_form.setUpdatesEnabled(false);
    }

    ~Transfer()
    {
        m_form.setUpdatesEnabled(true);
        m_form.m_transferring = false;
    }

    void run();

    // Writes the latest values to the window; called whenever anything could look at them.
    void showProgress()
    {
        const std::int32_t total = m_form.m_state.Info.SetupSize;
        m_form.setFillWidth(fillWidth(m_received, total, m_form.trackWidth()));
        if (m_seconds > 0) {
            m_form.ui.Label9->setText(signedNumberText(speedKbPerSecond(m_received, m_seconds)) +
                                      QStringLiteral(" Kb sec"));
        }
        m_form.ui.Label7->setText(signedNumberText(percentDone(m_received, total)) +
                                  QStringLiteral("%"));
    }

    // Handles what is queued (a click on "Cancel Download" among it), then returns.
    void processPendingEvents(bool always)
    {
        const auto now = steady_clock::now();
        if (!always && now - m_lastPump < PumpInterval) {
            return;
        }
        m_lastPump = now;
        showProgress();
        const bool paint = now - m_lastPaint >= PaintInterval;
        if (paint) {
            m_lastPaint = now;
            m_form.setUpdatesEnabled(true);
        }
        QCoreApplication::processEvents();
        if (paint) {
            m_form.setUpdatesEnabled(false);
        }
    }

private:
    Form1 &m_form;
    std::int32_t m_received = 0;
    float m_seconds = 0;
    steady_clock::time_point m_lastPump{};
    steady_clock::time_point m_lastPaint{};
};

void Form1::Command2_Click()
{
    m_state.CancelRequested = FlagTrue;
}

void Form1::Download()
{
    ui.Label13->setText(QString());
    ui.Command2->setEnabled(true);
    // A new transfer starts clean: an old cancel must not stop it, and what an earlier transfer
    // completed must not be started once this one has begun to replace it.
    m_state.CancelRequested = FlagFalse;
    m_state.SetupDownloaded = FlagFalse;
    m_verifiedSetup.reset();
    Transfer(*this).run();
    // A close during the transfer was held back until the transfer had cleaned up.
    if (m_closeAfterTransfer) {
        close();
    }
}

void Form1::Transfer::run()
{
    Ui::Form1 &ui = m_form.ui;
    UpdaterState &state = m_form.m_state;
    const Platform &platform = m_form.m_platform;
    const std::int32_t size = state.Info.SetupSize;
    const QString partPath = state.SetupPath + QStringLiteral(".part");
    const auto fail = [&] {
        ui.Label11->setText(QStringLiteral("DOWNLOAD FAILED.."));
        ui.Command3->show();
    };

    // Nothing is written at the setup's own name until all of it has arrived.
    QFile file(partPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail();
        return;
    }
    const std::int32_t chunks = size / ChunkSize;
    const std::int32_t rest = size % ChunkSize;
    std::array<std::byte, ChunkSize> buffer;
    buffer.fill(std::byte{' '});
    WebResource address = platform.web.open(setupAddress(state.Info));
    if (!address.isOpen()) {
        fail();
        return;
    }
    const std::int64_t start = platform.clock->milliseconds();
    ui.Label11->setText(QStringLiteral("DOWNLOADING..."));

    bool intact = true;
    const auto take = [&](std::span<std::byte> piece) {
        const std::size_t count = address.read(piece);
        m_received += std::int32_t(count);
        // Only what arrived is written: the buffer's tail still holds the previous chunk.
        const auto *bytes = reinterpret_cast<const char *>(piece.data());
        const bool written = file.write(bytes, qint64(count)) == qint64(count);
        intact = intact && written && count == piece.size();
    };

    for (std::int32_t chunk = 1; chunk <= chunks && intact; ++chunk) {
        take(buffer);
        m_seconds = elapsedSeconds(platform.clock->milliseconds() - start);
        processPendingEvents(chunk == 1);
        if (state.CancelRequested != FlagFalse) {
            file.close();
            address.close();
            showProgress();
            ui.Label11->setText(QStringLiteral("DOWNLOADING CANCEL.."));
            return;
        }
    }
    if (intact && rest > 0) {
        std::array<std::byte, ChunkSize> last;
        last.fill(std::byte{' '});
        take(std::span(last).first(std::size_t(rest)));
    }
    if (chunks == 0) {
        // No whole chunk was timed; time the piece, so the speed is a number.
        m_seconds = elapsedSeconds(platform.clock->milliseconds() - start);
    }
    processPendingEvents(true);

    // The resource must end exactly here: more bytes, or a broken end, mean another file.
    std::byte extra{};
    intact = intact && address.read(std::span(&extra, 1)) == 0 && address.result().completed();
    address.close();
    file.close();
    intact = intact && file.error() == QFileDevice::NoError;
    std::error_code renamed;
    if (intact) {
        std::filesystem::rename(fsPath(partPath), fsPath(state.SetupPath), renamed);
    }
    showProgress();
    if (!intact || renamed) {
        fail();
        return;
    }
    const QFileInfo setup(state.SetupPath);
    m_form.m_verifiedSetup = VerifiedSetup{state.SetupPath, setup.size(), setup.lastModified()};
    ui.Text2->setPlainText(QStringLiteral("Kolup setup file has been downloaded ") +
                           QStringLiteral("and saved as: ") + state.SetupPath +
                           QStringLiteral(".  Before Intalling New Kolup version ,") +
                           QStringLiteral(" Make sure old Version has been removed from system."));
    ui.Text2->show();
    ui.Label11->setText(QStringLiteral("DOWNLOAD COMPLETED.."));
    ui.Command3->show();
    state.SetupDownloaded = FlagTrue;
    platform.tone->sound(45000, 100);
}
