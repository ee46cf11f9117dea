#pragma once

#include <QFrame>
#include <QPixmap>

// A bordered area that can show a picture and hold other controls. Given a picture, it takes
// the picture's size plus its border.
class PictureBox : public QFrame {
    Q_OBJECT
public:
    explicit PictureBox(QWidget *parent = nullptr);

    void setPicture(const QPixmap &picture);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap m_picture;
};
