#include "E2e.h"

#include "Pattern.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace e2e
{

Result run(const QString& program, const QStringList& args, int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    Result r;
    if (!p.waitForStarted(5000)) {
        r.err = "could not start " + program.toUtf8();
        return r;
    }
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    r.finished = p.exitStatus() == QProcess::NormalExit;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

namespace
{

// xdotool gives up with an X error when a window vanishes while it looks at it (an xclip
// window as the clipboard changes hands, a box closing): such a search is asked again.
Result searchWindows(const QString& nameRegex, bool sync, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QStringList args{ "search" };
        if (sync) {
            args << "--sync";
        }
        args << "--onlyvisible"
             << "--name" << nameRegex;
        const int left = std::max(timeoutMs - static_cast<int>(clock.elapsed()), 1);
        const Result r = run("xdotool", args, sync ? left : 10000);
        if (!r.err.contains("X Error") || clock.elapsed() >= timeoutMs) {
            return r;
        }
        QThread::msleep(10);
    }
}

// The first window that a search found.
std::optional<QString> firstWindow(const Result& r)
{
    if (!r.finished || r.exitCode != 0) {
        return std::nullopt;
    }
    const QString first = QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts).value(0);
    if (first.trimmed().isEmpty()) {
        return std::nullopt;
    }
    return first.trimmed();
}

} // namespace

std::optional<QString> findWindow(const QString& nameRegex, int timeoutMs)
{
    return firstWindow(searchWindows(nameRegex, true, timeoutMs));
}

std::optional<QString> visibleWindow(const QString& nameRegex)
{
    return firstWindow(searchWindows(nameRegex, false, 2000));
}

bool windowGone(const QString& nameRegex, int timeoutMs)
{
    return waitFor(
      [&] {
          const Result r = searchWindows(nameRegex, false, 2000);
          return r.finished && !r.err.contains("X Error") && r.out.trimmed().isEmpty();
      },
      timeoutMs);
}

std::optional<WindowState> windowState(const QString& windowId)
{
    // xwininfo, not xdotool: xdotool counts a window manager's frame offset twice.
    const Result r = run("xwininfo", { "-id", windowId });
    if (!r.finished || r.exitCode != 0) {
        return std::nullopt;
    }
    WindowState s;
    int border = 0;
    for (const QString& line : QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts)) {
        const QString name = line.section(':', 0, 0).trimmed();
        const QString value = line.section(':', 1).trimmed();
        if (name == "Absolute upper-left X") {
            s.geometry.moveLeft(value.toInt());
        } else if (name == "Absolute upper-left Y") {
            s.geometry.moveTop(value.toInt());
        } else if (name == "Width") {
            s.geometry.setWidth(value.toInt());
        } else if (name == "Height") {
            s.geometry.setHeight(value.toInt());
        } else if (name == "Map State") {
            s.viewable = value == "IsViewable";
        } else if (name == "Border width") {
            border = value.toInt();
        }
    }
    // xwininfo gives the border's outer corner (bspwm and xmonad draw one on the window).
    s.geometry.translate(border, border);
    return s;
}

std::optional<QRect> windowGeometry(const QString& windowId)
{
    const auto s = windowState(windowId);
    return s ? std::optional<QRect>(s->geometry) : std::nullopt;
}

bool viewable(const QString& windowId)
{
    const auto s = windowState(windowId);
    return s && s->viewable;
}

bool minimised(const QString& windowId)
{
    return run("xprop", { "-id", windowId, "WM_STATE" }).out.contains("Iconic");
}

namespace
{

// The numbers of a property that xprop prints as "NAME(CARDINAL) = 1, 2, 3".
QList<int> propertyNumbers(const QStringList& xpropArgs)
{
    QList<int> numbers;
    const QString list = QString::fromUtf8(run("xprop", xpropArgs).out).section('=', 1);
    for (const QString& n : list.split(',', Qt::SkipEmptyParts)) {
        numbers << n.trimmed().toInt();
    }
    return numbers;
}

} // namespace

QMargins frameExtents(const QString& windowId)
{
    const QList<int> n = propertyNumbers({ "-id", windowId, "_NET_FRAME_EXTENTS" });
    if (n.size() != 4) {
        return {};
    }
    return { n[0], n[2], n[1], n[3] };
}

