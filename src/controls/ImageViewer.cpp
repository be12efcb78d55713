#include "ImageViewer.h"

#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace
{
const QColor kFill = QColor::fromRgba(0xFF404040);
const QColor kBorder = QColor::fromRgba(0xFF303030);
constexpr double kRadius = 2.0;
constexpr double kNotchStep = 0.04;
constexpr double kMinScale = 0.01;
constexpr double kMaxScale = 10.0;
constexpr double kSmallestChange = 0.0001;
} // namespace

ImageViewer::ImageViewer(QWidget* parent)
  : QWidget(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void ImageViewer::setBitmap(const QImage& picture)
{
    bitmap_ = picture;
    update();
}

void ImageViewer::setBitmapScale(double scale)
{
    scale_ = scale;
    update();
}

double ImageViewer::placedOffset(double pictureLength, double viewportLength)
{
    if (pictureLength > viewportLength) {
        return 0;
    }
    return std::round((viewportLength - pictureLength) / 2);
}

double ImageViewer::wheeledScale(double scale, int angleDelta)
{
    const double wanted = scale + angleDelta / 120.0 * kNotchStep;
    return std::clamp(wanted, kMinScale, kMaxScale);
}

QPointF ImageViewer::pictureOffset() const
{
    const QSizeF shown = bitmap_.deviceIndependentSize() * scale_;
    const QRect v = viewport();
    if (centred_) {
        return { std::round((v.width() - shown.width()) / 2),
                 std::round((v.height() - shown.height()) / 2) };
    }
    return { placedOffset(shown.width(), v.width()), placedOffset(shown.height(), v.height()) };
}

void ImageViewer::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath panel;
    panel.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kRadius, kRadius);
    p.fillPath(panel, kFill);
    p.setPen(QPen(kBorder, 1));
    p.drawPath(panel);
    if (bitmap_.isNull()) {
        return;
    }
    const QRect v = viewport();
    p.setClipRect(v);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    const QPointF at = QPointF(v.topLeft()) + pictureOffset();
    p.drawImage(QRectF(at, bitmap_.deviceIndependentSize() * scale_), bitmap_);
}

void ImageViewer::wheelEvent(QWheelEvent* event)
{
    const double next = wheeledScale(scale_, event->angleDelta().y());
    if (std::abs(next - scale_) >= kSmallestChange) {
        scale_ = next;
        centred_ = true;
        update();
    }
    event->accept();
}
