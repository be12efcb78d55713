// The real program in a Wayland session (sway), under XWayland, over a native Wayland client
// that shows the test pattern (the compositor's background client, swaybg). XWayland's root
// window holds none of those pixels: a right picture can only come from the compositor.
// Runs inside the session that tests/wayland/test-wayland starts; not a CTest test.

#include "E2e.h"
#include "Pattern.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace e2e;

namespace
{

// An output of the session: its place on the layout (XWayland's root) and its scale. Each
// shows the pattern from its own top-left device pixel.
struct Output {
    QString name;
    QRect logical;
    int scale = 1;
};
using Layout = QList<Output>;

QString swaymsg(const QStringList& args)
{
    const Result r = run("swaymsg", args);
    return r.exitCode == 0 ? QString() : QString::fromUtf8(r.out + r.err).trimmed();
}

QList<QJsonObject> outputsNow()
{
    QList<QJsonObject> outputs;
    const Result r = run("swaymsg", { "-r", "-t", "get_outputs" });
    for (const QJsonValue& v : QJsonDocument::fromJson(r.out).array()) {
        outputs << v.toObject();
    }
    return outputs;
}

// What the screen shows at device pixel (i, j) of a picture of `area` taken at `scale`.
uint32_t expectedAt(const Layout& layout, const QRect& area, int scale, int i, int j)
{
    const QPoint at(area.x() + i / scale, area.y() + j / scale);
    for (const Output& o : layout) {
        if (o.logical.contains(at)) {
            return testdesk::patternRgb((area.x() - o.logical.x()) * o.scale + i,
                                        (area.y() - o.logical.y()) * o.scale + j);
        }
    }
    return 0; // off every output
}

// A screenshot by the compositor (grim), in device pixels.
std::optional<QImage> grim(const QRect& area)
{
    const Result r =
      run("grim",
          { "-g",
            QString("%1,%2 %3x%4").arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height()),
            "-t",
            "png",
            "-" });
    QImage image;
    if (r.exitCode != 0 || !image.loadFromData(r.out, "PNG")) {
        return std::nullopt;
    }
    return image;
}

QString compareScaled(const QImage& picture, const Layout& layout, const QRect& area, int scale)
{
    if (picture.size() != area.size() * scale) {
        return QString("the picture is %1 x %2, expected %3 x %4")
          .arg(picture.width())
          .arg(picture.height())
          .arg(area.width() * scale)
          .arg(area.height() * scale);
    }
    return comparePicture(
      picture, 0, 0, [&](int i, int j) { return expectedAt(layout, area, scale, i, j); });
}

} // namespace

class WaylandE2eTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    QString pattern_;
    Layout current_;

    // Outputs as `layout` says, each with the pattern as its background; true once the
    // compositor shows them so.
    bool arrange(const Layout& layout);

private slots:
    void initTestCase();
    void copiesWhatTheCompositorShows_data();
    void copiesWhatTheCompositorShows();
    void withoutTheCompositorsCopyACopyIsAnError();
    void shortcutsThroughTheDesktop();
    void shortcutsWithoutTheDesktopSayTheyNeedTheFocus();
    void cleanupTestCase();
};

void WaylandE2eTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIsEmpty("DISPLAY")) {
        QFAIL("needs a Wayland session with XWayland: run tests/wayland/test-wayland");
    }
    const QStringList missing =
      notInstalled({ "swaymsg", "grim", "xdotool", "xclip", "pw-dump", "dbus-send" });
    QVERIFY2(missing.isEmpty(), qPrintable("not installed: " + missing.join(' ')));
    QVERIFY(dir_.isValid());
    // The pattern from (0, 0), large enough for any output here at any scale.
    QImage image(2560, 1440, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            line[x] = testdesk::patternRgb(x, y) | 0xFF000000u;
        }
    }
    pattern_ = dir_.filePath("pattern.png");
    QVERIFY(image.save(pattern_, "PNG"));
}

