// The real Ombrix on many kinds of desktop, each on an X server of its own: scaled, with
// several monitors, a screen that changes size, 16-bit colour, other window managers, none,
// compositing managers, a 4K screen. On each, every copy must hold exactly the framed pixels
// of the desktop, and the frame must stay where and as it was. And with a clipboard manager,
// the copy must outlive the program.

#include "Desktop.h"
#include "E2e.h"
#include "Pattern.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QtMath>

#include <algorithm>
#include <utility>

using namespace e2e;

namespace
{

struct Row {
    DesktopKind desktop;
    QString scaleVariable; // QT_SCALE_FACTOR for the program; empty: not set
    double scale = 1;      // device pixels per logical pixel that the program is to use
    QList<QSize> resizes;  // sizes the screen takes in turn while the program runs
};

// The picture a copy must give: the contract of the grab, in one place. The frame's client
// window stands at device pixels `frame`, the program scales by `s`. Its logical size is
// W x H = round(Wd / s) x round(Hd / s); the picture is round((W - 4) s) x round((H - 4) s),
// and its pixel (x, y) is the desktop's pixel (X + round(2 s) + x, Y + round(3 s) + y), or
// black where that pixel lies off the root or off every monitor.
struct Expected {
    QSize size;
    QPoint origin; // the desktop pixel of the picture's (0, 0)
    QSize root;
    QList<QRect> monitors;

    uint32_t pixel(int x, int y) const
    {
        const QPoint p = origin + QPoint(x, y);
        if (!QRect(QPoint(0, 0), root).contains(p)) {
            return 0;
        }
        for (const QRect& m : monitors) {
            if (m.contains(p)) {
                return testdesk::patternRgb(p.x(), p.y());
            }
        }
        return 0;
    }
};

Expected expectedPicture(const QRect& frame, double s, QSize root, const QList<QRect>& monitors)
{
    const int w = qRound(frame.width() / s);
    const int h = qRound(frame.height() / s);
    return { QSize(qRound((w - 4) * s), qRound((h - 4) * s)),
             frame.topLeft() + QPoint(qRound(2 * s), qRound(3 * s)),
             root,
             monitors };
}

QString rectText(const QRect& r)
{
    return QString("%1x%2%3%4%5%6")
      .arg(r.width())
      .arg(r.height())
      .arg(r.x() < 0 ? "" : "+")
      .arg(r.x())
      .arg(r.y() < 0 ? "" : "+")
      .arg(r.y());
}

QString rgbText(uint32_t rgb)
{
    return QString("%1").arg(rgb & 0xFFFFFF, 6, 16, QChar('0'));
}

// How many bits of each colour channel the screen keeps: a picture of it holds no more.
struct ChannelBits {
    int red = 8, green = 8, blue = 8;

    static ChannelBits ofDepth(int depth)
    {
        return depth == 16 ? ChannelBits{ 5, 6, 5 } : ChannelBits{};
    }
};

// Empty when the picture is the expected one (at the screen's precision); otherwise what
// differs, the first differing pixel in words.
QString comparePictures(const QImage& picture, const Expected& e, ChannelBits bits)
{
    QStringList problems;
    if (picture.size() != e.size) {
        problems << QString("the picture is %1 x %2, expected %3 x %4")
                      .arg(picture.width())
                      .arg(picture.height())
                      .arg(e.size.width())
                      .arg(e.size.height());
    }
    const QImage img = picture.convertToFormat(QImage::Format_ARGB32);
    const int w = std::min(img.width(), e.size.width());
    const int h = std::min(img.height(), e.size.height());
    qint64 differences = 0;
    QString first;
    QRect where;
    for (int y = 0; y < h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const uint32_t want = e.pixel(x, y);
            const bool same = qAlpha(line[x]) == 0xFF &&
                              testdesk::sameAtBits(line[x], want, bits.red, bits.green, bits.blue);
            if (!same) {
                where |= QRect(x, y, 1, 1);
            }
            if (!same && differences++ == 0) {
                const QPoint at = e.origin + QPoint(x, y);
                first =
                  QString("pixel (%1, %2) [desktop (%3, %4)] is %5%6, expected %7")
                    .arg(x)
                    .arg(y)
                    .arg(at.x())
                    .arg(at.y())
                    .arg(rgbText(line[x]))
                    .arg(qAlpha(line[x]) == 0xFF ? QString()
                                                 : QString(" (alpha %1)").arg(qAlpha(line[x])))
                    .arg(rgbText(want));
            }
        }
    }
    if (differences > 0) {
        // The picture is kept for a look: where the differences lie tells most of the story.
        const QString kept =
          QDir(QDir::tempPath())
            .filePath(
              QString("ombrix-e2e-differs-%1.png").arg(QDateTime::currentMSecsSinceEpoch()));
        problems << QString("%1 of %2 compared pixels differ, within %3 of the picture; first: "
                            "%4; the picture is kept as %5")
                      .arg(differences)
                      .arg(qint64(w) * h)
                      .arg(rectText(where))
                      .arg(first)
                      .arg(img.save(kept) ? kept : QString("(could not be kept)"));
    }
    return problems.join("; ");
}

