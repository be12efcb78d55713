#pragma once
// Helpers for driving the real program on a real X server, as a user would: start it in a
// scratch folder, find its windows, click and type with xdotool, read the clipboard with xclip.

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QList>
#include <QMargins>
#include <QPair>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>

namespace e2e
{

struct Result {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a command to its end, or kills it after `timeoutMs`.
Result run(const QString& program, const QStringList& args, int timeoutMs = 10000);

// Polls `condition` every 10 ms until it holds or `timeoutMs` passes.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000);

// The first visible window whose name matches the regular expression, waiting for it.
std::optional<QString> findWindow(const QString& nameRegex, int timeoutMs = 5000);
bool windowGone(const QString& nameRegex, int timeoutMs = 5000);
std::optional<QRect> windowGeometry(const QString& windowId);
// Left, top, right and bottom of the window manager's frame around a window.
QMargins frameExtents(const QString& windowId);
QString activeWindow();

// Where the frame's controls are, in the frame's own coordinates (centres).
constexpr QPoint kButtonC(40 + 11, 6 + 11);
constexpr QPoint kButtonV(62 + 11, 6 + 11);
constexpr QPoint kButtonW(84 + 11, 6 + 11);
constexpr QPoint kButtonA(40 + 11, 28 + 11);
constexpr QPoint kButtonS(62 + 11, 28 + 11);
constexpr QPoint kButtonX(84 + 11, 28 + 11);
constexpr QPoint kMoveHandle(2 + 15, 2 + 15);
// A pixel of the copy button's inner glow, one in from its left edge.
constexpr QPoint kGlowPixel(40 + 1, 6 + 11);

// Ombrix.ini as the program writes it from scratch with the default settings.
extern const QByteArray kDefaultIni;

QRect screenRect();
int countWindows(const QString& nameRegex);

// The glow pixel of a frame on the screen, once the frame has been painted there.
QColor glowOnScreen(const QRect& frame);

// Puts the pointer at (x, y) and waits until it is there.
void pointerTo(int x, int y);
void click(int x, int y, int button = 1);
// A left-button drag from `from` to `to` in small steps, as a hand would.
void drag(QPoint from, QPoint to);
void key(const QString& keys);
// Types `path` over the name the save dialog proposes (without pressing Return).
void typeFileName(const QString& dialog, const QString& path, int delayMs = 5);

// The clipboard's image/png, as another program reads it.
std::optional<QImage> clipboardPng(int timeoutMs = 5000);
// The clipboard's picture in another format ("image/bmp", which Wine offers).
std::optional<QImage> clipboardImage(const QString& target, int timeoutMs = 5000);
void setClipboardText(const QString& text);
QByteArray clipboardTargets();

// A screenshot of a part of the root window.
QImage screenshot(const QRect& area);

// Empty when every pixel of `picture` equals expected(left + x, top + y); otherwise the first
// difference, in words.
QString comparePicture(const QImage& picture,
                       int left,
                       int top,
                       const std::function<uint32_t(int, int)>& expected);

// Removes what an X server of ours on display `number` left behind when it was killed: its lock
// file when it still names `serverPid`, and its socket once nothing answers there (the number
// may be someone else's by now).
void removeDeadXServerFiles(int number, qint64 serverPid);

// The program built with the tests; OMBRIX_E2E_BINARY names another build of it instead (an
// Ombrix.exe runs under Wine).
QString ombrixBinary();
QString testdeskBinary();

// A figure of the process's /proc status, in kB ("VmRSS:", "VmHWM:", "RssShmem:"); -1 when
// the process or the figure is not there.
qint64 processStatusKb(qint64 pid, const QByteArray& field);

// Reads the text of a message box of the program: Ctrl+C on it, then the clipboard.
std::optional<QString> messageText(const QString& titleRegex, int timeoutMs = 5000);

struct StartOptions {
    std::optional<QByteArray> ini; // Ombrix.ini's bytes, when there is to be one
    bool iniReadOnly = false;
    bool iniUnreadable = false; // mode 000
    bool folderReadOnly = false;
    // The program's settings folder (XDG_CONFIG_HOME, made in the program's folder) read-only.
    bool configHomeReadOnly = false;
    // Run as an ordinary user (nobody) when the tests run as root, so that permissions hold.
    bool asOrdinaryUser = false;
    // Variables set for the program over the test's own environment (QT_SCALE_FACTOR, ...).
    QList<QPair<QString, QString>> env;
};

// The real program, copied into a folder of its own (its settings live beside it).
class Ombrix
{
public:
    Ombrix();
    ~Ombrix();
    bool start(const StartOptions& options = {});
    QString iniPath() const { return dir_.filePath("Ombrix.ini"); }
    // Where the settings go when they cannot be beside the program.
    QString configIniPath() const { return dir_.filePath("config/Ombrix/Ombrix.ini"); }
    std::optional<QByteArray> iniBytes() const;
    bool running() const { return process_.state() != QProcess::NotRunning; }
    qint64 pid() const { return process_.processId(); }
    QString windowId() const { return windowId_; }
    QRect geometry() const;
    bool moveTo(int x, int y);
    bool waitFinished(int timeoutMs = 5000);
    int exitCode() const { return process_.exitCode(); }
    bool crashed() const { return process_.exitStatus() == QProcess::CrashExit; }
    // What the program wrote (standard output and error together) since the last call.
    QByteArray output() { return process_.readAll(); }
    QString folder() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString windowId_;
};

// An ordinary window of another program, showing the inverted pattern.
class OtherWindow
{
public:
    ~OtherWindow();
    bool start(const QRect& where);
    QRect geometry() const;
    QStringList presses(); // "X Y" of each press seen so far

private:
    QProcess process_;
    QString windowId_;
    QByteArray buffer_;
};

} // namespace e2e