bool WaylandE2eTest::arrange(const Layout& layout)
{
    // Outputs beyond the first are made as needed; those not in the layout are switched off.
    for (const Output& o : layout) {
        const QList<QJsonObject> now = outputsNow();
        const bool exists = std::any_of(
          now.cbegin(), now.cend(), [&](const QJsonObject& x) { return x["name"] == o.name; });
        if (!exists) {
            const QString error = swaymsg({ "create_output" });
            if (!error.isEmpty()) {
                qWarning("create_output: %s", qPrintable(error));
                return false;
            }
        }
    }
    for (const QJsonObject& x : outputsNow()) {
        const QString name = x["name"].toString();
        if (std::none_of(
              layout.cbegin(), layout.cend(), [&](const Output& o) { return o.name == name; })) {
            swaymsg({ "output", name, "disable" });
        }
    }
    for (const Output& o : layout) {
        // The background is drawn from the top-left device pixel, one image pixel each.
        const QString error = swaymsg(
          { "output",
            o.name,
            "enable",
            "mode",
            QString("%1x%2").arg(o.logical.width() * o.scale).arg(o.logical.height() * o.scale),
            "pos",
            QString::number(o.logical.x()),
            QString::number(o.logical.y()),
            "scale",
            QString::number(o.scale),
            "bg",
            pattern_,
            "tile" });
        if (!error.isEmpty()) {
            qWarning("output %s: %s", qPrintable(o.name), qPrintable(error));
            return false;
        }
    }
    current_ = layout;
    // Every output shows the pattern from its own corner, as the compositor copies it.
    return waitFor(
      [&] {
          for (const Output& o : layout) {
              const QRect probe(o.logical.topLeft() + QPoint(10, 10), QSize(40, 30));
              const auto shot = grim(probe);
              if (!shot || !compareScaled(*shot, layout, probe, o.scale).isEmpty()) {
                  return false;
              }
          }
          return true;
      },
      15000);
}

void WaylandE2eTest::copiesWhatTheCompositorShows_data()
{
    QTest::addColumn<Layout>("layout");
    QTest::addColumn<QPoint>("place");
    QTest::addColumn<bool>("byShortcut");
    // The compositor's screen copy, or the desktop portal's screen cast (which shares the first
    // output here: the portal is set to choose it without asking).
    QTest::addColumn<QString>("source");
    const Layout one{ { "HEADLESS-1", { 0, 0, 1280, 720 }, 1 } };
    const Layout two{ { "HEADLESS-1", { 0, 0, 1280, 720 }, 1 },
                      { "HEADLESS-2", { 1280, 0, 800, 600 }, 1 } };
    const Layout scaled{ { "HEADLESS-1", { 0, 0, 640, 360 }, 2 } };
    const QString copy = "screencopy", cast = "portal";
    QTest::newRow("one output, C") << one << QPoint(300, 200) << false << copy;
    QTest::newRow("one output, Ctrl+Alt+C") << one << QPoint(517, 131) << true << copy;
    // Part of the frame beyond the right edge: black there, as on X11.
    QTest::newRow("one output, over the edge") << one << QPoint(1100, 400) << false << copy;
    QTest::newRow("two outputs, across both") << two << QPoint(1100, 150) << true << copy;
    QTest::newRow("two outputs, below the smaller one")
      << two << QPoint(1500, 500) << false << copy;
    // Scale 2: XWayland's root is in the layout's pixels, the picture in the screen's.
    QTest::newRow("scale 2") << scaled << QPoint(120, 70) << false << copy;
    QTest::newRow("portal, C") << one << QPoint(300, 200) << false << cast;
    QTest::newRow("portal, Ctrl+Alt+C") << one << QPoint(517, 131) << true << cast;
    // The stream has the screen's pixels; the portal tells where the monitor is on the layout.
    QTest::newRow("portal, scale 2") << scaled << QPoint(120, 70) << false << cast;
    // No screen copy to be had (as on GNOME and KDE): the portal, unasked.
    QTest::newRow("portal where no screen copy is offered, over the edge")
      << one << QPoint(1100, 400) << false << "no screencopy";
}