QString activeWindow()
{
    const Result r = run("xdotool", { "getactivewindow" });
    return QString::fromUtf8(r.out).trimmed();
}

QRect workArea()
{
    const QList<int> n = propertyNumbers({ "-root", "-notype", "_NET_WORKAREA" });
    if (n.size() < 4) {
        return {};
    }
    return { n[0], n[1], n[2], n[3] };
}

QPoint centredIn(const QRect& area, QSize size)
{
    // Halves round to even, as the program's placement rounds them.
    return { static_cast<int>(std::nearbyint(area.x() + (area.width() - size.width()) / 2.0)),
             static_cast<int>(std::nearbyint(area.y() + (area.height() - size.height()) / 2.0)) };
}

bool composited()
{
    return run(testdeskBinary(), { "composited" }).exitCode == 0;
}

QPoint controlAt(const QRect& frame, QPoint control, double scale)
{
    return frame.topLeft() + QPoint(qRound(control.x() * scale), qRound(control.y() * scale));
}

void clickControl(const QRect& frame, QPoint control, int button)
{
    click(controlAt(frame, control), button);
}

const QByteArray kAppendedIni =
  "[sKyMoj]\r\ncopi=C\r\nsave=V\r\nzoom=W\r\nmini=S\r\nclos=X\r\n[kii]\r\nfontcolor=-10496\r\n";
const QByteArray kDefaultIni = "[botan]\r\ncolor=-16776961\r\n" + kAppendedIni;

QRect screenRect()
{
    const Result r = run("xdotool", { "getdisplaygeometry" });
    const QStringList parts = QString::fromUtf8(r.out).split(' ', Qt::SkipEmptyParts);
    return { 0, 0, parts.value(0).toInt(), parts.value(1).toInt() };
}

int countWindows(const QString& nameRegex)
{
    const Result r = searchWindows(nameRegex, false, 2000);
    return QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts).size();
}

QColor glowOnScreen(const QRect& frame)
{
    const QPoint at = frame.topLeft() + kGlowPixel;
    QColor seen;
    waitFor([&] {
        seen = screenshot(QRect(at, QSize(1, 1))).pixelColor(0, 0);
        return (seen.rgb() & 0xFFFFFF) != testdesk::patternRgb(at.x(), at.y());
    });
    return seen;
}

bool isRed(const QColor& glow)
{
    return glow.red() > glow.blue() + 40 && glow.red() > glow.green() + 40;
}

bool isBlue(const QColor& glow)
{
    return glow.blue() > glow.red() + 40 && glow.blue() > glow.green() + 40;
}

void pointerTo(int x, int y)
{
    // Not "mousemove --sync": it waits for the pointer to move, forever if it is already there.
    run("xdotool", { "mousemove", QString::number(x), QString::number(y) });
    const QByteArray there = QString("x:%1 y:%2 ").arg(x).arg(y).toUtf8();
    waitFor([&] { return run("xdotool", { "getmouselocation" }).out.startsWith(there); });
}

void click(int x, int y, int button)
{
    pointerTo(x, y);
    run("xdotool", { "click", QString::number(button) });
}

void click(QPoint at, int button)
{
    click(at.x(), at.y(), button);
}

void ctrlClick(QPoint at)
{
    pointerTo(at.x(), at.y());
    run("xdotool", { "keydown", "ctrl", "click", "1", "keyup", "ctrl" });
}

void drag(QPoint from, QPoint to)
{
    pointerTo(from.x(), from.y());
    run("xdotool", { "mousedown", "1" });
    const int steps = 8;
    for (int i = 1; i <= steps; ++i) {
        const QPoint p = from + (to - from) * i / steps;
        run("xdotool", { "mousemove", QString::number(p.x()), QString::number(p.y()) });
    }
    run("xdotool", { "mouseup", "1" });
}

void key(const QString& keys)
{
    run("xdotool", { "key", keys });
}

bool pressShortcut(const QString& letter, const std::function<bool()>& done, int timeoutMs)
{
    run("xdotool", { "keydown", "ctrl", "alt", letter });
    const bool held = waitFor(done, timeoutMs);
    run("xdotool", { "keyup", letter, "alt", "ctrl" });
    return held;
}