struct FrameState {
    QRect geometry;
    bool viewable = false;
    bool operator==(const FrameState&) const = default;
    QString text() const { return rectText(geometry) + (viewable ? "" : " (not on the screen)"); }
};

FrameState frameState(const QString& window)
{
    const WindowState s = windowState(window).value_or(WindowState{});
    // mutter keeps a minimised window mapped (for its previews), only marked so.
    return { s.geometry, s.viewable && !minimised(window) };
}

// The text of the error box on the screen, for the report.
QString errorText()
{
    return messageText("^エラー$", 2000).value_or("(its text could not be read)").simplified();
}

// The names of the windows on the screen, for a report.
QString visibleWindowNames()
{
    QStringList names;
    const Result r = run("xdotool", { "search", "--onlyvisible", "--name", "." });
    for (const QString& id : QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts)) {
        names << "\"" + QString::fromUtf8(run("xdotool", { "getwindowname", id }).out).trimmed() +
                   "\"";
    }
    return names.isEmpty() ? QString("none") : names.join(", ");
}

enum class Trigger {
    Button,   // "C"
    Shortcut, // Ctrl+Alt+C
};

// One row's run: the steps of a user, with every difference from the contract noted, so that
// one run tells all that a desktop gets wrong.
class Session
{
public:
    Session(Desktop& desktop, Ombrix& ombrix, double scale)
      : desktop_(desktop)
      , ombrix_(ombrix)
      , scale_(scale)
      , bits_(ChannelBits::ofDepth(desktop.kind().depth))
    {
    }

    QStringList failures;

    FrameState state() const { return frameState(ombrix_.windowId()); }

    // A control of the frame, in device pixels on the desktop.
    QPoint at(QPoint control) const { return controlAt(state().geometry, control, scale_); }

    // False once the program has ended: the steps after that are not tried (the end of the
    // row reports how it ended).
    bool alive() const { return ombrix_.running(); }

    // A frame that an earlier failure left off the screen is brought back, so that the steps
    // after it still tell what they check.
    bool onScreen(const QString& step)
    {
        if (state().viewable) {
            return true;
        }
        if (!restore()) {
            failures << step + ": the frame is off the screen and does not come back";
            return false;
        }
        return true;
    }

