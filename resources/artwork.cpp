// Draws the window icon and the banner. Run once when the artwork changes; the images it writes
// are kept in the repository:  kolup-artwork resources/
// PNGs for the Qt window and the desktop, a BMP and an ICO for the Windows resources.
#include <QFont>
#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

const QColor Navy(0x1B, 0x2A, 0x4A);
const QColor Steel(0x3A, 0x6E, 0xA5);
const QColor Amber(0xF2, 0xA5, 0x3A);

// The mark: a circle with a "K" in it and a down arrow under the K's arms.
void drawMark(QPainter &p, const QRectF &box)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Amber);
    p.drawEllipse(box);
    const double s = box.width();
    QPen stroke(Navy, s * 0.13, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(stroke);
    const QPointF o = box.topLeft();
    p.drawLine(o + QPointF(s * 0.34, s * 0.24), o + QPointF(s * 0.34, s * 0.76));
    p.drawLine(o + QPointF(s * 0.68, s * 0.24), o + QPointF(s * 0.40, s * 0.50));
    p.drawLine(o + QPointF(s * 0.40, s * 0.50), o + QPointF(s * 0.68, s * 0.76));
}

QImage banner()
{
    QImage image(388, 90, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 388, 90);
    sky.setColorAt(0, Navy);
    sky.setColorAt(1, Steel);
    p.fillRect(image.rect(), sky);
    // A few faint rising lines: the engine moving forward.
    p.setPen(QPen(QColor(255, 255, 255, 28), 2));
    for (int i = 0; i < 8; ++i) {
        p.drawLine(QPointF(150 + i * 30, 90), QPointF(230 + i * 30, 0));
    }
    drawMark(p, QRectF(16, 13, 64, 64));
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(38);
    title.setBold(true);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(96, 10, 280, 46), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("KOLUP"));
    QFont subtitle(QStringLiteral("DejaVu Sans"));
    subtitle.setPixelSize(15);
    p.setFont(subtitle);
    p.setPen(Amber);
    p.drawText(QRectF(98, 54, 280, 24), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Engine Updater"));
    return image;
}

QImage icon()
{
    QImage image(48, 48, QImage::Format_RGB888);
    image.fill(Navy);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawMark(p, QRectF(4, 4, 40, 40));
    return image;
}

// The icon as Windows' resource compiler takes it: one 48 x 48 image of 24 bits a pixel (a
// DIB, bottom row first) with an all-clear AND mask, since the icon is opaque.
bool saveIco(const QImage &image, const QString &path)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    const int size = rgb.width();
    const int rowBytes = (size * 3 + 3) / 4 * 4;
    const int maskRowBytes = (size + 31) / 32 * 4;
    const quint32 bitmapBytes = quint32(40 + rowBytes * size + maskRowBytes * size);
    QByteArray ico;
    QDataStream out(&ico, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(1);                      // ICONDIR: one icon
    out << quint8(size) << quint8(size) << quint8(0) << quint8(0);      // 48 x 48, no palette
    out << quint16(1) << quint16(24) << bitmapBytes << quint32(6 + 16); // planes, bits, where
    out << quint32(40) << qint32(size) << qint32(size * 2) << quint16(1) << quint16(24)
        << quint32(0) << quint32(0) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    for (int y = size - 1; y >= 0; --y) {
        QByteArray row(rowBytes, '\0');
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = rgb.pixel(x, y);
            row[3 * x] = char(qBlue(pixel));
            row[3 * x + 1] = char(qGreen(pixel));
            row[3 * x + 2] = char(qRed(pixel));
        }
        out.writeRawData(row.constData(), rowBytes);
    }
    const QByteArray mask(maskRowBytes * size, '\0');
    out.writeRawData(mask.constData(), int(mask.size()));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(ico) == ico.size();
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const bool ok = banner().save(dir + QStringLiteral("/banner.png")) &&
                    icon().save(dir + QStringLiteral("/icon.png")) &&
                    banner().save(dir + QStringLiteral("/banner.bmp")) &&
                    saveIco(icon(), dir + QStringLiteral("/icon.ico"));
    if (!ok) {
        std::fprintf(stderr, "kolup-artwork: cannot write the images into %s\n", argv[1]);
    }
    return ok ? 0 : 1;
}
