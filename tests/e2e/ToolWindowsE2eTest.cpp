// The program's three small windows (the corner zoom window, the About panel, the shortcut key
// settings) under several window managers: each has a title bar and can be moved and closed,
// and the window manager offers neither to resize nor to maximise it, nor to minimise it where
// the window manager goes by what the program asks for.

#include "Desktop.h"
#include "E2e.h"

#include <QTest>

using namespace e2e;

namespace
{

// The window manager's _NET_WM_ALLOWED_ACTIONS for a window, without their common prefix
// ("CLOSE", "MOVE"...); empty until the window manager has set them.
QStringList allowedActions(const QString& window)
{
    const Result r = run("xprop", { "-id", window, "_NET_WM_ALLOWED_ACTIONS" });
    const QString list = QString::fromUtf8(r.out).section('=', 1);
    QStringList actions;
    for (const QString& atom : list.split(',', Qt::SkipEmptyParts)) {
        actions << atom.trimmed().remove("_NET_WM_ACTION_");
    }
    return actions;
}

} // namespace

class ToolWindowsE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void closeOnly_data();
    void closeOnly();
};

void ToolWindowsE2eTest::initTestCase()
{
    const QStringList missing = notInstalled({ "Xvfb",
                                               "dbus-daemon",
                                               "openbox",
                                               "icewm",
                                               "xfwm4",
                                               "fluxbox",
                                               "xprop",
                                               "xwininfo",
                                               "xdotool" });
    QVERIFY2(missing.isEmpty(), qPrintable("not installed: " + missing.join(", ")));
}

void ToolWindowsE2eTest::closeOnly_data()
{
    QTest::addColumn<QString>("windowManager");
    // Whether the window manager takes minimising away when the program asks it to.
    QTest::addColumn<bool>("minimiseFollowsHints");
    // openbox keeps minimising for every window whatever its Motif hints say, save torn-off
    // menus and tool bars (the window types MENU and TOOLBAR), which fluxbox shows without a
    // close box: there the windows can be minimised.
    QTest::addRow("openbox") << "openbox" << false;
    QTest::addRow("icewm") << "icewm" << true;
    QTest::addRow("xfwm4") << "xfwm4" << true;
    QTest::addRow("fluxbox") << "fluxbox" << true;
}

void ToolWindowsE2eTest::closeOnly()
{
    QFETCH(QString, windowManager);
    QFETCH(bool, minimiseFollowsHints);
    DesktopKind kind;
    kind.windowManager = windowManager;
    Desktop desktop;
    QVERIFY2(desktop.start(kind), qPrintable(desktop.error()));
    Ombrix ombrix;
    QVERIFY2(ombrix.start(), "the program's frame did not appear");

    // Opened as a user does: "W", "A", then the About panel's shortcut key button.
    const QRect frame = ombrix.geometry();
    clickControl(frame, kButtonW);
    const auto zoom = findWindow("^Ombrix Zoom Window$");
    QVERIFY2(zoom, "the zoom window did not open");
    clickControl(frame, kButtonA);
    const auto about = findWindow("^About Ombrix$");
    QVERIFY2(about, "the About panel did not open");
    // Where the window manager has put it: its client area, whatever its frame.
    QRect aboutArea;
    QVERIFY(waitFor([&] {
        aboutArea = windowGeometry(*about).value_or(QRect());
        return aboutArea.width() == 602;
    }));
    click(aboutArea.x() + 427 + 67, aboutArea.y() + 35 + 12);
    const auto keys = findWindow("ショートカットキー設定$");
    QVERIFY2(keys, "the shortcut key window did not open");

    QStringList failures;
    const QList<QPair<QString, QString>> windows{ { "zoom window", *zoom },
                                                  { "About panel", *about },
                                                  { "shortcut key window", *keys } };
    for (const auto& [name, id] : windows) {
        QStringList actions;
        if (!waitFor([&] { return !(actions = allowedActions(id)).isEmpty(); })) {
            failures << name + ": the window manager set no allowed actions";
            continue;
        }
        QStringList wrong;
        for (const char* wanted : { "CLOSE", "MOVE" }) {
            if (!actions.contains(wanted)) {
                wrong << QString("no %1").arg(wanted);
            }
        }
        QStringList unwanted{ "RESIZE", "MAXIMIZE_HORZ", "MAXIMIZE_VERT" };
        if (minimiseFollowsHints) {
            unwanted << "MINIMIZE";
        }
        for (const QString& action : unwanted) {
            if (actions.contains(action)) {
                wrong << action;
            }
        }
        // A title bar, which holds the close box: the window manager's frame is taller above
        // the window than its border is beside it.
        const QMargins extents = frameExtents(id);
        if (extents.top() <= extents.left()) {
            wrong << QString("no title bar (frame %1, %2, %3, %4)")
                       .arg(extents.left())
                       .arg(extents.top())
                       .arg(extents.right())
                       .arg(extents.bottom());
        }
        if (!wrong.isEmpty()) {
            failures
              << QString("%1: %2 (allowed: %3)").arg(name, wrong.join(", "), actions.join(", "));
        }
    }
    for (const QString& f : failures) {
        qWarning("%s: %s", qPrintable(windowManager), qPrintable(f));
    }
    QVERIFY2(failures.isEmpty(),
             qPrintable(QString("%1: %2 windows are wrong (listed above); the first: %3")
                          .arg(windowManager)
                          .arg(failures.size())
                          .arg(failures.value(0))));
    QVERIFY2(ombrix.running(), "the program ended");
    QVERIFY2(desktop.stoppedEarly().isEmpty(),
             qPrintable("the desktop's programs ended: " + desktop.stoppedEarly()));
}

QTEST_GUILESS_MAIN(ToolWindowsE2eTest)
#include "ToolWindowsE2eTest.moc"
