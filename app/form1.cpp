#include "app/form1.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFont>

#include "app/numbertext.h"

namespace {

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
                                    QStringLiteral("DejaVu Sans")});
    }
}

} // namespace

Form1::Form1(const Platform &platform, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_platform(platform)
{
    substituteClassicFont();
    ui.setupUi(this);
    setFont(classicFont(8.25, false));
    for (QLabel *caption : {ui.Label1, ui.Label4, ui.Label6, ui.Label8, ui.Label10, ui.Label12}) {
        caption->setFont(classicFont(8.25, true));
    }
    ui.Command3->setFont(classicFont(13.5, true));
    setFixedSize(size());
    setWindowIcon(QIcon(QStringLiteral(":/kolup/icon.png")));
    ui.Picture1->setPicture(QPixmap(QStringLiteral(":/kolup/banner.png")));

    ui.Picture2->setAutoFillBackground(true);
    ui.Picture2->setBackgroundRole(QPalette::Base);
    ui.Picture2->setForegroundRole(QPalette::Text);
    QPalette fill = ui.Text1->palette();
    fill.setColor(QPalette::Base, QColor(0x3A, 0x6E, 0xA5)); // the classic desktop blue
    ui.Text1->setPalette(fill);
    ui.Text1->setAccessibleName(QStringLiteral("Download progress"));

    connect(ui.Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(ui.Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(ui.Command3, &QPushButton::clicked, this, &Form1::Command3_Click);

    Form_Load();
}

Form1::~Form1() = default;

void Form1::Form_Load()
{
    // Each step stands on its own: a missing engine must not keep the window from its idle look.
    m_state.Engine = EngineComponent::create(m_platform.engineVersionFile);
    getKolupInfo();
    SetVis(FlagFalse);
    ui.Text2->hide();
    ui.Command2->setEnabled(false);
    ui.Command3->hide();
}

void Form1::getKolupInfo()
{
    if (m_state.Engine) {
        ui.Label2->setText(localeNumberText(m_state.Engine->InstalledVersion()));
    }
}

void Form1::SetVis(const Flag &ok)
{
    const bool on = ok != FlagFalse;
    ui.Frame2->setEnabled(on);
    ui.Frame3->setEnabled(on);
    for (QLabel *caption : {ui.Label4, ui.Label6, ui.Label8, ui.Label10, ui.Label12}) {
        caption->setVisible(on);
    }
}

void Form1::Command3_Click()
{
    close();
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (m_transferring) {
        // The transfer sees the request at its next chunk, cleans up, and closes the window.
        m_state.CancelRequested = FlagTrue;
        m_closeAfterTransfer = true;
        event->ignore();
        return;
    }
    Flag cancel = FlagFalse;
    Form_Unload(cancel);
    event->accept();
}

void Form1::Form_Unload(Flag &)
{
    if (m_state.SetupDownloaded == FlagFalse || !setupStillVerified()) {
        return;
    }
    m_platform.launcher->start(m_state.SetupPath, QDir::rootPath(), this);
}

bool Form1::setupStillVerified() const
{
    if (!m_verifiedSetup || m_verifiedSetup->path != m_state.SetupPath) {
        return false;
    }
    const QFileInfo file(m_state.SetupPath);
    return file.isFile() && file.size() == m_verifiedSetup->size &&
           file.lastModified() == m_verifiedSetup->modified;
}

void Form1::setFillWidth(float twips)
{
    const int pixels = int(std::lround(std::max(0.0, double(twips)) / TwipsPerPixel));
    ui.Text1->resize(pixels, ui.Text1->height());
}

double Form1::trackWidth() const
{
    return ui.Picture2->width() * TwipsPerPixel;
}