void WaylandE2eTest::copiesWhatTheCompositorShows()
{
    QFETCH(Layout, layout);
    QFETCH(QPoint, place);
    QFETCH(bool, byShortcut);
    QFETCH(QString, source);
    QVERIFY2(arrange(layout), "the outputs did not show the pattern");
    const int scale = std::max_element(layout.cbegin(), layout.cend(), [](auto& a, auto& b) {
                          return a.scale < b.scale;
                      })->scale;

    Ombrix ombrix;
    StartOptions options;
    if (source == "no screencopy") {
        options.env = { { "WAYLAND_DISPLAY", "ombrix-no-such-compositor" } };
    } else {
        options.env = { { "OMBRIX_WAYLAND_SCREEN", source } };
    }
    QVERIFY(ombrix.start(options));
    // Placed where the user puts it, and held there: the compositor does not manage the frame.
    QVERIFY(ombrix.moveTo(place.x(), place.y()));
    const QRect frame = ombrix.geometry();
    QCOMPARE(frame.topLeft(), place);
    // The frame on the screen, before it is copied: the compositor has it where X has it.
    const QRect buttonC(controlAt(frame, kButtonC) - QPoint(4, 4), QSize(8, 8));
    QVERIFY2(waitFor([&] {
                 const auto shot = grim(buttonC);
                 return shot && !compareScaled(*shot, layout, buttonC, scale).isEmpty();
             }),
             "the frame's C button is not on the screen");

    for (int copy = 0; copy < 3; ++copy) {
        setClipboardText("before the copy");
        QElapsedTimer clock;
        clock.start();
        std::optional<QString> box;
        if (byShortcut) {
            box = pressShortcut("c", "^(情報|エラー)$");
        } else {
            clickControl(frame, kButtonC);
            box = findWindow("^(情報|エラー)$");
        }
        QVERIFY2(box, "the copy brought no box");
        const auto picture = clipboardPng();
        qInfo("copy %d: box after %lld ms", copy + 1, static_cast<long long>(clock.elapsed()));
        const QString title =
          QString::fromUtf8(run("xdotool", { "getwindowname", *box }).out).trimmed();
        QVERIFY(dismiss(*box));
        QCOMPARE(title, QStringLiteral("情報"));
        QVERIFY2(picture, "no image/png on the clipboard");
        const QString problem = compareScaled(*picture, layout, pictureArea(frame), scale);
        if (!problem.isEmpty()) {
            const QString kept = QDir::temp().filePath(
              QString("ombrix-wayland-%1-%2.png").arg(QTest::currentDataTag()).arg(copy + 1));
            picture->save(kept);
            QFAIL(qPrintable(problem + " (the picture is kept as " + kept +
                             "); the program said: " + QString::fromUtf8(ombrix.output())));
        }
        QCOMPARE(ombrix.geometry(), frame);
    }
    // After the copies the frame is on the screen again, where it was.
    QVERIFY2(waitFor([&] {
                 const auto shot = grim(buttonC);
                 return shot && !compareScaled(*shot, layout, buttonC, scale).isEmpty();
             }),
             "the frame did not come back");
    if (source != "screencopy") {
        // The portal's leave to share the screen is kept for the next start.
        const QString state =
          qEnvironmentVariable("XDG_STATE_HOME", QDir::homePath() + "/.local/state");
        const auto token = fileBytes(state + "/Ombrix/screen-cast-token");
        QVERIFY2(token && token->trimmed().size() > 0, "no restore token was kept");
        // With the choice kept, each copy has a cast of its own: none lasts beyond it (a desktop
        // shows that the screen is shared for as long as a cast lasts).
        QVERIFY2(
          waitFor([] { return !run("pw-dump", {}).out.contains("\"node.name\": \"Ombrix\""); }),
          "the program's screen cast stream outlasted the copy");
    }
    // Moved by its handle, it goes where the pointer takes it, to the pixel.
    const QPoint handle = controlAt(frame, kMoveHandle);
    drag(handle, handle + QPoint(-37, 23));
    QVERIFY(waitFor([&] { return ombrix.geometry() == frame.translated(-37, 23); }));
}

void WaylandE2eTest::withoutTheCompositorsCopyACopyIsAnError()
{
    QVERIFY(arrange({ { "HEADLESS-1", { 0, 0, 1280, 720 }, 1 } }));
    Ombrix ombrix;
    StartOptions options;
    // A session whose compositor and portal the program cannot reach: XWayland's root is all it
    // has.
    options.env = { { "WAYLAND_DISPLAY", "ombrix-no-such-compositor" },
                    { "DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/ombrix-bus" },
                    { "QT_LOGGING_RULES", "ombrix.*=true" } };
    QVERIFY(ombrix.start(options));
    QVERIFY(ombrix.moveTo(300, 200));
    setClipboardText("before the copy");
    clickControl(ombrix.geometry(), kButtonC);
    const auto text = messageText("^エラー$");
    QVERIFY2(text, "no error box");
    QVERIFY2(text->contains("画面の画像を読み取れません."), qPrintable(*text));
    QVERIFY2(!clipboardTargets().contains("image/"), "a picture was put on the clipboard");
    QVERIFY(dismiss(*findWindow("^エラー$")));
    // The reason, for whoever looks into it: both sources and why each could not be had.
    QByteArray log;
    QVERIFY2(waitFor([&] {
                 log += ombrix.output();
                 return log.contains("XWayland") && log.contains("WAYLAND_DISPLAY") &&
                        log.contains("session bus");
             }),
             log.constData());
}

namespace
{

// A private session bus with the stand-in for a desktop whose portal binds global shortcuts
// (GNOME 48 and KDE Plasma 6 have one; sway has none).
class FakeDesktopBus
{
public:
    ~FakeDesktopBus()
    {
        for (QProcess* p : { &portal_, &daemon_ }) {
            p->kill();
            p->waitForFinished(3000);
        }
    }

