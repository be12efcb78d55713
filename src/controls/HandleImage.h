#pragma once

#include "GlowState.h"

#include <QPixmap>
#include <QWidget>

// A handle of the frame: an opaque picture fitted into the control, drawn at the control's
// opacity with an inner glow. It reports presses, releases, enter and leave to its owner.
class HandleImage
  : public QWidget
  , public GlowState
{
    Q_OBJECT
public:
    HandleImage(const QPixmap& picture, QWidget* parent = nullptr);

    // The two pictures: a four-way arrow cross (30 x 29) and a NW-SE double arrow (40 x 40),
    // black on white.
    static QPixmap movePicture();
    static QPixmap resizePicture();

signals:
    void pressed(QObject* sender,
                 Qt::MouseButton button,
                 Qt::MouseButtons buttons,
                 Qt::KeyboardModifiers modifiers,
                 QPointF position,
                 QPointF globalPosition);
    // A release of a button pressed on this handle, wherever the pointer is now.
    void released(QObject* sender,
                  Qt::MouseButton button,
                  Qt::MouseButtons buttons,
                  Qt::KeyboardModifiers modifiers,
                  QPointF globalPosition);
    // Pointer moves while a button pressed on this handle is held (wherever the pointer is).
    void dragged(QPointF globalPosition);
    void mouseEntered(QObject* sender);
    void mouseLeft(QObject* sender);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QPixmap picture_;
};
