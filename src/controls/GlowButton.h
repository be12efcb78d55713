#pragma once

#include "GlowState.h"

#include <QAbstractButton>

// A small push button of the frame: drawn at its own opacity, with an inner glow, and telling
// its owner when the mouse enters or leaves it.
class GlowButton
  : public QAbstractButton
  , public GlowState
{
    Q_OBJECT
public:
    explicit GlowButton(const QString& text, QWidget* parent = nullptr);

signals:
    void mouseEntered(QObject* sender);
    void mouseLeft(QObject* sender);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
};
