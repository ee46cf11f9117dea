#include "app/qt/picturebox.h"

#include <QPainter>

PictureBox::PictureBox(QWidget *parent) : QFrame(parent) {}

void PictureBox::setPicture(const QPixmap &picture)
{
    m_picture = picture;
    const int border = 2 * frameWidth();
    resize(picture.deviceIndependentSize().toSize() + QSize(border, border));
    update();
}

void PictureBox::paintEvent(QPaintEvent *event)
{
    if (!m_picture.isNull()) {
        QPainter painter(this);
        painter.drawPixmap(contentsRect().topLeft(), m_picture);
    }
    QFrame::paintEvent(event);
}
