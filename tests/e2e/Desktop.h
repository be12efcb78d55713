#pragma once
// A desktop of a test's own: an X server of a chosen kind, size and depth on a free display
// number, with RandR monitors, a resolution in the resource database, a window manager and a
// compositing manager as asked, and the test pattern on its root. Everything it starts is
// stopped again with it. While it runs, this process's DISPLAY and the session's other
// variables name it, so that the helpers of E2e.h, and the programs they start, work there.

#include <QImage>
#include <QList>
#include <QPair>
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <vector>

class QProcess;

namespace e2e
{

struct DesktopKind {
    enum class Server {
        Xvfb,
        Xvnc, // TigerVNC's server: a screen whose size can change while programs run
    };
    Server server = Server::Xvfb;
    QSize size{ 1920, 1080 };
    int depth = 24;
    // RandR monitors, in the order the server is to list them; none: the server's own one.
    QList<QRect> monitors;
    int xftDpi = 0; // Xft.dpi in the resource database; 0: not set
    // openbox, icewm, fluxbox, xfwm4, mutter (GNOME), kwin_x11 (Plasma), muffin (Cinnamon),
    // marco (MATE), i3, bspwm, herbstluftwm, xmonad or awesome; empty for none.
    QString windowManager = QStringLiteral("openbox");
    bool windowManagerComposites = false; // xfwm4's own compositor
    // A compositing manager's command line; empty for none.
    QStringList compositor;
};

class Desktop
{
public:
    Desktop();
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // Starts the server and the rest, paints the pattern on the root, and points this process
    // at it. On failure, error() says what went wrong; stop() (or the destructor) clears up
    // whatever had started.
    bool start(const DesktopKind& kind);
    void stop();
    QString error() const { return error_; }

    const DesktopKind& kind() const { return kind_; }
    QString display() const { return display_; }
    // What a program started on this desktop needs in its environment.
    QProcessEnvironment environment() const { return env_; }
    bool hasWindowManager() const { return !kind_.windowManager.isEmpty(); }
    // Whether the window manager tiles the windows it manages (i3, bspwm, herbstluftwm, xmonad).
    bool tiles() const;
    // Whether it takes a window off the screen when it asks to be minimised (the tiling ones
    // have no such thing).
    bool minimises() const { return hasWindowManager() && !tiles(); }
    // Whether the window manager keeps windows wholly on the screen, whatever they ask (GNOME's
    // mutter, KDE's KWin, and mutter's and metacity's descendants muffin and marco).
    bool keepsWindowsOnScreen() const;

    // As the server says now.
    QSize rootSize() const;
    QList<QRect> monitors() const;

    // What the screen shows there, read straight from the server (RGB32; at depth 16 each
    // channel's bits stand at the top of its byte).
    QImage screenPixels(const QRect& area) const;

    // Paints the test pattern as the root's background again and waits until the screen shows
    // it. (Under xcompmgr a repaint may never show: it can miss a change of the background.)
    bool paintPattern();
    // Changes the size of the screen (Xvnc), waits until the server has it, and paints the
    // pattern over the whole of it again.
    bool resize(QSize size);

    // Ends the X server with `signal` (the rest stops with the desktop); true once it has gone.
    bool killServer(int signal);

    // Names of the desktop's programs that ended on their own, with the end of their output.
    QString stoppedEarly() const;

    // Starts a program of the session (a clipboard manager, say), with the session's home and
    // cache folders; it is stopped with the desktop. False when it did not start.
    bool startProgram(const QStringList& command);
    // The window that owns the X selection `name` (CLIPBOARD, CLIPBOARD_MANAGER...); 0 when
    // none does.
    unsigned long selectionOwner(const QString& name) const;

private:
    struct Child {
        QString name;
        std::unique_ptr<QProcess> process;
        qint64 pid = 0; // also its process group's number
        QString log;
    };

    QProcess* startChild(const QString& name,
                         const QString& program,
                         const QStringList& args,
                         const QProcessEnvironment& env,
                         bool keepStdout = false);
    bool startServer();
    bool startBus();
    bool makeMonitors();
    bool setResources();
    bool startWindowManager();
    bool startCompositor();
    bool startPatternWindow();
    bool paintRoot();
    bool showsPattern();
    bool fail(const QString& what);
    QString logTail(const Child& child) const;
    void pointProcessHere();
    void restoreProcess();
    void removeLeftovers();

    DesktopKind kind_;
    QTemporaryDir dir_;
    std::vector<Child> children_; // in the order they started; stopped in reverse
    QString display_;
    int number_ = -1;
    qint64 serverPid_ = -1;
    QProcessEnvironment env_;
    QList<QPair<QByteArray, std::optional<QByteArray>>> savedVariables_;
    QString error_;
};

} // namespace e2e
