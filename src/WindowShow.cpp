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

void showWindow(QWidget* window)
{
    if (!window->isVisible()) {
        if (!window->property(kPlacedProperty).toBool()) {
            if (QScreen* primary = QGuiApplication::primaryScreen()) {
                QRectF desktop;
                for (QScreen* s : QGuiApplication::screens()) {
                    desktop |= QRectF(s->geometry());
                }
                window->move(rules::centredTopLeft(
                  QRectF(primary->availableGeometry()), QSizeF(window->size()), desktop));
            }
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
