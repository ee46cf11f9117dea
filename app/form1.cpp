#include "app/form1.h"
#include "ui_form1.h"

#include "app/log.h"
#include "download/progress.h"
#include "update/numbertext.h"
#include "update/updatecheck.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFont>
#include <QScopedValueRollback>

#include <algorithm>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(updaterLog, "kolup.updater", QtWarningMsg)
Q_LOGGING_CATEGORY(timingLog, "kolup.updater.timing", QtWarningMsg)

namespace {

// Asking the window system for input costs about a microsecond, more than a chunk takes to
// arrive on a fast link, so it is asked at most once a millisecond. Painting costs a hundred
// times that, so the progress paints at display rate at most.
constexpr std::int64_t PumpIntervalMs = 1;
constexpr std::int64_t PaintIntervalMs = 16;

// Designer keeps whole point sizes only; these are the classic 8.25 and 13.5 point fonts.
constexpr auto ClassicFamily = "MS Sans Serif";

QFont classicFont(double points, bool bold)
{
    QFont font(QString::fromLatin1(ClassicFamily));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void substituteClassicFont()
{
    if (QFont::substitutes(QString::fromLatin1(ClassicFamily)).isEmpty()) {
        QFont::insertSubstitutions(QString::fromLatin1(ClassicFamily),
                                   {QStringLiteral("Microsoft Sans Serif"),
                                    QStringLiteral("Liberation Sans"),
                                    QStringLiteral("DejaVu Sans")});
    }
}

} // namespace

Form1::Form1(const Platform &platform, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::Form1>()), m_platform(platform)
{
    substituteClassicFont();
    ui->setupUi(this);
    setFont(classicFont(8.25, false));
    for (QLabel *caption : {ui->Label1, ui->Label4, ui->Label6, ui->Label8, ui->Label10,
                            ui->Label12}) {
        caption->setFont(classicFont(8.25, true));
    }
    ui->Command3->setFont(classicFont(13.5, true));
    setFixedSize(size());
    setWindowIcon(QIcon(QStringLiteral(":/kolup/icon.png")));
    ui->Picture1->setPicture(QPixmap(QStringLiteral(":/kolup/banner.png")));

    ui->Picture2->setAutoFillBackground(true);
    ui->Picture2->setBackgroundRole(QPalette::Base);
    ui->Picture2->setForegroundRole(QPalette::Text);
    QPalette fill = ui->Text1->palette();
    fill.setColor(QPalette::Base, QColor(0x3A, 0x6E, 0xA5)); // the classic desktop blue
    ui->Text1->setPalette(fill);
    ui->Text1->setAccessibleName(QStringLiteral("Download progress"));
    // The fill is clipped by the inside of the track: it may be set wider, but never paints over
    // the track's border.
    ui->Text1->setMask(QRegion(QRect(QPoint(0, 0), ui->Picture2->contentsRect().size())));

    connect(ui->Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(ui->Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(ui->Command3, &QPushButton::clicked, this, &Form1::Command3_Click);

    Form_Load();
}

Form1::~Form1() = default;

void Form1::Form_Load()
{
    // Each step stands on its own: a missing engine must not keep the window from its idle look.
    m_state.Engine = EngineComponent::create(m_platform.engineVersionFile);
    getKolupInfo();
    SetVis(FlagFalse);
    ui->Text2->hide();
    ui->Command2->setEnabled(false);
    ui->Command3->hide();
}

void Form1::getKolupInfo()
{
    if (m_state.Engine) {
        ui->Label2->setText(localeNumberText(m_state.Engine->InstalledVersion()));
    }
}

void Form1::SetVis(const Flag &ok)
{
    const bool on = ok != FlagFalse;
    ui->Frame2->setEnabled(on);
    ui->Frame3->setEnabled(on);
    for (QLabel *caption : {ui->Label4, ui->Label6, ui->Label8, ui->Label10, ui->Label12}) {
        caption->setVisible(on);
    }
}

void Form1::Command1_Click()
{
    // The button stays enabled during a transfer, whose event rounds could run this again.
    if (m_checking) {
        return;
    }
    const QScopedValueRollback checking(m_checking, true);

    std::optional<float> installed;
    if (m_state.Engine) {
        installed = m_state.Engine->InstalledVersion();
    }
    m_fetchingRecord = true;
    const UpdateCheck check =
        checkForUpdate(m_platform.web, m_platform.versionUrl, m_platform.programDir, installed,
                       [this] {
                           QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
                           return !m_closeRequested;
                       },
                       m_platform.signingKey);
    m_fetchingRecord = false;
    if (m_closeRequested) {
        // The window was closed while the record was on its way: it closes now.
        close();
        return;
    }
    switch (check.outcome) {
    case UpdateCheck::Outcome::NoConnection:
    case UpdateCheck::Outcome::Invalid:
        qCWarning(updaterLog, "%s", check.why.c_str());
        ui->Label13->setText(check.outcome == UpdateCheck::Outcome::NoConnection
                                 ? QStringLiteral("NO INTERNET CONNECTION FOUND")
                                 : QStringLiteral("INVALID UPDATE INFORMATION"));
        ui->Command3->show();
        return;
    case UpdateCheck::Outcome::NoUpdate:
    case UpdateCheck::Outcome::Offer:
        break;
    }

    m_state.Info = check.info;
    m_state.SetupPath = check.setupPath;
    ui->Label3->setText(localeNumberText(check.info.Version));
    if (check.outcome == UpdateCheck::Outcome::NoUpdate) {
        ui->Label13->setText(QStringLiteral("NO UPDATE AVAILABLE"));
        ui->Command3->show();
        return;
    }

    ui->Label5->setText(signedNumberText(std::floor(double(check.info.SetupSize) / 1024)) +
                        QStringLiteral(" kb"));
    SetVis(FlagTrue);
    const QString question = QStringLiteral("Kolup version ") +
                             signedNumberText(check.info.Version) +
                             QStringLiteral(" is Available") + QLatin1Char('\n') +
                             QStringLiteral(" Do You want to UpDate Now ?");
    // The window may have been closed while the question was up.
    if (m_platform.prompt->askToUpdate(this, QString::fromLatin1(ApplicationTitle), question) &&
        !m_closed) {
        Download();
    }
}

void Form1::Command2_Click()
{
    m_state.CancelRequested = FlagTrue;
}

void Form1::Command3_Click()
{
    close();
}

void Form1::Download()
{
    ui->Label13->setText(QString());
    ui->Command2->setEnabled(true);
    // A new transfer starts clean: an old cancel must not stop it, and what an earlier transfer
    // completed must not be started once this one has begun to replace it.
    m_state.CancelRequested = FlagFalse;
    m_state.SetupDownloaded = FlagFalse;
    m_verifiedSetup.reset();
    m_lastPump = m_lastPaint = std::numeric_limits<std::int64_t>::min() / 2;
    m_progressDirty = false;

    SetupDownload download(
        m_platform.web, *m_platform.clock,
        [this](SetupDownload::Event event, const SetupDownload &transfer) {
            if (event == SetupDownload::Event::Started) {
                ui->Label11->setText(QStringLiteral("DOWNLOADING..."));
            }
            letEventsRun(transfer, event != SetupDownload::Event::Chunk ||
                                       transfer.received() <= ChunkSize);
            if (m_state.CancelRequested == FlagFalse) {
                return true;
            }
            qCDebug(timingLog, "cancel seen at %lld us", qlonglong(monotonicMicroseconds()));
            return false;
        },
        m_platform.signingKey);
    m_transferring = true;
    setProgressUpdates(false);
    QElapsedTimer timer;
    timer.start();
    const SetupDownload::Outcome outcome = download.run(m_state.Info, m_state.SetupPath);
    qCDebug(timingLog, "transfer of %d bytes took %lld us", download.received(),
            qlonglong(timer.nsecsElapsed() / 1000));
    setProgressUpdates(true);
    showProgress(download);
    m_transferring = false;

    switch (outcome) {
    case SetupDownload::Outcome::Cancelled:
        ui->Label11->setText(QStringLiteral("DOWNLOADING CANCEL.."));
        break;
    case SetupDownload::Outcome::Failed:
        qCWarning(updaterLog, "%s", download.failure().c_str());
        ui->Label11->setText(QStringLiteral("DOWNLOAD FAILED.."));
        ui->Command3->show();
        break;
    case SetupDownload::Outcome::Completed:
        m_verifiedSetup = download.verified();
        ui->Text2->setPlainText(
            QStringLiteral("Kolup setup file has been downloaded ") +
            QStringLiteral("and saved as: ") + m_state.SetupPath +
            QStringLiteral(".  Before Intalling New Kolup version ,") +
            QStringLiteral(" Make sure old Version has been removed from system."));
        ui->Text2->show();
        ui->Label11->setText(QStringLiteral("DOWNLOAD COMPLETED.."));
        ui->Command3->show();
        m_state.SetupDownloaded = FlagTrue;
        m_platform.tone->sound(45000, 100);
        break;
    }
    // A close during the transfer was held back until the transfer had cleaned up.
    if (m_closeRequested) {
        close();
    }
}

void Form1::letEventsRun(const SetupDownload &download, bool always)
{
    const std::int64_t now = download.now();
    if (!always && now - m_lastPump < PumpIntervalMs) {
        return;
    }
    m_lastPump = now;
    m_progressDirty = showProgress(download) || m_progressDirty;
    const bool paint = m_progressDirty && (always || now - m_lastPaint >= PaintIntervalMs);
    if (paint) {
        m_lastPaint = now;
        m_progressDirty = false;
        setProgressUpdates(true);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    if (paint) {
        setProgressUpdates(false);
    }
}

bool Form1::showProgress(const SetupDownload &download)
{
    const auto set = [](QLabel *label, const QString &text) {
        if (label->text() == text) {
            return false;
        }
        label->setText(text);
        return true;
    };
    const int width = ui->Text1->width();
    setFillWidth(fillWidth(download.received(), download.total(), trackWidth()));
    bool changed = ui->Text1->width() != width;
    if (download.seconds() > 0) {
        changed = set(ui->Label9, signedNumberText(speedKbPerSecond(download.received(),
                                                                    download.seconds())) +
                                      QStringLiteral(" Kb sec")) ||
                  changed;
    }
    changed = set(ui->Label7, signedNumberText(percentDone(download.received(),
                                                           download.total())) +
                                  QStringLiteral("%")) ||
              changed;
    return changed;
}

void Form1::setProgressUpdates(bool enabled)
{
    // Only the controls that change; turning the whole window back on repaints all of it.
    for (QWidget *control : {static_cast<QWidget *>(ui->Label7),
                             static_cast<QWidget *>(ui->Label9),
                             static_cast<QWidget *>(ui->Picture2)}) {
        control->setUpdatesEnabled(enabled);
    }
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (m_transferring || m_fetchingRecord) {
        // The work in progress sees the request at its next step, ends, and closes the window;
        // a setup the transfer may still have completed is never started.
        m_closeRequested = true;
        if (m_transferring) {
            m_state.CancelRequested = FlagTrue;
            m_handOverRefused = true;
        }
        event->ignore();
        return;
    }
    Flag cancel = FlagFalse;
    Form_Unload(cancel);
    m_closed = true;
    event->accept();
}

void Form1::Form_Unload(Flag &)
{
    if (m_handOverRefused || m_state.SetupDownloaded == FlagFalse || !m_verifiedSetup ||
        m_verifiedSetup->path != m_state.SetupPath) {
        return;
    }
    if (!m_verifiedSetup->unchanged(m_platform.signingKey)) {
        qCWarning(updaterLog, "%s is no longer the file that was downloaded; it is not started",
                  qUtf8Printable(m_state.SetupPath));
        return;
    }
    if (!m_platform.launcher->start(m_state.SetupPath, QDir::rootPath(), this)) {
        qCWarning(updaterLog, "cannot start %s", qUtf8Printable(m_state.SetupPath));
    }
}

void Form1::setFillWidth(float twips)
{
    const int pixels = int(std::lround(std::max(0.0, double(twips)) / TwipsPerPixel));
    ui->Text1->resize(pixels, ui->Text1->height());
}

double Form1::trackWidth() const
{
    return ui->Picture2->width() * TwipsPerPixel;
}