std::optional<QString> pressShortcut(const QString& letter, const QString& nameRegex, int timeoutMs)
{
    std::optional<QString> window;
    pressShortcut(
      letter, [&] { return (window = visibleWindow(nameRegex)).has_value(); }, timeoutMs);
    return window;
}

bool dismiss(const QString& window, const QString& keyName)
{
    return waitFor(
      [&] {
          run("xdotool", { "key", "--window", window, keyName });
          // xdotool presses the key for real when the window has the keyboard, and may not
          // release it when the window vanishes at the press: it must not stay down.
          run("xdotool", { "keyup", keyName });
          return waitFor([&] { return !viewable(window); }, 500);
      },
      8000);
}

void typeFileName(const QString& dialog, const QString& path, int delayMs)
{
    run("xdotool", { "windowactivate", "--sync", dialog });
    key("ctrl+a");
    run("xdotool", { "type", "--delay", QString::number(delayMs), path });
}

std::optional<QImage> clipboardImage(const QString& target, int timeoutMs)
{
    const Result r = run("xclip", { "-selection", "clipboard", "-o", "-t", target }, timeoutMs);
    if (!r.finished || r.exitCode != 0) {
        return std::nullopt;
    }
    QImage image;
    if (!image.loadFromData(r.out)) {
        return std::nullopt;
    }
    return image;
}

std::optional<QImage> clipboardPng(int timeoutMs)
{
    return clipboardImage("image/png", timeoutMs);
}

void setClipboardText(const QString& text)
{
    // xclip stays behind to serve the selection; it ends when another program takes it over.
    QProcess::startDetached("sh",
                            { "-c", "printf %s \"$0\" | xclip -selection clipboard -i", text });
    waitFor([&] {
        const Result r = run("xclip", { "-selection", "clipboard", "-o" });
        return r.finished && QString::fromUtf8(r.out) == text;
    });
}

QByteArray clipboardTargets()
{
    return run("xclip", { "-selection", "clipboard", "-o", "-t", "TARGETS" }).out;
}

QImage screenshot(const QRect& area)
{
    const QString crop =
      QString("%1x%2+%3+%4").arg(area.width()).arg(area.height()).arg(area.x()).arg(area.y());
    const Result r = run("import", { "-silent", "-window", "root", "-crop", crop, "png:-" });
    QImage image;
    image.loadFromData(r.out, "PNG");
    return image.convertToFormat(QImage::Format_RGB32);
}

QString comparePicture(const QImage& picture,
                       int left,
                       int top,
                       const std::function<uint32_t(int, int)>& expected)
{
    const QImage img = picture.convertToFormat(QImage::Format_ARGB32);
    int differences = 0;
    QString first;
    for (int y = 0; y < img.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            const uint32_t want = expected(left + x, top + y) | 0xFF000000u;
            if (line[x] != want) {
                if (differences++ == 0) {
                    first = QString("pixel (%1, %2) is %3, expected %4")
                              .arg(x)
                              .arg(y)
                              .arg(line[x], 8, 16, QChar('0'))
                              .arg(want, 8, 16, QChar('0'));
                }
            }
        }
    }
    if (differences == 0) {
        return {};
    }
    return QString("%1 of %2 pixels differ; first: %3")
      .arg(differences)
      .arg(img.width() * img.height())
      .arg(first);
}

QRect pictureArea(const QRect& frame)
{
    return { frame.x() + 2, frame.y() + 3, frame.width() - 4, frame.height() - 4 };
}

QString compareCopy(const QImage& picture, const QRect& frame)
{
    const QRect area = pictureArea(frame);
    const QSize size = area.size();
    if (picture.size() != size) {
        return QString("the picture is %1 x %2, expected %3 x %4")
          .arg(picture.width())
          .arg(picture.height())
          .arg(size.width())
          .arg(size.height());
    }
    const QRect screen = screenRect();
    return comparePicture(picture, area.x(), area.y(), [&](int x, int y) {
        return screen.contains(x, y) ? testdesk::patternRgb(x, y) : 0u;
    });
}

QString copyByShortcutProblem(const QRect& frame)
{
    const auto box = pressShortcut("c", "^情報$");
    if (!box) {
        return "Ctrl+Alt+C brought no confirmation";
    }
    const auto picture = clipboardPng();
    if (!dismiss(*box)) {
        return "the confirmation did not go away";
    }
    if (!picture) {
        return "no image/png on the clipboard";
    }
    return compareCopy(*picture, frame);
}

