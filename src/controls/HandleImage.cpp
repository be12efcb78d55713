#include "HandleImage.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace
{
// An arrow head pointing along (dx, dy) with its tip at `tip`.
QPolygonF arrowHead(QPointF tip, QPointF direction, double length, double halfWidth)
{
    const QPointF back = tip - direction * length;
    const QPointF normal(-direction.y(), direction.x());
    return QPolygonF({ tip, back + normal * halfWidth, back - normal * halfWidth });
}
} // namespace

HandleImage::HandleImage(const QPixmap& picture, QWidget* parent)
  : QWidget(parent)
  , GlowState(this)
  , picture_(picture)
{
    setAttribute(Qt::WA_Hover, true);
}

QPixmap HandleImage::movePicture()
{
    QPixmap pm(30, 29);
    pm.fill(Qt::white);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 2, Qt::SolidLine, Qt::FlatCap));
    const QPointF c(15, 14.5);
    p.drawLine(QPointF(5, c.y()), QPointF(25, c.y()));
    p.drawLine(QPointF(c.x(), 5), QPointF(c.x(), 24));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawPolygon(arrowHead({ 2, c.y() }, { -1, 0 }, 6, 4));
    p.drawPolygon(arrowHead({ 28, c.y() }, { 1, 0 }, 6, 4));
    p.drawPolygon(arrowHead({ c.x(), 1.5 }, { 0, -1 }, 6, 4));
    p.drawPolygon(arrowHead({ c.x(), 27.5 }, { 0, 1 }, 6, 4));
    return pm;
}

QPixmap HandleImage::resizePicture()
{
    QPixmap pm(40, 40);
    pm.fill(Qt::white);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 3, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(10, 10), QPointF(30, 30));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    const QPointF d(0.70710678, 0.70710678);
    p.drawPolygon(arrowHead({ 5, 5 }, -d, 11, 7));
    p.drawPolygon(arrowHead({ 35, 35 }, d, 11, 7));
    return pm;
}

void HandleImage::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setOpacity(paintOpacity());
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawPixmap(rect(), picture_);
    paintGlow(p, rect());
}

void HandleImage::mousePressEvent(QMouseEvent* event)
{
    emit pressed(this,
                 event->button(),
                 event->buttons(),
                 event->modifiers(),
                 event->position(),
                 event->globalPosition());
}

void HandleImage::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The second press of a double click is a press like any other.
    mousePressEvent(event);
}

void HandleImage::mouseReleaseEvent(QMouseEvent* event)
{
    emit released(
      this, event->button(), event->buttons(), event->modifiers(), event->globalPosition());
}

void HandleImage::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() != Qt::NoButton) {
        emit dragged(event->globalPosition());
    }
}

void HandleImage::enterEvent(QEnterEvent*)
{
    emit mouseEntered(this);
}

void HandleImage::leaveEvent(QEvent*)
{
    emit mouseLeft(this);
}
