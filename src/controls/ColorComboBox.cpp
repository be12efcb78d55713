#include "ColorComboBox.h"

#include "NamedColours.h"

#include <QPainter>
#include <QPixmap>

namespace
{
QIcon swatch(uint32_t argb)
{
    QPixmap pm(16, 12);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.fillRect(pm.rect(), QColor::fromRgba(argb));
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.drawRect(pm.rect().adjusted(0, 0, -1, -1));
    return QIcon(pm);
}
} // namespace

ColorComboBox::ColorComboBox(QWidget* parent)
  : QComboBox(parent)
{
    const NamedColour* colours = namedColours();
    for (int i = 0; i < kNamedColourCount; ++i) {
        addItem(swatch(colours[i].argb),
                QString::fromLatin1(colours[i].name),
                QVariant::fromValue(colours[i].argb));
    }
    setMaxVisibleItems(16);
    setCurrentIndex(kNamedColourCount - 1); // "Null", as laid out
    connect(
      this, &QComboBox::currentIndexChanged, this, [this](int) { emit colorChanged(color()); });
}

void ColorComboBox::setColor(uint32_t argb)
{
    const int index = firstNamedColour(argb);
    if (index >= 0) {
        setCurrentIndex(index);
    }
}

uint32_t ColorComboBox::color() const
{
    const int index = currentIndex();
    return index < 0 ? 0u : namedColours()[index].argb;
}