std::optional<QByteArray> fileBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

void removeDeadXServerFiles(int number, qint64 serverPid)
{
    if (number < 0) {
        return;
    }
    const QString lock = QString("/tmp/.X%1-lock").arg(number);
    QFile lockFile(lock);
    if (lockFile.open(QIODevice::ReadOnly) &&
        lockFile.readAll().trimmed().toLongLong() == serverPid) {
        lockFile.close();
        QFile::remove(lock);
    }
    const QByteArray socketPath = QString("/tmp/.X11-unix/X%1").arg(number).toLocal8Bit();
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (probe < 0) {
        return;
    }
    const bool refused =
      ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno == ECONNREFUSED;
    ::close(probe);
    if (refused) {
        ::unlink(socketPath.constData());
    }
}

QString ombrixBinary()
{
    const QString other = qEnvironmentVariable("OMBRIX_E2E_BINARY");
    return other.isEmpty() ? QStringLiteral(OMBRIX_BINARY) : other;
}

QString testdeskBinary()
{
    return QStringLiteral(TESTDESK_BINARY);
}

QStringList notInstalled(const QStringList& programs)
{
    QStringList missing;
    for (const QString& program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty()) {
            missing << program;
        }
    }
    return missing;
}

Ombrix::Ombrix()
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
}

Ombrix::~Ombrix()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(3000);
    }
    // Writable again, so that the folder can be removed.
    QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

qint64 processStatusKb(qint64 pid, const QByteArray& field)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            bool ok = false;
            const qint64 kb = line.mid(field.size()).trimmed().split(' ').value(0).toLongLong(&ok);
            return ok ? kb : -1;
        }
    }
    return -1;
}

std::optional<QString> messageText(const QString& titleRegex, int timeoutMs)
{
    const auto box = findWindow(titleRegex, timeoutMs);
    if (!box) {
        return std::nullopt;
    }
    return copiedText([&] {
        if (run("xdotool", { "windowactivate", "--sync", *box }).exitCode != 0) {
            run("xdotool", { "windowfocus", "--sync", *box }, 3000);
        }
        key("ctrl+c");
    });
}

std::optional<QString> copiedText(const std::function<void()>& copy, int timeoutMs)
{
    setClipboardText("-");
    copy();
    QString text;
    const bool copied = waitFor(
      [&] {
          const Result r = run("xclip", { "-selection", "clipboard", "-o" });
          text = QString::fromUtf8(r.out);
          return text != "-" && !text.isEmpty();
      },
      timeoutMs);
    if (!copied) {
        return std::nullopt;
    }
    return text;
}

std::optional<QByteArray> Ombrix::iniBytes() const
{
    return fileBytes(iniPath());
}

