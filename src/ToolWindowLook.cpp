#include "ToolWindowLook.h"

#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QString>
#include <QWidget>

#include <algorithm>

QString darkStyleSheet()
{
    // The resources live in a static library: make sure they are linked in and registered.
    Q_INIT_RESOURCE(ombrix);
    QFile f(QStringLiteral(":/dark.qss"));
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}

void fitTextWidth(QWidget* widget, const QString& text, int width)
{
    QFont font = widget->font();
    font.setStretch(QFont::Unstretched);
    const int natural = QFontMetrics(font).horizontalAdvance(text);
    if (natural > width && width > 0) {
        font.setStretch(std::max(50, width * 100 / natural));
    }
    widget->setFont(font);
}
