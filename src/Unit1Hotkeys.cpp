// TForm1: the Ctrl+Alt+letter shortcuts, read from the keyboard's state every 10 ms, whichever
// program has the focus.

#include "Unit1.h"
#include "Unit3.h"

#include "Errors.h"
#include "Log.h"
#include "Unit2.h"
#include "WindowShow.h"
#include "platform.h"

#include <QSocketNotifier>
#include <QTimer>
#ifdef OMBRIX_DESKTOP_PORTAL
#include "PortalShortcuts.h"
#endif

void TForm1::TtimKeyGetTimer(QObject*)
{
    if (syoriChu) {
        return;
    }
    refreshSeeThrough();
    ombrix::Platform& keys = ombrix::platform();
    // A close the settings file refused waits until its key is let go, rather than failing
    // again with its message at every tick.
    if (closeHeldOff_ && !keys.keyDown(kiiCode[4])) {
        closeHeldOff_ = false;
    }
    if (!keys.keyDown(ombrix::vk::Control) || !keys.keyDown(ombrix::vk::Menu)) {
        sleepUntilKeys();
        return;
    }
    for (size_t i = 0; i < kiiCode.size(); ++i) {
        if (keys.keyDown(kiiCode[i])) {
            runShortcut(static_cast<int>(i) + 1);
        }
    }
}

// While Ctrl or Alt is up every tick ends at once: where the platform can tell us of key
// changes, the timer rests until then instead of waking the program a hundred times a second.
void TForm1::sleepUntilKeys()
{
    const int fd = ombrix::platform().keyWakeDescriptor();
    if (fd < 0) {
        return;
    }
    if (!keyWake_ || keyWake_->socket() != fd) {
        delete keyWake_;
        keyWake_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(keyWake_, &QSocketNotifier::activated, this, [this] {
            guarded([&] {
                ombrix::Platform& keys = ombrix::platform();
                // Asking takes in the waiting events, a compositing manager's start or end among
                // them.
                refreshSeeThrough();
                const bool ctrlAlt =
                  keys.keyDown(ombrix::vk::Control) && keys.keyDown(ombrix::vk::Menu);
                if (ctrlAlt || closeHeldOff_) {
                    keyWake_->setEnabled(false);
                    TtimKeyGet->start();
                    TtimKeyGetTimer(TtimKeyGet);
                }
            });
        });
    }
    if (closeHeldOff_) {
        return; // the tick watches for the close key's release
    }
    TtimKeyGet->stop();
    keyWake_->setEnabled(true);
}

void TForm1::runShortcut(int action)
{
    switch (action) {
        case 1:
            clipCopi(this);
            break;
        case 2:
            failseibu(this);
            break;
        case 3:
            showWindow(Form2);
            break;
        case 4:
            btnSaisyoukaClick(this);
            break;
        case 5:
            if (!closeHeldOff_ && !close()) {
                closeHeldOff_ = true;
            }
            break;
        default:
            break;
    }
}

// In a Wayland session the keyboard reaches XWayland only while one of its windows has the focus.
// Where the desktop offers global shortcuts through its portal, the letters are bound there as
// well (the polling above still serves while our windows have the focus); where it does not, the
// About panel says that the shortcuts need the focus.
void TForm1::bindDesktopShortcuts()
{
#ifdef OMBRIX_DESKTOP_PORTAL
    if (!ombrix::platform().underWayland()) {
        return;
    }
    if (!desktopKeys_) {
        desktopKeys_ = new PortalShortcuts(QString(), this);
        // Until the desktop has bound them, the keys need the focus.
        shortcutsNeedFocus_ = true;
        if (!desktopKeys_->offered()) {
            qCInfo(lcKeys,
                   "the desktop offers no global shortcuts: the shortcuts work only "
                   "while a window of ours has the focus");
            return;
        }
        connect(desktopKeys_, &PortalShortcuts::activated, this, [this](int action) {
            guarded([&] {
                if (!syoriChu) {
                    runShortcut(action);
                }
            });
        });
        // Only shortcuts really bound spare the focus: a session the desktop would not create,
        // or a bind that gave back none of them, leaves the hint of the About panel shown.
        connect(desktopKeys_, &PortalShortcuts::bound, this, [this](bool ok, const QString& why) {
            shortcutsNeedFocus_ = !ok;
            if (Form3) {
                Form3->showKeysHint(shortcutsNeedFocus_);
            }
            if (!ok) {
                qCWarning(lcKeys, "the desktop did not bind the shortcuts: %s", qPrintable(why));
            }
        });
    }
    if (!desktopKeys_->offered()) {
        return;
    }
    QList<PortalShortcuts::Shortcut> shortcuts;
    for (size_t i = 0; i < kiiMoji.size(); ++i) {
        if (!kiiMoji[i].isEmpty()) {
            shortcuts.append({ static_cast<int>(i) + 1,
                               kiiMoji[i].at(0),
                               QString::fromUtf8(kShortcutActions[i]) });
        }
    }
    desktopKeys_->bind(shortcuts, QStringLiteral("x11:%1").arg(winId(), 0, 16));
#endif
}
