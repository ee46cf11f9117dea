#include "app/qt/form1window.h"
#include "ui_form1.h"

#include "app/controls.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>

#include <algorithm>
#include <cmath>

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
                                    QStringLiteral("Liberation Sans"),
                                    QStringLiteral("DejaVu Sans")});
    }
}

} // namespace

Form1Window::Form1Window(const Platform &platform, UpdatePrompt *prompt, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::Form1>()), m_prompt(prompt ? prompt : &m_messageBox),
      m_form(*this, platform)
{
    substituteClassicFont();
    ui->setupUi(this);
    QWidget::setFont(classicFont(8.25, false));
    // The controls by the names form1.ui gives them, which are the table's.
    for (const ControlSpec &spec : Controls) {
        QWidget *widget = findChild<QWidget *>(QString::fromLatin1(spec.name));
        if (!widget) {
            qFatal("form1.ui has no control %s", spec.name.data());
        }
        m_controls[std::size_t(spec.control)] = widget;
        if (spec.font != ControlFont::Dialog) {
            widget->setFont(spec.font == ControlFont::Exit ? classicFont(13.5, true)
                                                           : classicFont(8.25, true));
        }
    }
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

    connect(ui->Command1, &QPushButton::clicked, this, [this] { m_form.Command1_Click(); });
    connect(ui->Command2, &QPushButton::clicked, this, [this] { m_form.Command2_Click(); });
    connect(ui->Command3, &QPushButton::clicked, this, [this] { m_form.Command3_Click(); });

    m_form.Form_Load();
}

Form1Window::~Form1Window() = default;

void Form1Window::setCaption(Control which, std::string_view text)
{
    QWidget *widget = control(which);
    const QString caption = qtText(text);
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        label->setText(caption);
    } else if (auto *button = qobject_cast<QPushButton *>(widget)) {
        button->setText(caption);
    } else if (auto *frame = qobject_cast<QGroupBox *>(widget)) {
        frame->setTitle(caption);
    } else if (auto *box = qobject_cast<QPlainTextEdit *>(widget)) {
        box->setPlainText(caption);
    } else if (auto *line = qobject_cast<QLineEdit *>(widget)) {
        line->setText(caption);
    }
}

void Form1Window::showControl(Control which, bool visible)
{
    control(which)->setVisible(visible);
}

void Form1Window::enableControl(Control which, bool enabled)
{
    control(which)->setEnabled(enabled);
}

bool Form1Window::setFillWidth(float twips)
{
    // Text1's width is given in twips, fractions included; the screen shows whole pixels.
    const int pixels = int(std::lround(std::max(0.0, double(twips)) / TwipsPerPixel));
    if (pixels == ui->Text1->width()) {
        return false;
    }
    ui->Text1->resize(pixels, ui->Text1->height());
    return true;
}

double Form1Window::trackWidth() const
{
    return ui->Picture2->width() * TwipsPerPixel;
}

bool Form1Window::askOkCancel(std::string_view title, std::string_view text)
{
    return m_prompt->askToUpdate(this, qtText(title), qtText(text));
}

void Form1Window::processEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}

void Form1Window::showTaskbarProgress(TaskbarProgress, std::int64_t, std::int64_t)
{
    // Linux desktops share no way to show a program's progress on its taskbar entry.
}

void Form1Window::flashIfInBackground()
{
    // The window manager's urgency hint: a no-op while the window is active.
    QApplication::alert(this);
}

void Form1Window::closeWindow()
{
    QWidget::close();
}

std::string Form1Window::decimalSeparator() const
{
    return QLocale().decimalPoint().toStdString();
}

std::uintptr_t Form1Window::handle() const
{
    return std::uintptr_t(internalWinId());
}

void Form1Window::closeEvent(QCloseEvent *event)
{
    if (m_form.QueryUnload()) {
        event->accept();
    } else {
        event->ignore();
    }
}
