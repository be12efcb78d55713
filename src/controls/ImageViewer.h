#pragma once

#include <QImage>
#include <QPointF>
#include <QWidget>

// A magnifying picture viewer: a dark rounded panel with a viewport inset by 2 pixels, the
// picture drawn magnified with smooth scaling. The wheel changes the magnification.
class ImageViewer : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kInset = 2;

    explicit ImageViewer(QWidget* parent = nullptr);

    const QImage& bitmap() const { return bitmap_; }
    // Replaces the picture; the magnification and position stay as they are.
    void setBitmap(const QImage& picture);

    double bitmapScale() const { return scale_; }
    void setBitmapScale(double scale);

    QRect viewport() const { return rect().adjusted(kInset, kInset, -kInset, -kInset); }
    // Where the magnified picture's top-left corner lies, relative to the viewport.
    QPointF pictureOffset() const;

    // The placement rule for one axis: a magnified picture larger than the viewport starts at
    // its start, a smaller one is centred (rounded to a whole unit).
    static double placedOffset(double pictureLength, double viewportLength);
    // The wheel rule: 0.04 a notch (delta / 120), kept within 0.01 and 10.
    static double wheeledScale(double scale, int angleDelta);

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    QImage bitmap_;
    double scale_ = 4.0;
    bool centred_ = false; // after a wheel change the picture is centred, and stays so
};
