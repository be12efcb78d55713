#pragma once
// Helpers for driving the real program on a real X server, as a user would: start it in a
// scratch folder, find its windows, click and type with xdotool, read the clipboard with xclip.

#include <QByteArray>
#include <QImage>
#include <QMargins>
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

void click(int x, int y, int button = 1);
void key(const QString& keys);

// The clipboard's image/png, as another program reads it.
std::optional<QImage> clipboardPng(int timeoutMs = 5000);
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

QString ombrixBinary();
QString testdeskBinary();

// Reads the text of a message box of the program: Ctrl+C on it, then the clipboard.
std::optional<QString> messageText(const QString& titleRegex, int timeoutMs = 5000);

struct StartOptions {
    std::optional<QByteArray> ini; // Ombrix.ini's bytes, when there is to be one
    bool iniReadOnly = false;
    bool folderReadOnly = false;
    // Run as an ordinary user (nobody) when the tests run as root, so that permissions hold.
    bool asOrdinaryUser = false;
};

// The real program, copied into a folder of its own (its settings live beside it).
class Ombrix
{
public:
    Ombrix();
    ~Ombrix();
    bool start(const StartOptions& options = {});
    QString iniPath() const { return dir_.filePath("Ombrix.ini"); }
    std::optional<QByteArray> iniBytes() const;
    bool running() const { return process_.state() != QProcess::NotRunning; }
    QString windowId() const { return windowId_; }
    QRect geometry() const;
    bool moveTo(int x, int y);
    bool waitFinished(int timeoutMs = 5000);
    int exitCode() const { return process_.exitCode(); }
    QString folder() const { return dir_.path(); }
    QByteArray output();

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