    bool moveTo(const QString& step, QPoint to)
    {
        if (!alive() || !onScreen(step)) {
            return false;
        }
        const QRect root(QPoint(0, 0), desktop_.rootSize());
        const QSize size = state().geometry.size();
        if (desktop_.keepsWindowsOnScreen() && !root.contains(QRect(to, size))) {
            // The manager keeps every window wholly on the screen: the step goes on where it
            // puts the frame, at the screen's edge.
            const QPoint kept(std::clamp(to.x(), 0, root.width() - size.width()),
                              std::clamp(to.y(), 0, root.height() - size.height()));
            run("xdotool",
                { "windowmove",
                  ombrix_.windowId(),
                  QString::number(to.x()),
                  QString::number(to.y()) });
            if (!waitFor([&] { return state().geometry.topLeft() == kept; })) {
                failures << QString(
                              "%1: asked to (%2, %3), the frame is at %4, not kept at (%5, %6)")
                              .arg(step)
                              .arg(to.x())
                              .arg(to.y())
                              .arg(state().text())
                              .arg(kept.x())
                              .arg(kept.y());
                return false;
            }
            return true;
        }
        if (!ombrix_.moveTo(to.x(), to.y())) {
            failures << QString("%1: could not move the frame to (%2, %3); it is at %4")
                          .arg(step)
                          .arg(to.x())
                          .arg(to.y())
                          .arg(state().text());
            return false;
        }
        return true;
    }

    // Copies, reads the clipboard as another program does, and checks the picture and that the
    // frame is where it was (for `holdMs` more if asked).
    void copy(const QString& step, Trigger trigger, int holdMs = 0)
    {
        if (!alive() || !onScreen(step)) {
            return;
        }
        const FrameState before = state();
        // A copy that leaves the clipboard as it was cannot pass for one that worked.
        setClipboardText(step);
        if (run("xclip", { "-selection", "clipboard", "-o" }).out != step.toUtf8()) {
            failures << step + ": the clipboard did not take a text before the copy";
            return;
        }
        std::optional<QString> box;
        if (trigger == Trigger::Button) {
            // As a user sees the button before clicking it: a frame just resized (maximised)
            // takes its clicks only once it has taken in its new size.
            if (!waitFor([&] { return drawn(); })) {
                failures << step + ": the copy button is not drawn where the frame is, " +
                              before.text();
                return;
            }
            click(controlAt(before.geometry, kButtonC, scale_));
            // Looked for every few milliseconds: xdotool's own --sync looks twice a second.
            waitFor([&] { return (box = visibleWindow("^(情報|エラー)$")).has_value(); }, 8000);
        } else {
            box = pressShortcut("c", "^(情報|エラー)$", 8000);
        }
        if (!box) {
            failures << QString("%1: no confirmation appeared after the copy; the frame is at %2; "
                                "windows on the screen: %3")
                          .arg(step, state().text(), visibleWindowNames());
            return;
        }
        const QString title =
          QString::fromUtf8(run("xdotool", { "getwindowname", *box }).out).trimmed();
        if (title != "情報") {
            failures << step + ": an error box: " + errorText();
            dismiss(*box);
            return;
        }
        const auto picture = clipboardPng();
        FrameState after;
        const bool back = waitFor([&] { return (after = state()) == before; }, 2000);
        if (!back) {
            failures << QString("%1: after the copy the frame is at %2, was %3")
                          .arg(step, after.text(), before.text());
        }
        if (!dismiss(*box)) {
            failures << step + ": the confirmation did not go away";
        }
        if (back) {
            checkHolds(step, before, holdMs);
        }
        if (!picture) {
            failures << step + ": no image/png on the clipboard";
            return;
        }
        const Expected e =
          expectedPicture(before.geometry, scale_, desktop_.rootSize(), desktop_.monitors());
        const QString diff = comparePictures(*picture, e, bits_);
        if (!diff.isEmpty()) {
            failures << QString("%1 (frame %2): %3").arg(step, rectText(before.geometry), diff);
        }
    }

    // The frame stays as it is for at least `ms`.
    void checkHolds(const QString& step, const FrameState& expected, int ms)
    {
        QDeadlineTimer deadline(ms);
        QElapsedTimer clock;
        clock.start();
        while (!deadline.hasExpired()) {
            const FrameState now = state();
            if (!(now == expected)) {
                failures << QString("%1: %2 ms after the copy the frame went to %3, was %4")
                              .arg(step)
                              .arg(clock.elapsed())
                              .arg(now.text(), expected.text());
                return;
            }
            QThread::msleep(20);
        }
    }

