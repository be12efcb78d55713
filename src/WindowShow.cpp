#include "WindowShow.h"

#include "Rules.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>

#include <QWidget>
#include <algorithm>

namespace
{
const char* const kPlacedProperty = "ombrixPlaced";
}

QPoint centredOnPrimaryWorkArea(const QSize& size)
{
    QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary) {
        return {};
    }
    QRectF desktop;
    for (QScreen* s : QGuiApplication::screens()) {
        desktop |= QRectF(s->geometry());
    }
    return rules::centredTopLeft(QRectF(primary->availableGeometry()), QSizeF(size), desktop);
}

void showWindow(QWidget* window)
{
    if (!window->isVisible()) {
        if (!window->property(kPlacedProperty).toBool()) {
            window->move(centredOnPrimaryWorkArea(window->size()));
            window->setProperty(kPlacedProperty, true);
        }
        window->show();
    } else if (window->isMinimized()) {
        window->showNormal();
    }
    window->raise();
    window->activateWindow();
}

void makeToolWindow(QWidget* window, const char* title, int clientWidth, int clientHeight)
{
    window->setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    window->setWindowTitle(QString::fromUtf8(title));
    window->setFixedSize(clientWidth, clientHeight);
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
