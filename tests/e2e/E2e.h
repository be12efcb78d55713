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
// The same, as the screen is now: no wait.
std::optional<QString> visibleWindow(const QString& nameRegex);
bool windowGone(const QString& nameRegex, int timeoutMs = 5000);
// What xwininfo tells of a window; none when the window is not there.
struct WindowState {
    QRect geometry;        // the client area, on the root
    bool viewable = false; // on the screen: mapped, and its parents too
};
std::optional<WindowState> windowState(const QString& windowId);
std::optional<QRect> windowGeometry(const QString& windowId);
bool viewable(const QString& windowId);
// Whether the window manager keeps the window minimised.
bool minimised(const QString& windowId);
// Left, top, right and bottom of the window manager's frame around a window.
QMargins frameExtents(const QString& windowId);
QString activeWindow();
// The window manager's work area on the current desktop.
QRect workArea();
// The top-left of a window of `size` centred on `area` (halves rounded to even).
QPoint centredIn(const QRect& area, QSize size);
// Whether a compositing manager draws the screen.
bool composited();

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

// Where a control of the frame is on the screen: the frame's window at device pixels `frame`,
// the control at logical pixels of a program that scales by `scale`.
QPoint controlAt(const QRect& frame, QPoint control, double scale = 1);
void clickControl(const QRect& frame, QPoint control, int button = 1);

// What a close appends to a settings file that lacks the letters and the key colour.
extern const QByteArray kAppendedIni;
// Ombrix.ini as the program writes it from scratch with the default settings.
extern const QByteArray kDefaultIni;

QRect screenRect();
int countWindows(const QString& nameRegex);

// The glow pixel of a frame on the screen, once the frame has been painted there.
QColor glowOnScreen(const QRect& frame);
// A glow of that colour: its channel stands well above the other two.
bool isRed(const QColor& glow);
bool isBlue(const QColor& glow);

// Puts the pointer at (x, y) and waits until it is there.
void pointerTo(int x, int y);
void click(int x, int y, int button = 1);
void click(QPoint at, int button = 1);
void ctrlClick(QPoint at);
// A left-button drag from `from` to `to` in small steps, as a hand would.
void drag(QPoint from, QPoint to);
void key(const QString& keys);
// Ctrl+Alt+letter held down until `done` holds (or `timeoutMs` passes), as a hand holds it: the
// program reads the keyboard's state, and a press and release sent at once can pass between two
// readings. True when `done` held.
bool pressShortcut(const QString& letter, const std::function<bool()>& done, int timeoutMs = 5000);
// The same until a window whose name matches `nameRegex` shows: that window.
std::optional<QString> pressShortcut(const QString& letter,
                                     const QString& nameRegex,
                                     int timeoutMs = 5000);
// Presses `keyName` on a window (Return on a message box, Escape on a dialog) until the window
// has gone from the screen. The key is sent to the window itself: it needs no focus.
bool dismiss(const QString& window, const QString& keyName = QStringLiteral("Return"));
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
// The part of the screen that a copy of the frame at `frame` (its window) takes: within its lines.
QRect pictureArea(const QRect& frame);
// The same for a copy (or save) of `frame` over the test pattern: the pixels within its lines,
// black where they lie off the screen; a picture of another size is a difference too.
QString compareCopy(const QImage& picture, const QRect& frame);
// Copies `frame` with Ctrl+Alt+C as a user does (the confirmation read off the clipboard and
// dismissed) and compares the picture: empty when all went right, otherwise what went wrong.
QString copyByShortcutProblem(const QRect& frame);

// A file's bytes; none when it cannot be read.
std::optional<QByteArray> fileBytes(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);

// Removes what an X server of ours on display `number` left behind when it was killed: its lock
// file when it still names `serverPid`, and its socket once nothing answers there (the number
// may be someone else's by now).
void removeDeadXServerFiles(int number, qint64 serverPid);

// The program built with the tests; OMBRIX_E2E_BINARY names another build of it instead (an
// Ombrix.exe runs under Wine).
QString ombrixBinary();
QString testdeskBinary();
// Those of `programs` that are not installed.
QStringList notInstalled(const QStringList& programs);

// A figure of the process's /proc status, in kB ("VmRSS:", "VmHWM:", "RssShmem:"); -1 when
// the process or the figure is not there.
qint64 processStatusKb(qint64 pid, const QByteArray& field);

// Reads the text of a message box of the program: Ctrl+C on it, then the clipboard. The box is
// given the keyboard through the window manager, or directly where none runs.
std::optional<QString> messageText(const QString& titleRegex, int timeoutMs = 5000);
// The text that `copy` puts on the clipboard (a Ctrl+C somewhere); none when nothing came.
std::optional<QString> copiedText(const std::function<void()>& copy, int timeoutMs = 5000);

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
    // Starts the program; again once it has ended, in the same folder, where what the last run
    // left stays.
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