    // Whether the frame is drawn on the screen, and done moving: most of the copy button
    // differs from the desktop there, and shows the same a moment later (a compositing manager
    // may still be playing its animation of a window coming back). Until then a click may find
    // no button to take it.
    bool drawn() const
    {
        const QRect button = buttonArea();
        const QImage first = desktop_.screenPixels(button);
        if (!covered(button, first)) {
            return false;
        }
        QThread::msleep(60);
        return desktop_.screenPixels(button) == first;
    }

    // The copy button on the screen, as much of it as lies on the root.
    QRect buttonArea() const
    {
        const QRect frame = state().geometry;
        return QRect(frame.x() + qRound(40 * scale_),
                     frame.y() + qRound(6 * scale_),
                     qRound(22 * scale_),
                     qRound(22 * scale_))
          .intersected(QRect(QPoint(0, 0), desktop_.rootSize()));
    }

    // Whether most of `shot`, the screen at `area`, differs from the desktop.
    bool covered(const QRect& area, const QImage& shot) const
    {
        if (shot.isNull() || shot.size() != area.size()) {
            return false;
        }
        int differs = 0;
        for (int y = 0; y < shot.height(); ++y) {
            for (int x = 0; x < shot.width(); ++x) {
                const uint32_t desk = testdesk::patternRgb(area.x() + x, area.y() + y);
                differs +=
                  !testdesk::sameAtBits(shot.pixel(x, y), desk, bits_.red, bits_.green, bits_.blue);
            }
        }
        return 2 * differs > shot.width() * shot.height();
    }

    // Back from the task bar: as a task bar's click asks the window manager, or, with none,
    // as the frame's own mapping.
    bool restore()
    {
        if (desktop_.hasWindowManager()) {
            run("xdotool", { "windowactivate", ombrix_.windowId() }, 5000);
        } else {
            run("xdotool", { "windowmap", ombrix_.windowId() }, 5000);
        }
        return waitFor([&] { return state().viewable; }, 5000);
    }

    // Any error box on the screen is a failure; it is read, noted and dismissed.
    void noErrorBox(const QString& step)
    {
        if (const auto box = visibleWindow("^エラー$")) {
            failures << step + ": an error box: " + errorText();
            dismiss(*box);
        }
    }

private:
    Desktop& desktop_;
    Ombrix& ombrix_;
    double scale_;
    ChannelBits bits_;
};

} // namespace

Q_DECLARE_METATYPE(Row)

class DesktopsE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void copiesExactlyOnEveryDesktop_data();
    void copiesExactlyOnEveryDesktop();
    void clipboardManagerKeepsTheCopy_data();
    void clipboardManagerKeepsTheCopy();
};

void DesktopsE2eTest::initTestCase()
{
    // Each row starts an X server of its own: no display of the caller's is needed, only the
    // programs (scripts/deps installs them).
    const QStringList missing = notInstalled(
      { "Xvfb",        "Xvnc",         "dbus-daemon", "openbox",  "icewm",    "fluxbox",
        "xfwm4",       "mutter",       "kwin_x11",    "muffin",   "marco",    "i3",
        "bspwm",       "herbstluftwm", "xmonad",      "awesome",  "xcompmgr", "picom",
        "xrandr",      "xrdb",         "xprop",       "xwininfo", "xdotool",  "xclip",
        "xfsettingsd", "xfce4-clipman" });
    QVERIFY2(missing.isEmpty(), qPrintable("not installed: " + missing.join(", ")));
}

