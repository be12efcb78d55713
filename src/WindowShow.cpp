#include "WindowShow.h"

#include "Rules.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

#include <QWidget>

#if QT_CONFIG(xcb)
// Last: Xlib's macros (None, Bool, Status...) would clash with Qt's headers.
#include <X11/Xlib.h>
#endif

namespace
{
const char* const kPlacedProperty = "ombrixPlaced";

#if QT_CONFIG(xcb)

// The window manager's Motif hints for a window that can be moved and closed, nothing more: a
// border, a title bar with its menu and close box. The toolkit's own hints always offer the
// resize function and resize handles besides the buttons asked for, and a window manager that
// goes by them (icewm) then offers to resize a window of a fixed size.
void hintCloseOnly(QWidget* window)
{
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 ? x11->display() : nullptr;
    // Not winId(): that would make a native window again while the widget gives up its own.
    const WId id = window->internalWinId();
    if (!display || id == 0) {
        return;
    }
    constexpr long kFunctionsGiven = 1L << 0;
    constexpr long kDecorationsGiven = 1L << 1;
    constexpr long kMove = 1L << 2;
    constexpr long kClose = 1L << 5;
    constexpr long kBorder = 1L << 1;
    constexpr long kTitle = 1L << 3;
    constexpr long kMenu = 1L << 4;
    long hints[5] = {
        kFunctionsGiven | kDecorationsGiven, kMove | kClose, kBorder | kTitle | kMenu, 0, 0
    };
    const Atom motif = XInternAtom(display, "_MOTIF_WM_HINTS", False);
    XChangeProperty(display,
                    static_cast<Window>(id),
                    motif,
                    motif,
                    32,
                    PropModeReplace,
                    reinterpret_cast<unsigned char*>(hints),
                    5);
    XFlush(display);
}

// Puts those hints on the window each time the toolkit makes its native window (and its own
// hints with it), before the window manager sees the window.
class CloseOnlyHints final : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::WinIdChange) {
            hintCloseOnly(static_cast<QWidget*>(watched));
        }
        return false;
    }
};

#endif

} // namespace

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
    // What else a window manager offers for these windows is its own choice. openbox, for one,
    // keeps its minimise action (_NET_WM_ACTION_MINIMIZE) and button whatever the hints say: it
    // takes them away only from the window types MENU and TOOLBAR (torn-off menus and tool
    // bars), and under fluxbox those types lose the close box; so the windows stay utility
    // windows, which openbox lets the user minimise.
#if QT_CONFIG(xcb)
    window->installEventFilter(new CloseOnlyHints(window));
    hintCloseOnly(window);
#endif
}