    bool start(const QString& folder)
    {
        const QString config = folder + "/bus.conf";
        if (!writeFile(
              config,
              "<busconfig><type>session</type>"
              "<listen>unix:tmpdir=/tmp</listen>"
              "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")) {
            return false;
        }
        daemon_.start("dbus-daemon", { "--config-file=" + config, "--print-address", "--nofork" });
        if (!daemon_.waitForStarted(5000) ||
            !waitFor([&] { return daemon_.canReadLine(); }, 10000)) {
            return false;
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", address_);
        portal_.setProcessEnvironment(env);
        portal_.start("python3", { qEnvironmentVariable("OMBRIX_FAKE_PORTAL") });
        return portal_.waitForStarted(5000) &&
               waitFor([&] { return portal_.canReadLine(); }, 10000) &&
               portal_.readLine().trimmed() == "ready";
    }

    QString address() const { return address_; }

    // Calls the stand-in's control interface; its answer, as dbus-send prints it.
    QString control(const QString& method, const QStringList& args = {})
    {
        const Result r = run("dbus-send",
                             QStringList{ "--bus=" + address_,
                                          "--print-reply=literal",
                                          "--dest=org.freedesktop.portal.Desktop",
                                          "/org/freedesktop/portal/desktop",
                                          "org.ombrix.FakePortal." + method } +
                               args);
        return QString::fromUtf8(r.out).trimmed();
    }

private:
    QProcess daemon_;
    QProcess portal_;
    QString address_;
};

// The About panel's help text, as Ctrl+A and Ctrl+C in it give it.
std::optional<QString> aboutText(const QRect& frame)
{
    clickControl(frame, kButtonA);
    const auto about = findWindow("^About Ombrix$");
    if (!about) {
        return std::nullopt;
    }
    const auto place = windowGeometry(*about);
    if (!place) {
        return std::nullopt;
    }
    const auto text = copiedText([&] {
        click(place->topLeft() + QPoint(300, 300));
        key("ctrl+a");
        key("ctrl+c");
    });
    dismiss(*about, "Escape");
    return text;
}

} // namespace

void WaylandE2eTest::shortcutsThroughTheDesktop()
{
    QVERIFY(arrange({ { "HEADLESS-1", { 0, 0, 1280, 720 }, 1 } }));
    FakeDesktopBus bus;
    QVERIFY2(bus.start(dir_.path()), "the stand-in desktop did not start");
    Ombrix ombrix;
    StartOptions options;
    options.env = { { "DBUS_SESSION_BUS_ADDRESS", bus.address() } };
    QVERIFY(ombrix.start(options));
    QVERIFY(ombrix.moveTo(300, 200));
    const QRect frame = ombrix.geometry();

    // The five letters, bound by the desktop as Ctrl+Alt+letter.
    QString state;
    QVERIFY2(waitFor([&] {
                 state = bus.control("State");
                 return state.contains("CTRL+ALT+x");
             }),
             qPrintable(state));
    for (const char* trigger : { "CTRL+ALT+c", "CTRL+ALT+v", "CTRL+ALT+w", "CTRL+ALT+s" }) {
        QVERIFY2(state.contains(trigger), qPrintable(state));
    }
    // The desktop's press of the copy shortcut, whichever window has the focus: a copy.
    setClipboardText("before the copy");
    bus.control("Activate", { "string:ombrix-1", "string:" });
    const auto box = findWindow("^情報$");
    QVERIFY2(box, "the desktop's shortcut brought no copy");
    const auto picture = clipboardPng();
    QVERIFY(dismiss(*box));
    QVERIFY2(picture, "no image/png on the clipboard");
    const QString problem =
      compareScaled(*picture, { { "HEADLESS-1", { 0, 0, 1280, 720 }, 1 } }, pictureArea(frame), 1);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // The desktop binds the keys: no word of needing the focus.
    const auto help = aboutText(frame);
    QVERIFY2(help && help->contains("Ombrix"), "the About panel's text could not be read");
    QVERIFY2(!help->contains("グローバルショートカット"), qPrintable(*help));
}

void WaylandE2eTest::shortcutsWithoutTheDesktopSayTheyNeedTheFocus()
{
    // sway's portal has no global shortcuts.
    QVERIFY(arrange({ { "HEADLESS-1", { 0, 0, 1280, 720 }, 1 } }));
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(300, 200));
    const auto help = aboutText(ombrix.geometry());
    QVERIFY2(help && help->contains("Ombrix"), "the About panel's text could not be read");
    QVERIFY2(help->contains("グローバルショートカットを提供していません") &&
               help->contains("フォーカスがあるときだけ"),
             qPrintable(*help));
}

void WaylandE2eTest::cleanupTestCase()
{
    arrange({ { "HEADLESS-1", { 0, 0, 1280, 720 }, 1 } });
}

QTEST_GUILESS_MAIN(WaylandE2eTest)
#include "WaylandE2eTest.moc"