void DesktopsE2eTest::copiesExactlyOnEveryDesktop_data()
{
    QTest::addColumn<Row>("row");
    const auto openbox = [](QSize size = { 1920, 1080 }) {
        DesktopKind d;
        d.size = size;
        return d;
    };
    const auto withWm = [](const QString& wm) {
        DesktopKind d;
        d.windowManager = wm;
        return d;
    };
    const auto composited = [](const QStringList& compositor) {
        DesktopKind d;
        d.compositor = compositor;
        return d;
    };
    const auto monitors = [](const QList<QRect>& list) {
        DesktopKind d;
        d.size = { 3200, 1200 };
        d.monitors = list;
        return d;
    };
    const QRect large(0, 0, 1920, 1080), smallRight(1920, 0, 1280, 1024);

    QTest::addRow("openbox, QT_SCALE_FACTOR=2") << Row{ openbox(), "2", 2, {} };
    QTest::addRow("openbox, QT_SCALE_FACTOR=1.5") << Row{ openbox(), "1.5", 1.5, {} };
    DesktopKind dpi = openbox();
    dpi.xftDpi = 192;
    QTest::addRow("openbox, Xft.dpi 192") << Row{ dpi, {}, 2, {} };
    QTest::addRow("two monitors, the larger listed first")
      << Row{ monitors({ large, smallRight }), {}, 1, {} };
    QTest::addRow("two monitors, the smaller listed first")
      << Row{ monitors({ smallRight, large }), {}, 1, {} };
    QTest::addRow("two monitors, the smaller on the left")
      << Row{ monitors({ QRect(0, 0, 1280, 1024), QRect(1280, 0, 1920, 1080) }), {}, 1, {} };
    DesktopKind vnc = openbox();
    vnc.server = DesktopKind::Server::Xvnc;
    QTest::addRow("Xvnc, the screen grows to 3200x1200 and shrinks back")
      << Row{ vnc, {}, 1, { QSize(3200, 1200), QSize(1920, 1080) } };
    DesktopKind depth16 = openbox();
    depth16.depth = 16;
    QTest::addRow("depth 16") << Row{ depth16, {}, 1, {} };
    DesktopKind depth30 = openbox();
    depth30.depth = 30;
    QTest::addRow("depth 30") << Row{ depth30, {}, 1, {} };
    QTest::addRow("icewm") << Row{ withWm("icewm"), {}, 1, {} };
    QTest::addRow("fluxbox") << Row{ withWm("fluxbox"), {}, 1, {} };
    QTest::addRow("xfwm4") << Row{ withWm("xfwm4"), {}, 1, {} };
    QTest::addRow("no window manager") << Row{ withWm(QString()), {}, 1, {} };
    QTest::addRow("openbox + xcompmgr") << Row{ composited({ "xcompmgr" }), {}, 1, {} };
    QTest::addRow("openbox + xcompmgr -f (fading)")
      << Row{ composited({ "xcompmgr", "-f" }), {}, 1, {} };
    QTest::addRow("openbox + picom, xrender, fading")
      << Row{ composited({ "picom", "--backend", "xrender", "--fading" }), {}, 1, {} };
    QTest::addRow("openbox + picom, xrender")
      << Row{ composited({ "picom", "--backend", "xrender" }), {}, 1, {} };
    DesktopKind xfce = withWm("xfwm4");
    xfce.windowManagerComposites = true;
    QTest::addRow("xfwm4 with its compositor") << Row{ xfce, {}, 1, {} };
    QTest::addRow("openbox, 3840x2160") << Row{ openbox({ 3840, 2160 }), {}, 1, {} };
    // The desktops' own window managers, compositing as they do (mutter, KWin, muffin and
    // marco), the tiling ones and awesome, whose title bars stand above its windows.
    QTest::addRow("GNOME on Xorg (mutter)") << Row{ withWm("mutter"), {}, 1, {} };
    QTest::addRow("KDE Plasma on X11 (kwin_x11)") << Row{ withWm("kwin_x11"), {}, 1, {} };
    QTest::addRow("Cinnamon (muffin)") << Row{ withWm("muffin"), {}, 1, {} };
    QTest::addRow("MATE (marco, compositing)") << Row{ withWm("marco"), {}, 1, {} };
    QTest::addRow("i3") << Row{ withWm("i3"), {}, 1, {} };
    QTest::addRow("bspwm") << Row{ withWm("bspwm"), {}, 1, {} };
    QTest::addRow("herbstluftwm") << Row{ withWm("herbstluftwm"), {}, 1, {} };
    QTest::addRow("xmonad") << Row{ withWm("xmonad"), {}, 1, {} };
    QTest::addRow("awesome") << Row{ withWm("awesome"), {}, 1, {} };
}