bool Ombrix::start(const StartOptions& options)
{
    // The Windows build runs under Wine (its prefix and settings come from the environment).
    const bool windows = ombrixBinary().endsWith(".exe", Qt::CaseInsensitive);
    const QString binary = dir_.filePath(windows ? "Ombrix.exe" : "Ombrix");
    if (!QFile::exists(binary) && !QFile::copy(ombrixBinary(), binary)) {
        return false;
    }
    if (options.ini && !writeFile(iniPath(), *options.ini)) {
        return false;
    }
    QString program = windows ? QStringLiteral("wine") : binary;
    QStringList args;
    if (windows) {
        args << binary;
    }
    // Qt's own settings (the save dialog's history, written as the program ends) stay in the
    // folder: in the user's shared ~/.config, one program killed while it held that file's lock
    // makes every other one wait 30 s on its way out.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString configHome = dir_.filePath("config");
    if (!QDir().mkpath(configHome)) {
        return false;
    }
    env.insert("XDG_CONFIG_HOME", configHome);
    for (const auto& [name, value] : options.env) {
        env.insert(name, value);
    }
    if (options.asOrdinaryUser && geteuid() == 0) {
        // nobody owns the folder, so only the permissions below stand in its way.
        for (const QString& p : { dir_.path(), binary, iniPath(), configHome }) {
            if (QFile::exists(p) && chown(QFile::encodeName(p).constData(), 65534, 65534) != 0) {
                return false;
            }
        }
        program = "setpriv";
        args = { "--reuid=65534", "--regid=65534", "--clear-groups", "--", binary };
        env.insert("HOME", dir_.path());
        env.remove("XDG_RUNTIME_DIR");
    }
    process_.setProcessEnvironment(env);
    QFile::setPermissions(dir_.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                            QFile::ExeOther);
    if (options.iniReadOnly) {
        QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    }
    if (options.iniUnreadable) {
        QFile::setPermissions(iniPath(), QFile::Permissions());
    }
    if (options.configHomeReadOnly) {
        QFile::setPermissions(configHome,
                              QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    }
    if (options.folderReadOnly) {
        QFile::setPermissions(dir_.path(),
                              QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    }
    process_.setWorkingDirectory(dir_.path());
    process_.start(program, args);
    if (!process_.waitForStarted(5000)) {
        return false;
    }
    // Our own instance's frame. setpriv runs the program in its own process, so the frame's
    // process id is the one we started either way.
    const QString pid = QString::number(process_.processId());
    return waitFor(
      [&] {
          const Result r =
            run("xdotool", { "search", "--onlyvisible", "--pid", pid, "--name", "^Form1$" });
          windowId_ = QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts).value(0);
          return !windowId_.isEmpty();
      },
      10000);
}

QRect Ombrix::geometry() const
{
    return windowGeometry(windowId_).value_or(QRect());
}

bool Ombrix::moveTo(int x, int y)
{
    const QPoint target(x, y);
    const QPoint from = geometry().topLeft();
    run("xdotool", { "windowmove", "--sync", windowId_, QString::number(x), QString::number(y) });
    // Done once the window stands there, or has gone somewhere else (where the manager put it).
    if (!waitFor(
          [&] {
              const QPoint now = geometry().topLeft();
              return now == target || now != from;
          },
          2000)) {
        return false;
    }
    if (waitFor([&] { return geometry().topLeft() == target; }, 100)) {
        return true;
    }
    // A window manager that puts the window below its title bar (awesome), or inside its
    // border, places the frame where asked: asked once more, less that offset.
    const QPoint offset = geometry().topLeft() - target;
    const QPoint asked = target - offset;
    run("xdotool",
        { "windowmove",
          "--sync",
          windowId_,
          QString::number(asked.x()),
          QString::number(asked.y()) });
    return waitFor([&] { return geometry().topLeft() == target; });
}

bool Ombrix::waitFinished(int timeoutMs)
{
    return process_.state() == QProcess::NotRunning || process_.waitForFinished(timeoutMs);
}

OtherWindow::~OtherWindow()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

bool OtherWindow::start(const QRect& where)
{
    process_.start(testdeskBinary(),
                   { "window",
                     QString::number(where.x()),
                     QString::number(where.y()),
                     QString::number(where.width()),
                     QString::number(where.height()) });
    if (!process_.waitForStarted(5000)) {
        return false;
    }
    const bool ready = waitFor([&] {
        process_.waitForReadyRead(10);
        buffer_ += process_.readAllStandardOutput();
        return buffer_.contains("ready");
    });
    if (!ready) {
        return false;
    }
    const int at = buffer_.indexOf("ready ");
    windowId_ = QString::fromUtf8(buffer_.mid(at + 6, buffer_.indexOf('\n', at) - at - 6));
    // Placed where we asked and painted, as a user would see it (the test keeps the window's
    // top-left corner clear of anything drawn above it).
    const QRect corner(where.topLeft(), QSize(3, 3));
    return waitFor([&] {
        return geometry() == where &&
               comparePicture(screenshot(corner), where.x(), where.y(), testdesk::windowRgb)
                 .isEmpty();
    });
}

QRect OtherWindow::geometry() const
{
    return windowGeometry(windowId_).value_or(QRect());
}

QStringList OtherWindow::presses()
{
    process_.waitForReadyRead(10);
    buffer_ += process_.readAllStandardOutput();
    QStringList result;
    for (const QByteArray& line : buffer_.split('\n')) {
        if (line.startsWith("press ")) {
            result << QString::fromUtf8(line.mid(6));
        }
    }
    return result;
}

} // namespace e2e
