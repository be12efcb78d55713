#include "Desktop.h"

#include "E2e.h"
#include "Pattern.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace e2e
{

namespace
{

// What the desktop's session sets in this process while it runs.
const char* const kSessionVariables[] = {
    "DISPLAY", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE",
};

QString rectText(const QRect& r)
{
    return QString("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

// Ends a process and its group: politely, then for sure. A group outlives its leader when the
// leader started others (D-Bus starts the services a window manager asks for in the bus's
// group). A leader that ended long before is left alone: its number may be someone else's now.
void endGroup(QProcess& process, qint64 group)
{
    if (group <= 0 || process.state() == QProcess::NotRunning) {
        return;
    }
    ::kill(static_cast<pid_t>(-group), SIGTERM);
    if (!process.waitForFinished(3000)) {
        ::kill(static_cast<pid_t>(-group), SIGKILL);
        process.waitForFinished(3000);
    }
    // Whatever else of the group took no notice of the request.
    ::kill(static_cast<pid_t>(-group), SIGKILL);
}

// The RandR monitors in `xrandr --listmonitors` text, in the server's order.
QList<QRect> parseMonitors(const QByteArray& text)
{
    static const QRegularExpression line(
      R"(^\s*\d+:\s+\S+\s+(\d+)/\d+x(\d+)/\d+\+(-?\d+)\+(-?\d+))",
      QRegularExpression::MultilineOption);
    QList<QRect> monitors;
    auto it = line.globalMatch(QString::fromUtf8(text));
    while (it.hasNext()) {
        const auto m = it.next();
        monitors << QRect(m.captured(3).toInt(),
                          m.captured(4).toInt(),
                          m.captured(1).toInt(),
                          m.captured(2).toInt());
    }
    return monitors;
}

} // namespace

Desktop::Desktop() = default;

Desktop::~Desktop()
{
    stop();
}

bool Desktop::fail(const QString& what)
{
    error_ = what;
    return false;
}

QProcess* Desktop::startChild(const QString& name,
                              const QString& program,
                              const QStringList& args,
                              const QProcessEnvironment& env,
                              bool keepStdout)
{
    Child child;
    child.name = name;
    child.log = dir_.filePath(name + ".log");
    child.process = std::make_unique<QProcess>();
    QProcess* p = child.process.get();
    p->setProcessEnvironment(env);
    p->setWorkingDirectory(dir_.path());
    // A group of its own, so that stopping it stops whatever it started too; and an end of
    // its own should this process die first (a test runner's time limit), since a group of
    // its own is out of reach of whoever ends this one.
    p->setChildProcessModifier([] {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    if (!keepStdout) {
        p->setStandardOutputFile(child.log, QIODevice::Append);
    }
    p->setStandardErrorFile(child.log, QIODevice::Append);
    p->start(program, args);
    const bool started = p->waitForStarted(5000);
    child.pid = p->processId();
    children_.push_back(std::move(child));
    return started ? p : nullptr;
}

QString Desktop::logTail(const Child& child) const
{
    QFile f(child.log);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray all = f.readAll();
    return QString::fromUtf8(all.right(600)).trimmed();
}

bool Desktop::start(const DesktopKind& kind)
{
    kind_ = kind;
    if (!dir_.isValid()) {
        return fail("no scratch folder");
    }
    QDir(dir_.path()).mkpath("runtime");
    QFile::setPermissions(dir_.filePath("runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(dir_.path()).mkpath("config");
    QDir(dir_.path()).mkpath("home");
    if (!startServer() || !startBus()) {
        return false;
    }
    pointProcessHere();
    // The pattern goes on before a compositing manager starts: xcompmgr reads the background
    // at its start, but may miss a later change of it and keep showing its plain grey.
    return makeMonitors() && setResources() && startWindowManager() && paintRoot() &&
           startCompositor() && startPatternWindow() && showsPattern();
}

bool Desktop::startServer()
{
    // The server picks a free display number and names it once it takes connections.
    // -noreset: a bare server starts over when its last client leaves, and forgets the root's
    // picture.
    QStringList args{ "-displayfd", "1", "-noreset", "-nolisten", "tcp" };
    QString program;
    const QString size = QString("%1x%2").arg(kind_.size.width()).arg(kind_.size.height());
    if (kind_.server == DesktopKind::Server::Xvnc) {
        program = "Xvnc";
        // No VNC port: nobody is to look at it, and a port could be someone else's.
        args << "-geometry" << size << "-depth" << QString::number(kind_.depth) << "-SecurityTypes"
             << "None"
             << "-rfbport"
             << "-1";
    } else {
        program = "Xvfb";
        args << "-screen"
             << "0" << size + "x" + QString::number(kind_.depth);
    }
    QProcess* server =
      startChild(program, program, args, QProcessEnvironment::systemEnvironment(), true);
    if (!server) {
        return fail("could not start " + program);
    }
    serverPid_ = server->processId();
    QByteArray out;
    const bool told = waitFor(
      [&] {
          server->waitForReadyRead(10);
          out += server->readAllStandardOutput();
          return out.contains('\n') || server->state() == QProcess::NotRunning;
      },
      15000);
    if (!told || !out.contains('\n')) {
        return fail(program + " named no display: " + logTail(children_.back()));
    }
    number_ = out.trimmed().toInt();
    display_ = QString(":%1").arg(number_);

    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert("DISPLAY", display_);
    // A session of its own: nothing of it lands in the user's folders or in another session's.
    env_.insert("XDG_RUNTIME_DIR", dir_.filePath("runtime"));
    env_.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
    // GTK programs (xfwm4) would start the accessibility bus otherwise.
    env_.insert("NO_AT_BRIDGE", "1");
    env_.remove("WAYLAND_DISPLAY");
    env_.remove("XAUTHORITY");
    return true;
}

bool Desktop::startBus()
{
    // A session bus of the desktop's own: xfwm4 needs one for its settings, and a Qt program
    // without one starts a bus through dbus-launch that would outlive the desktop.
    QProcess* bus = startChild("dbus-daemon",
                               "dbus-daemon",
                               { "--session",
                                 "--nofork",
                                 "--print-address=1",
                                 "--address=unix:path=" + dir_.filePath("runtime/bus") },
                               env_,
                               true);
    if (!bus) {
        return fail("could not start dbus-daemon");
    }
    QByteArray out;
    const bool told = waitFor(
      [&] {
          bus->waitForReadyRead(10);
          out += bus->readAllStandardOutput();
          return out.contains('\n') || bus->state() == QProcess::NotRunning;
      },
      10000);
    if (!told || !out.contains('\n')) {
        return fail("dbus-daemon named no address: " + logTail(children_.back()));
    }
    env_.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(out.left(out.indexOf('\n'))));
    return true;
}

void Desktop::pointProcessHere()
{
    if (!savedVariables_.isEmpty()) {
        return;
    }
    for (const char* name : kSessionVariables) {
        savedVariables_ << qMakePair(QByteArray(name),
                                     qEnvironmentVariableIsSet(name)
                                       ? std::optional<QByteArray>(qgetenv(name))
                                       : std::nullopt);
        if (env_.contains(name)) {
            qputenv(name, env_.value(name).toLocal8Bit());
        } else {
            qunsetenv(name);
        }
    }
}

void Desktop::restoreProcess()
{
    for (const auto& [name, value] : savedVariables_) {
        if (value) {
            qputenv(name.constData(), *value);
        } else {
            qunsetenv(name.constData());
        }
    }
    savedVariables_.clear();
}

QSize Desktop::rootSize() const
{
    // Not `xdotool getdisplaygeometry`: with RandR monitors it gives the first monitor's size.
    QSize size;
    const Result r = run("xwininfo", { "-root" });
    for (const QString& line : QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts)) {
        const QString name = line.section(':', 0, 0).trimmed();
        if (name == "Width") {
            size.setWidth(line.section(':', 1).trimmed().toInt());
        } else if (name == "Height") {
            size.setHeight(line.section(':', 1).trimmed().toInt());
        }
    }
    return size;
}

QList<QRect> Desktop::monitors() const
{
    return parseMonitors(run("xrandr", { "--listmonitors" }).out);
}

bool Desktop::makeMonitors()
{
    if (kind_.monitors.isEmpty()) {
        return true;
    }
    static const QRegularExpression connected(R"(^(\S+) connected)",
                                              QRegularExpression::MultilineOption);
    const QByteArray outputs = run("xrandr", {}).out;
    const auto output = connected.match(QString::fromUtf8(outputs));
    if (!output.hasMatch()) {
        return fail("xrandr names no output: " + QString::fromUtf8(outputs));
    }
    // The server's own monitor follows its output; once a monitor of ours claims that output,
    // the server's one is gone (Xvfb refuses `--delmonitor` for it). The other monitors have no
    // output of their own.
    for (int i = 0; i < kind_.monitors.size(); ++i) {
        const QRect& m = kind_.monitors[i];
        const QString geometry = QString("%1/%2x%3/%4+%5+%6")
                                   .arg(m.width())
                                   .arg(qRound(m.width() * 25.4 / 96))
                                   .arg(m.height())
                                   .arg(qRound(m.height() * 25.4 / 96))
                                   .arg(m.x())
                                   .arg(m.y());
        const Result r = run("xrandr",
                             { "--setmonitor",
                               QString("ombrix-%1").arg(i + 1),
                               geometry,
                               i == 0 ? output.captured(1) : QString("none") });
        if (!r.finished || r.exitCode != 0) {
            return fail("xrandr --setmonitor " + geometry + ": " + QString::fromUtf8(r.err));
        }
    }
    // Any monitor still there that is not ours goes.
    static const QRegularExpression name(R"(^\s*\d+:\s+[+*]*(\S+)\s)",
                                         QRegularExpression::MultilineOption);
    auto it = name.globalMatch(QString::fromUtf8(run("xrandr", { "--listmonitors" }).out));
    while (it.hasNext()) {
        const QString n = it.next().captured(1);
        if (!n.startsWith("ombrix-")) {
            run("xrandr", { "--delmonitor", n });
        }
    }
    const QList<QRect> now = monitors();
    if (now != kind_.monitors) {
        QStringList seen;
        for (const QRect& r : now) {
            seen << rectText(r);
        }
        return fail("the server lists the monitors " + seen.join(", "));
    }
    return true;
}

bool Desktop::setResources()
{
    if (kind_.xftDpi == 0) {
        return true;
    }
    const QString file = dir_.filePath("Xresources");
    if (!writeFile(file, QString("Xft.dpi: %1\n").arg(kind_.xftDpi).toUtf8())) {
        return fail("could not write " + file);
    }
    const Result r = run("xrdb", { "-merge", file });
    const QByteArray query = run("xrdb", { "-query" }).out;
    if (!r.finished || r.exitCode != 0 ||
        !query.contains(QString("Xft.dpi:\t%1").arg(kind_.xftDpi).toUtf8())) {
        return fail("xrdb did not take Xft.dpi: " + QString::fromUtf8(r.err + query));
    }
    return true;
}

bool Desktop::startWindowManager()
{
    const QString& wm = kind_.windowManager;
    if (wm.isEmpty()) {
        return true;
    }
    QProcessEnvironment env = env_;
    const QString home = dir_.filePath("home");
    env.insert("HOME", home);
    QStringList args;
    if (wm == "openbox") {
        args << "--sm-disable";
    } else if (wm == "icewm") {
        // No task bar: it would stand over the pattern. And windows may stand partly off the
        // screen, as under the other window managers.
        const QString config = dir_.filePath("icewm");
        QDir().mkpath(config);
        if (!writeFile(config + "/preferences", "ShowTaskBar=0\nLimitPosition=0\nLimitSize=0\n")) {
            return fail("could not write icewm's preferences");
        }
        env.insert("ICEWM_PRIVCFG", config);
    } else if (wm == "fluxbox") {
        // Neither a tool bar over the pattern nor a wallpaper: fluxbox's styles set one with
        // fbsetbg, which fails on this server and puts a message window on the desktop.
        const QString config = home + "/.fluxbox";
        QDir().mkpath(config);
        const QByteArray init = "session.configVersion: 13\n"
                                "session.styleOverlay: " +
                                QFile::encodeName(config) +
                                "/overlay\n"
                                "session.screen0.rootCommand:\n"
                                "session.screen0.toolbar.visible: false\n"
                                "session.screen0.slit.autoHide: true\n"
                                "session.screen0.workspaces: 1\n";
        if (!writeFile(config + "/init", init) ||
            !writeFile(config + "/overlay", "background: none\n")) {
            return fail("could not write fluxbox's settings");
        }
        args << "-rc" << config + "/init";
    } else if (wm == "xfwm4") {
        // Without vertical sync: this server has no display to wait for.
        args << "--sm-client-disable"
             << (kind_.windowManagerComposites ? "--compositor=on" : "--compositor=off")
             << "--vblank=off";
    } else if (wm == "mutter") {
        // GNOME's window manager and compositor, as GNOME on Xorg runs it.
        args << "--x11"
             << "--replace"
             << "--sm-disable";
    } else if (wm == "kwin_x11" || wm == "muffin") {
        args << "--replace";
    } else if (wm == "marco") {
        args << "--replace"
             << "--composite";
    } else if (wm == "i3") {
        // Without a configuration i3 asks for one in a window of its own; this one is the
        // default's placement with no bar over the pattern.
        const QString config = dir_.filePath("i3.config");
        // (Its first line keeps i3 from taking it for an old one, which it would convert and
        // give a bar.)
        if (!writeFile(config,
                       "# i3 config file (v4)\nfont pango:monospace 8\nfloating_modifier Mod1\n")) {
            return fail("could not write i3's configuration");
        }
        args << "-c" << config;
    } else if (wm == "awesome") {
        // Its default configuration, less what would stand over the pattern: the bar across
        // the top of the screen and the wallpaper, which it sets in its own time (its title
        // bars stay).
        const QString config = dir_.filePath("awesome.lua");
        if (!writeFile(
              config,
              "local wallpaper = require('gears.wallpaper')\n"
              "for _, way in ipairs({ 'set', 'maximized', 'centered', 'tiled', 'fit' }) do\n"
              "    wallpaper[way] = function() end\n"
              "end\n"
              "dofile('/etc/xdg/awesome/rc.lua')\n"
              "for s in screen do if s.mywibox then s.mywibox.visible = false end end\n")) {
            return fail("could not write awesome's configuration");
        }
        args << "-c" << config;
    } else if (wm == "herbstluftwm") {
        // Its own settings (the default's frame lines over every empty part of the screen
        // would stand over the pattern).
        const QString autostart = dir_.filePath("herbstluftwm-autostart");
        if (!writeFile(autostart, "#!/bin/sh\nherbstclient set show_frame_decorations none\n") ||
            !QFile::setPermissions(autostart,
                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            return fail("could not write herbstluftwm's autostart");
        }
        args << "--autostart" << autostart;
    } else if (wm != "bspwm" && wm != "xmonad") {
        return fail("no such window manager in the table: " + wm);
    }
    if (!startChild(wm, wm, args, env)) {
        return fail("could not start " + wm);
    }
    // xmonad names itself nowhere: a window manager is there once the root's window
    // management is taken.
    const bool up = waitFor(
      [&] {
          return wm == "xmonad" ? run(testdeskBinary(), { "managed" }).exitCode == 0
                                : run("xprop", { "-root", "_NET_SUPPORTING_WM_CHECK" })
                                    .out.contains("window id");
      },
      15000);
    if (!up) {
        return fail(wm + " did not take over the screen: " + logTail(children_.back()));
    }
    // These composite whatever they are told.
    if (kind_.windowManagerComposites || wm == "mutter" || wm == "kwin_x11" || wm == "muffin" ||
        wm == "marco") {
        if (!waitFor(composited, 10000)) {
            return fail(wm + "'s compositor did not take over the screen");
        }
    }
    return true;
}

bool Desktop::startCompositor()
{
    if (kind_.compositor.isEmpty()) {
        return true;
    }
    const QString program = kind_.compositor.first();
    if (!startChild(program, program, kind_.compositor.mid(1), env_)) {
        return fail("could not start " + program);
    }
    if (!waitFor(composited, 10000)) {
        return fail(kind_.compositor.join(' ') +
                    " did not take over the screen: " + logTail(children_.back()));
    }
    return true;
}

bool Desktop::startPatternWindow()
{
    // mutter and KWin paint a background of their own over the root: the pattern is a
    // desktop window's there, as a file manager's desktop is.
    if (kind_.windowManager != "mutter" && kind_.windowManager != "kwin_x11") {
        return true;
    }
    QProcess* p = startChild("testdesk-desktop", testdeskBinary(), { "desktop" }, env_, true);
    if (!p) {
        return fail("could not start the pattern window");
    }
    QByteArray out;
    if (!waitFor(
          [&] {
              p->waitForReadyRead(10);
              out += p->readAllStandardOutput();
              return out.contains("ready") || p->state() == QProcess::NotRunning;
          },
          10000) ||
        !out.contains("ready")) {
        return fail("the pattern window did not show: " + logTail(children_.back()));
    }
    return true;
}

bool Desktop::keepsWindowsOnScreen() const
{
    static const QStringList keeping{ "mutter", "kwin_x11", "muffin", "marco" };
    return keeping.contains(kind_.windowManager);
}

bool Desktop::tiles() const
{
    static const QStringList tiling{ "i3", "bspwm", "herbstluftwm", "xmonad" };
    return tiling.contains(kind_.windowManager);
}

QImage Desktop::screenPixels(const QRect& area) const
{
    // A connection of its own for each read: one held open would end this process (Xlib's
    // answer to a lost connection) should the server go away under it.
    Display* d = XOpenDisplay(display_.toLocal8Bit().constData());
    if (!d) {
        return {};
    }
    // Only what lies on the root can be read; Xlib's answer to a refused read is to end the
    // process.
    const QRect root(0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d)));
    if (!root.contains(area) || area.isEmpty()) {
        XCloseDisplay(d);
        return {};
    }
    const auto previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    QImage picture;
    XImage* image = XGetImage(d,
                              DefaultRootWindow(d),
                              area.x(),
                              area.y(),
                              static_cast<unsigned>(area.width()),
                              static_cast<unsigned>(area.height()),
                              AllPlanes,
                              ZPixmap);
    if (image) {
        Visual* visual = DefaultVisual(d, DefaultScreen(d));
        const auto channel = [](unsigned long pixel, unsigned long mask) -> uint32_t {
            if (mask == 0) {
                return 0;
            }
            const unsigned long v = (pixel & mask) >> __builtin_ctzl(mask);
            const int bits = __builtin_popcountl(mask);
            return static_cast<uint32_t>(bits >= 8 ? v >> (bits - 8) : v << (8 - bits));
        };
        picture = QImage(area.size(), QImage::Format_RGB32);
        for (int y = 0; y < area.height(); ++y) {
            for (int x = 0; x < area.width(); ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                picture.setPixel(x,
                                 y,
                                 qRgb(channel(p, visual->red_mask),
                                      channel(p, visual->green_mask),
                                      channel(p, visual->blue_mask)));
            }
        }
        XDestroyImage(image);
    }
    XCloseDisplay(d);
    XSetErrorHandler(previous);
    return picture;
}

bool Desktop::paintPattern()
{
    return paintRoot() && showsPattern();
}

bool Desktop::paintRoot()
{
    const Result r = run(testdeskBinary(), { "root" }, 20000);
    if (!r.finished || r.exitCode != 0) {
        return fail("testdesk root: " + QString::fromUtf8(r.err));
    }
    return true;
}

bool Desktop::showsPattern()
{
    // Seen on the screen (a compositor repaints it in its own time) at two opposite corners.
    const QSize root = rootSize();
    const int bits[3] = { kind_.depth == 16 ? 5 : 8,
                          kind_.depth == 16 ? 6 : 8,
                          kind_.depth == 16 ? 5 : 8 };
    const QList<QRect> samples{ QRect(0, 0, 8, 8),
                                QRect(root.width() - 8, root.height() - 8, 8, 8) };
    QString seen;
    const bool shown = waitFor(
      [&] {
          for (const QRect& area : samples) {
              const QImage shot = screenPixels(area);
              if (shot.size() != area.size()) {
                  seen = "no screenshot of " + rectText(area);
                  return false;
              }
              for (int y = 0; y < area.height(); ++y) {
                  for (int x = 0; x < area.width(); ++x) {
                      const uint32_t want = testdesk::patternRgb(area.x() + x, area.y() + y);
                      const uint32_t got = shot.pixel(x, y) & 0xFFFFFF;
                      if (!testdesk::sameAtBits(got, want, bits[0], bits[1], bits[2])) {
                          seen = QString("root pixel (%1, %2) is %3, not %4")
                                   .arg(area.x() + x)
                                   .arg(area.y() + y)
                                   .arg(got, 6, 16, QChar('0'))
                                   .arg(want, 6, 16, QChar('0'));
                          return false;
                      }
                  }
              }
          }
          return true;
      },
      10000);
    return shown ? true : fail("the screen does not show the pattern: " + seen);
}

bool Desktop::resize(QSize size)
{
    static const QRegularExpression connected(R"(^(\S+) connected)",
                                              QRegularExpression::MultilineOption);
    const auto output = connected.match(QString::fromUtf8(run("xrandr", {}).out));
    if (!output.hasMatch()) {
        return fail("xrandr names no output");
    }
    const QString name = output.captured(1);
    const QString mode = QString("%1x%2").arg(size.width()).arg(size.height());
    // A size the output does not list yet gets a mode of its own first. Xvnc takes any timing;
    // `xrandr --fb` alone would grow the root but leave the monitor at its old size.
    if (run("xrandr", { "--output", name, "--mode", mode }).exitCode != 0) {
        const int w = size.width(), h = size.height();
        const QString newMode = "ombrix-" + mode;
        const double clockMhz = (w + 160) * (h + 30) * 60.0 / 1e6;
        run("xrandr",
            { "--newmode",
              newMode,
              QString::number(clockMhz, 'f', 2),
              QString::number(w),
              QString::number(w + 48),
              QString::number(w + 80),
              QString::number(w + 160),
              QString::number(h),
              QString::number(h + 3),
              QString::number(h + 8),
              QString::number(h + 30) });
        run("xrandr", { "--addmode", name, newMode });
        const Result r = run("xrandr", { "--output", name, "--mode", newMode });
        if (r.exitCode != 0) {
            return fail("xrandr could not set " + mode + ": " + QString::fromUtf8(r.err));
        }
    }
    const QList<QRect> whole{ QRect(QPoint(0, 0), size) };
    QList<QRect> now;
    if (!waitFor([&] { return rootSize() == size && (now = monitors()) == whole; })) {
        return fail(QString("the server did not take %1: root %2x%3, %4 monitors")
                      .arg(mode)
                      .arg(rootSize().width())
                      .arg(rootSize().height())
                      .arg(now.size()));
    }
    return paintPattern();
}

QString Desktop::stoppedEarly() const
{
    QStringList ended;
    for (const Child& c : children_) {
        if (c.process->state() == QProcess::NotRunning) {
            ended << c.name + " (" + logTail(c) + ")";
        }
    }
    return ended.join("; ");
}

bool Desktop::startProgram(const QStringList& command)
{
    QProcessEnvironment env = env_;
    env.insert("HOME", dir_.filePath("home"));
    env.insert("XDG_CACHE_HOME", dir_.filePath("cache"));
    return startChild(
             QFileInfo(command.value(0)).fileName(), command.value(0), command.mid(1), env) !=
           nullptr;
}

unsigned long Desktop::selectionOwner(const QString& name) const
{
    Display* d = XOpenDisplay(display_.toLocal8Bit().constData());
    if (!d) {
        return 0;
    }
    const Window owner = XGetSelectionOwner(d, XInternAtom(d, name.toLatin1().constData(), False));
    XCloseDisplay(d);
    return owner;
}

bool Desktop::killServer(int signal)
{
    if (children_.empty() || serverPid_ <= 0) {
        return false;
    }
    ::kill(static_cast<pid_t>(serverPid_), signal);
    return children_.front().process->waitForFinished(5000);
}

void Desktop::stop()
{
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        endGroup(*it->process, it->pid);
    }
    children_.clear();
    removeLeftovers();
    restoreProcess();
    number_ = -1;
    serverPid_ = -1;
}

void Desktop::removeLeftovers()
{
    // A server killed outright leaves its socket behind (and its lock, where it made one).
    // Ours are removed once nothing answers there: the number may be someone else's by now.
    e2e::removeDeadXServerFiles(number_, serverPid_);
}

} // namespace e2e