void DesktopsE2eTest::copiesExactlyOnEveryDesktop()
{
    QFETCH(Row, row);
    const QString name = QString::fromUtf8(QTest::currentDataTag());
    QElapsedTimer clock;
    clock.start();

    Desktop desktop;
    QVERIFY2(desktop.start(row.desktop), qPrintable(name + ": " + desktop.error()));
    Ombrix ombrix;
    StartOptions options;
    if (!row.scaleVariable.isEmpty()) {
        options.env << qMakePair(QString("QT_SCALE_FACTOR"), row.scaleVariable);
    }
    QVERIFY2(ombrix.start(options), qPrintable(name + ": the program's frame did not appear"));
    Session s(desktop, ombrix, row.scale);
    QVERIFY2(waitFor([&] { return s.drawn(); }),
             qPrintable(name + ": the frame's copy button is not drawn on the screen"));
    // A tiling manager floats the frame as a dialog; every other keeps it an ordinary window
    // (its task bar entry, its minimise and maximise as before).
    const QByteArray type =
      run("xprop", { "-id", ombrix.windowId(), "_NET_WM_WINDOW_TYPE" }).out.simplified();
    const bool dialog = type.contains("_NET_WM_WINDOW_TYPE_DIALOG");
    if (dialog != desktop.tiles()) {
        s.failures << QString("the frame's window type is %1").arg(QString::fromUtf8(type));
    }
    const auto frameSize = [&] { return s.state().geometry.size(); };
    const QSize root = desktop.rootSize();
    const QList<QRect> monitors = desktop.monitors();

    // 1. Where it starts, by the button.
    s.copy("where it starts", Trigger::Button);

    // 2. Over the edges, by the shortcut: what lies off the root or off every monitor comes
    // out black. The bottom edge is that of the monitor below the frame (a window manager
    // keeps a window from leaving every monitor).
    QSize size = frameSize();
    if (s.moveTo("right edge", { root.width() - size.width() / 2, 200 })) {
        s.copy("right edge", Trigger::Shortcut);
    }
    QRect below = monitors.value(0);
    for (const QRect& m : monitors) {
        if (m.contains(300, m.y())) {
            below = m;
        }
    }
    if (s.moveTo("bottom edge", { 300, below.bottom() + 1 - size.height() / 2 })) {
        s.copy("bottom edge", Trigger::Shortcut);
    }
    if (s.moveTo("at (-40, -30)", { -40, -30 })) {
        s.copy("at (-40, -30)", Trigger::Shortcut);
    }
    if (monitors.size() > 1) {
        // Over the seam of the two monitors and below the lower one, where no monitor shows.
        QRect left = monitors[0], right = monitors[1];
        if (left.x() > right.x()) {
            std::swap(left, right);
        }
        const int bottom = std::max(left.bottom(), right.bottom()) + 1;
        const QPoint seam(right.x() - size.width() / 2, bottom - size.height() / 2);
        if (s.moveTo("across the monitors", seam)) {
            s.copy("across the monitors", Trigger::Shortcut);
        }
    }

    // 3. Dragged by its handles, as a hand does: the pressed point stays under the pointer, the
    // bottom-right corner follows it (to a device pixel at a scale that does not divide it).
    if (s.moveTo("dragged", monitors.value(0).topLeft() + QPoint(300, 200))) {
        const int slack = qCeil(row.scale) - 1;
        const auto near = [slack](QPoint a, QPoint b) {
            return qAbs(a.x() - b.x()) <= slack && qAbs(a.y() - b.y()) <= slack;
        };
        const FrameState from = s.state();
        const QPoint grip = s.at(kMoveHandle);
        drag(grip, grip + QPoint(100, 50));
        FrameState moved;
        if (!waitFor(
              [&] {
                  moved = s.state();
                  return near(moved.geometry.topLeft(),
                              from.geometry.topLeft() + QPoint(100, 50)) &&
                         moved.geometry.size() == from.geometry.size();
              },
              3000)) {
            s.failures << QString("dragged by the move handle by (+100, +50): the frame went from "
                                  "%1 to %2")
                            .arg(from.text(), moved.text());
        }
        // The resize handle, 30 x 30, stands 4 pixels in from the bottom-right corner.
        const QPoint corner = s.at(QPoint(qRound(moved.geometry.width() / row.scale) - 19,
                                          qRound(moved.geometry.height() / row.scale) - 19));
        drag(corner, corner + QPoint(60, 40));
        FrameState resized;
        if (!waitFor(
              [&] {
                  resized = s.state();
                  return resized.geometry.topLeft() == moved.geometry.topLeft() &&
                         near(QPoint(resized.geometry.width(), resized.geometry.height()),
                              QPoint(moved.geometry.width() + 60, moved.geometry.height() + 40));
              },
              3000)) {
            s.failures << QString("dragged by the resize handle by (+60, +40): the frame went "
                                  "from %1 to %2")
                            .arg(moved.text(), resized.text());
        }
        s.copy("after the drags", Trigger::Shortcut);
    }

    // 4. Maximised over a monitor (the second one listed, where there are two), and back.
    const QRect target = monitors.value(1, monitors.value(0));
    if (s.moveTo("maximised", target.topLeft() + QPoint(100, 100))) {
        const FrameState normal = s.state();
        ctrlClick(s.at(kMoveHandle));
        FrameState maximised;
        if (!waitFor([&] { return (maximised = s.state()).geometry == target; })) {
            s.failures << QString("maximised: the frame is at %1, not over the monitor %2")
                            .arg(maximised.text(), rectText(target));
        }
        s.copy("maximised", Trigger::Button, 300);
        if (s.alive()) {
            ctrlClick(s.at(kMoveHandle));
            FrameState restored;
            if (!waitFor([&] { return (restored = s.state()) == normal; })) {
                s.failures << QString("restored from maximised: the frame is at %1, was %2")
                                .arg(restored.text(), normal.text());
            }
        }
    }

    // 5. The screen changes size under the running program.
    for (const QSize& to : row.resizes) {
        if (!s.alive()) {
            break;
        }
        const QSize from = desktop.rootSize();
        const QString step = QString("screen %1x%2").arg(to.width()).arg(to.height());
        QVERIFY2(desktop.resize(to), qPrintable(name + ": " + desktop.error()));
        // Where the frame is now, whatever the change did to it.
        s.copy(step + ", where the frame is", Trigger::Shortcut);
        if (to.width() > from.width()) {
            if (s.moveTo(step + ", on the new part", { from.width() + 300, 300 })) {
                s.copy(step + ", on the new part", Trigger::Shortcut);
            }
            const QPoint oldCorner(from.width() - size.width() / 2,
                                   from.height() - size.height() / 2);
            if (s.moveTo(step + ", across the old corner", oldCorner)) {
                s.copy(step + ", across the old corner", Trigger::Shortcut);
            }
        } else if (s.moveTo(step + ", right edge", { to.width() - size.width() / 2, 300 })) {
            s.copy(step + ", right edge", Trigger::Shortcut);
        }
        s.noErrorBox(step);
    }

    // 6. Minimised with "S", back as from the task bar, copied twice: it stays on the screen.
    // Last, because a frame that minimises itself again would take the steps after it along.
    // A tiling window manager has no minimise: the frame stays, and must go on working.
    if (s.moveTo("minimised and back", { 300, 200 })) {
        const FrameState shown = s.state();
        click(s.at(kButtonS));
        // With no window manager, nobody takes the frame off the screen.
        const bool minimised =
          waitFor([&] { return !s.state().viewable; }, desktop.minimises() ? 3000 : 500);
        if (!minimised && desktop.minimises()) {
            s.failures << "minimise: the frame stayed on the screen";
        }
        if (!s.restore()) {
            s.failures << "minimised and back: the frame did not come back";
        } else {
            FrameState back;
            if (!waitFor([&] { return (back = s.state()) == shown; })) {
                s.failures << QString("minimised and back: the frame is at %1, was %2")
                                .arg(back.text(), shown.text());
            }
            s.copy("minimised and back, first copy", Trigger::Button, 400);
            s.copy("minimised and back, second copy", Trigger::Shortcut, 400);
        }
    }

    s.noErrorBox("at the end");
    if (!ombrix.running()) {
        s.failures << QString("the program ended (%1, exit code %2): %3")
                        .arg(ombrix.crashed() ? "crashed" : "exited")
                        .arg(ombrix.exitCode())
                        .arg(QString::fromUtf8(ombrix.output().right(400)).simplified());
    }
    const QString ended = desktop.stoppedEarly();
    QVERIFY2(ended.isEmpty(), qPrintable(name + ": the desktop's programs ended: " + ended));
    qInfo("%s: %.1f s", qPrintable(name), clock.elapsed() / 1000.0);
    // One line each: QtTest cuts a failure's own message short.
    for (const QString& f : s.failures) {
        qWarning("%s: %s", qPrintable(name), qPrintable(f));
    }
    QVERIFY2(s.failures.isEmpty(),
             qPrintable(QString("%1: %2 checks failed (listed above); the first: %3")
                          .arg(name)
                          .arg(s.failures.size())
                          .arg(s.failures.value(0))));
}

void DesktopsE2eTest::clipboardManagerKeepsTheCopy_data()
{
    QTest::addColumn<QStringList>("manager");
    // Xfce's settings daemon: asked by a program that ends (SAVE_TARGETS), it takes the
    // clipboard's content and serves it from then on.
    QTest::addRow("xfsettingsd") << QStringList{ "xfsettingsd",
                                                 "--no-daemon",
                                                 "--disable-wm-check" };
    // Takes a copy of each new content, never answers that request, and puts its copy back once
    // the clipboard has no owner.
    QTest::addRow("xfce4-clipman") << QStringList{ "xfce4-clipman" };
}

void DesktopsE2eTest::clipboardManagerKeepsTheCopy()
{
    QFETCH(QStringList, manager);
    const QString name = QString::fromUtf8(QTest::currentDataTag());
    Desktop desktop;
    QVERIFY2(desktop.start(DesktopKind{}), qPrintable(name + ": " + desktop.error()));
    QVERIFY2(desktop.startProgram(manager), qPrintable(name + " did not start"));
    QVERIFY2(
      waitFor([&] { return desktop.selectionOwner("CLIPBOARD_MANAGER") != 0; }, 15000),
      qPrintable(name + " took no CLIPBOARD_MANAGER selection; ended: " + desktop.stoppedEarly()));

    Ombrix ombrix;
    QVERIFY2(ombrix.start(), "the program's frame did not appear");
    Session s(desktop, ombrix, 1);
    QVERIFY2(waitFor([&] { return s.drawn(); }), "the frame's copy button is not drawn");
    s.copy("the copy", Trigger::Button);
    QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join("; ")));
    const std::optional<QImage> copied = clipboardPng();
    QVERIFY2(copied, "the program does not serve its copy");

    click(s.at(kButtonX));
    QVERIFY2(ombrix.waitFinished(10000), "the program did not end after its X button");
    QVERIFY(!ombrix.crashed());
    QCOMPARE(ombrix.exitCode(), 0);

    // Another program that pastes now gets the same picture, from the manager.
    std::optional<QImage> kept;
    const bool served = waitFor(
      [&] {
          kept = clipboardPng(1000);
          return kept && *kept == *copied;
      },
      10000);
    QVERIFY2(served,
             qPrintable(QString("after the program's end the clipboard %1; it offers: %2")
                          .arg(!kept ? QString("serves no image/png")
                                     : QString("serves a %1 x %2 picture that differs")
                                         .arg(kept->width())
                                         .arg(kept->height()),
                               QString::fromUtf8(clipboardTargets()).simplified())));
    QVERIFY2(desktop.stoppedEarly().isEmpty(),
             qPrintable("the desktop's programs ended: " + desktop.stoppedEarly()));
}

QTEST_GUILESS_MAIN(DesktopsE2eTest)
#include "DesktopsE2eTest.moc"
