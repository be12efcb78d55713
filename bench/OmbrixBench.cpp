// Ombrix's figures on the current X display, printed as one table: copy latency split into its
// steps, beside the X server's own read and the tools a user might pick instead; paste
// latency; save; corner zoom refresh; idle cost, memory and start-up of the real program.
// Prints figures only: it passes or fails nothing.
// `OmbrixBench save` prints only the file save's figures, beside the peers' captures;
// `OmbrixBench exit` the time the real program takes to end after its "X" button, on several
// kinds of session.

#include "Application.h"
#include "E2e.h"
#include "Globals.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "platform.h"

#include <QAbstractButton>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImageWriter>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSplitter>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{

struct Row {
    std::string name;
    std::vector<double> values;
    std::string unit;
};
std::vector<Row> g_rows;

// Put before every row's name (the desktop a run measures, when it is not the usual one).
std::string g_prefix;

void add(const std::string& name, std::vector<double> values, const std::string& unit = "ms")
{
    g_rows.push_back({ g_prefix + name, std::move(values), unit });
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double ms(qint64 ns)
{
    return ns / 1e6;
}

// Answers every confirmation as soon as it shows.
struct AutoConfirm {
    QTimer timer;
    AutoConfirm()
    {
        QObject::connect(&timer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                box->button(QMessageBox::Ok)->click();
            }
        });
        timer.start(1);
    }
};

// Runs a program to its end while our event loop goes on (we may be serving the clipboard).
double runTimed(const QString& program, const QStringList& args, QByteArray* out = nullptr)
{
    QProcess p;
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (!p.waitForStarted(5000)) {
        return -1;
    }
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    if (p.state() != QProcess::NotRunning) {
        loop.exec();
    }
    const double elapsed = t.nsecsElapsed() / 1e6;
    if (out) {
        *out = p.readAllStandardOutput();
    }
    return elapsed;
}

bool have(const QString& tool)
{
    return e2e::notInstalled({ tool }).isEmpty();
}

// The X server's own read of an area into shared memory: the limit for any capture here.
std::vector<double> shmReads(const QRect& area, int runs)
{
    Display* d = XOpenDisplay(nullptr);
    std::vector<double> times;
    if (!d || !XShmQueryExtension(d)) {
        return times;
    }
    XShmSegmentInfo info{};
    const int screen = DefaultScreen(d);
    XImage* image = XShmCreateImage(d,
                                    DefaultVisual(d, screen),
                                    DefaultDepth(d, screen),
                                    ZPixmap,
                                    nullptr,
                                    &info,
                                    area.width(),
                                    area.height());
    info.shmid = shmget(IPC_PRIVATE, image->bytes_per_line * image->height, IPC_CREAT | 0600);
    info.shmaddr = image->data = static_cast<char*>(shmat(info.shmid, nullptr, 0));
    info.readOnly = False;
    XShmAttach(d, &info);
    XSync(d, False);
    shmctl(info.shmid, IPC_RMID, nullptr);
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        XShmGetImage(d, DefaultRootWindow(d), image, area.x(), area.y(), AllPlanes);
        times.push_back(t.nsecsElapsed() / 1e6);
    }
    XShmDetach(d, &info);
    shmdt(info.shmaddr);
    image->data = nullptr;
    XDestroyImage(image);
    XCloseDisplay(d);
    return times;
}

qint64 residentKb(qint64 pid = QCoreApplication::applicationPid())
{
    return e2e::processStatusKb(pid, "VmRSS:");
}

void copyFigures(TForm1* frame, const QRect& geometry, const char* label, int runs)
{
    frame->setGeometry(geometry);
    QTest::qWait(300);
    std::vector<double> total, prepare, hide, settle, read, show, clip, paste, hands;
    AutoConfirm confirm;
    for (int i = 0; i < runs; ++i) {
        frame->clipCopi(frame);
        const GrabProfile& g = frame->lastGrab;
        total.push_back(ms(g.clipboard - g.start));
        prepare.push_back(ms(g.prepared - g.start));
        hide.push_back(ms(g.hidden - g.prepared));
        settle.push_back(ms(g.settled - g.hidden));
        read.push_back(ms(g.read - g.settled));
        show.push_back(ms(g.shown - g.read));
        clip.push_back(ms(g.clipboard - g.shown));
        // Another program reads the picture, straight after the copy.
        const double p = runTimed("xclip", { "-selection", "clipboard", "-o", "-t", "image/png" });
        paste.push_back(p);
        hands.push_back(ms(profileClock() - g.start));
        QTest::qWait(30);
    }
    const std::string l(label);
    add("copy " + l + ": total (click to clipboard)", total);
    add("copy " + l + ":   prepare (display, buffers)", prepare);
    add("copy " + l + ":   hide", hide);
    add("copy " + l + ":   settle", settle);
    add("copy " + l + ":   read", read);
    add("copy " + l + ":   show", show);
    add("copy " + l + ":   clipboard", clip);
    add("paste " + l + ": xclip -o -t image/png", paste);
    add("copy+paste " + l + ": click to picture in xclip", hands);
    const QRect inner(
      geometry.x() + 2, geometry.y() + 3, geometry.width() - 4, geometry.height() - 4);
    add("X server MIT-SHM read " + l, shmReads(inner, runs));
}

void peerFigures(const QRect& geometry, const char* label, int runs)
{
    const QRect a(geometry.x() + 2, geometry.y() + 3, geometry.width() - 4, geometry.height() - 4);
    const QString g = QString("%1x%2+%3+%4").arg(a.width()).arg(a.height()).arg(a.x()).arg(a.y());
    const QString l(label);
    struct Peer {
        const char* tool;
        QString name;
        QString command;
    };
    QTemporaryDir dir;
    const QString file = dir.filePath("shot.png");
    const Peer peers[] = {
        { "maim",
          "maim -g | xclip",
          QString("maim -g %1 | xclip -selection clipboard -t image/png").arg(g) },
        { "scrot",
          "scrot -a (file) | xclip",
          QString("rm -f %1; scrot -o -a %2,%3,%4,%5 %1 && xclip -selection clipboard -t "
                  "image/png < %1")
            .arg(file)
            .arg(a.x())
            .arg(a.y())
            .arg(a.width())
            .arg(a.height()) },
        { "import",
          "import -crop | xclip",
          QString("import -silent -window root -crop %1 png:- | xclip -selection clipboard -t "
                  "image/png")
            .arg(g) },
    };
    for (const Peer& p : peers) {
        if (!have(p.tool)) {
            continue;
        }
        std::vector<double> times, hands;
        for (int i = 0; i < runs; ++i) {
            const double t = runTimed("sh", { "-c", p.command });
            times.push_back(t);
            hands.push_back(
              t + runTimed("xclip", { "-selection", "clipboard", "-o", "-t", "image/png" }));
        }
        add(("peer " + l + ": " + p.name).toStdString(), times);
        add(("peer " + l + ": " + p.name + " + xclip -o").toStdString(), hands);
    }
}

// A screen as users mostly save it: a window of text, a file list and a table in Liberation
// Sans and Mono on a gradient desktop. The text is made up, the same at every run.
class WindowWithText : public QWidget
{
public:
    explicit WindowWithText(const QRect& screen)
    {
        setWindowFlag(Qt::FramelessWindowHint);
        setGeometry(screen);
        quint32 state = 99;
        auto next = [&state](quint32 n) {
            state = state * 1664525u + 1013904223u;
            return (state >> 8) % n;
        };
        const char* const words[] = { "picture", "frame", "const", "int",    "return", "width",
                                      "height",  "save",  "if",    "QImage", "rows",   "auto",
                                      "for",     "file",  "copy",  "(",      ")",      "=",
                                      "->",      "0",     "1",     "{",      "}",      "&&" };
        QString code;
        for (int line = 0; line < 120; ++line) {
            code += QString(4 * static_cast<int>(next(4)), u' ');
            for (quint32 w = 0, n = 2 + next(9); w < n; ++w) {
                code += QString::fromLatin1(words[next(std::size(words))]) + u' ';
            }
            code += u";\n";
        }
        auto* files = new QTreeWidget;
        files->setHeaderLabels({ "Name", "Size", "Modified" });
        for (int i = 0; i < 60; ++i) {
            files->addTopLevelItem(
              new QTreeWidgetItem({ QString("%1_%2.cpp").arg(words[next(12)]).arg(i),
                                    QString("%1 kB").arg(next(900)),
                                    QString("2025-%1-%2 %3:%4")
                                      .arg(1 + next(12), 2, 10, QChar('0'))
                                      .arg(1 + next(28), 2, 10, QChar('0'))
                                      .arg(next(24), 2, 10, QChar('0'))
                                      .arg(next(60), 2, 10, QChar('0')) }));
        }
        files->setColumnWidth(0, 180);
        auto* editor = new QPlainTextEdit(code);
        editor->setFont(QFont("Liberation Mono", 10));
        auto* table = new QTableWidget(50, 5);
        for (int r = 0; r < 50; ++r) {
            for (int c = 0; c < 5; ++c) {
                table->setItem(r, c, new QTableWidgetItem(QString::number(next(100000) / 100.0)));
            }
        }
        auto* split = new QSplitter;
        split->addWidget(files);
        split->addWidget(editor);
        split->addWidget(table);
        split->setSizes({ 420, 900, 420 });
        auto* window = new QWidget(this);
        auto* layout = new QVBoxLayout(window);
        layout->addWidget(new QLabel("picture.cpp - Editor"));
        layout->addWidget(split, 1);
        auto* buttons = new QHBoxLayout;
        for (const char* b : { "Build", "Run", "Debug", "Close" }) {
            buttons->addWidget(new QPushButton(b));
        }
        layout->addLayout(buttons);
        window->setAutoFillBackground(true);
        window->setGeometry(screen.adjusted(90, 70, -90, -110).translated(-screen.topLeft()));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        QLinearGradient desktop(0, 0, width(), height());
        desktop.setColorAt(0, QColor(30, 60, 110));
        desktop.setColorAt(1, QColor(120, 40, 90));
        p.fillRect(rect(), desktop);
        p.setPen(QColor(255, 255, 255, 90));
        for (int i = 0; i < 12; ++i) {
            p.drawLine(0, height() - 80 + i * 5, width(), height() - 100 + i * 7);
        }
    }
};

// Writes the picture as the file save does, `runs` times: time and file size, our PNG beside
// Qt's own PNG writer (which the save used before).
void saveFigures(TForm1& frame, const std::string& label, int runs, bool jpeg)
{
    QTemporaryDir dir;
    auto measure = [&](const std::string& row, const QString& ext, auto&& save) {
        std::vector<double> times;
        qint64 size = 0;
        for (int i = 0; i < runs; ++i) {
            const QString file = dir.filePath(QString("save%1.%2").arg(i).arg(ext));
            QElapsedTimer t;
            t.start();
            save(file);
            times.push_back(t.nsecsElapsed() / 1e6);
            size = QFileInfo(file).size();
        }
        add("save full screen (" + label + ") " + row, times);
        add("save full screen (" + label + ") " + row + ": file size", { size / 1024.0 }, "kB");
    };
    auto byFrame = [&frame](const QString& file) { frame.saveBitmap(file); };
    measure("as png", "png", byFrame);
    if (jpeg) {
        measure("as jpg", "jpg", byFrame);
    }
    measure("as png by Qt's writer", "png", [](const QString& file) {
        QSaveFile out(file);
        out.open(QIODevice::WriteOnly);
        QImageWriter(&out, "PNG").write(*gazoBmp);
        out.commit();
    });
}

// The frame's picture of what is on the screen now, as the file save takes it.
void grabScreen(TForm1& frame, const QRect& screen)
{
    frame.setGeometry(screen);
    QTest::qWait(300);
    frame.gamenGetModo(&frame);
    frame.gazoCopy(&frame);
    syoriChu = false;
}

// The save of the calm and the noisy desktop and of a window with text; the peers' captures of
// the same screens, those of the desktops unless they are measured already.
void saveAndPeerFigures(TForm1& frame,
                        const QRect& screen,
                        int runs,
                        int peerRuns,
                        bool desktopPeers)
{
    const QString testdesk = e2e::testdeskBinary();
    QProcess::execute(testdesk, { "root" });
    if (desktopPeers) {
        peerFigures(screen, "full screen, calm", peerRuns);
    }
    grabScreen(frame, screen);
    saveFigures(frame, "calm", runs, true);

    QProcess::execute(testdesk, { "noise" });
    if (desktopPeers) {
        peerFigures(screen, "full screen, noisy", peerRuns);
    }
    grabScreen(frame, screen);
    saveFigures(frame, "noisy", runs, false);
    QProcess::execute(testdesk, { "root" });

    WindowWithText text(screen);
    text.show();
    if (!QTest::qWaitForWindowExposed(&text)) {
        std::fprintf(stderr, "the window with text did not appear\n");
    }
    frame.raise();
    QTest::qWait(500);
    peerFigures(screen, "full screen, window with text", peerRuns);
    grabScreen(frame, screen);
    saveFigures(frame, "window with text", runs, false);
}

// The frame of a running Ombrix (the top-level window named Form1), under the root or under a
// window manager's frame around it; 0 when there is none.
Window findFrame(Display* d, Window w = 0, int depth = 0)
{
    if (w == 0) {
        w = DefaultRootWindow(d);
    }
    char* name = nullptr;
    if (XFetchName(d, w, &name) && name) {
        const bool match = std::string(name) == "Form1";
        XFree(name);
        if (match) {
            return w;
        }
    }
    if (depth > 2) {
        return 0;
    }
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, w, &root, &parent, &children, &n)) {
        return 0;
    }
    Window found = 0;
    for (unsigned i = 0; i < n && !found; ++i) {
        found = findFrame(d, children[i], depth + 1);
    }
    if (children) {
        XFree(children);
    }
    return found;
}

bool viewable(Display* d, Window w)
{
    XWindowAttributes attr;
    return w && XGetWindowAttributes(d, w, &attr) && attr.map_state == IsViewable;
}

// The real program: from its start to its frame on the screen, then its idle cost.
void programFigures(const QString& binary, int idleSeconds, int copies)
{
    Display* d = XOpenDisplay(nullptr);
    std::vector<double> startups;
    QTemporaryDir dir;
    const QString copy = dir.filePath("Ombrix");
    QFile::copy(binary, copy);
    auto frameViewable = [&]() { return viewable(d, findFrame(d)); };
    qint64 pid = 0;
    for (int i = 0; i < 5; ++i) {
        QProcess* p = new QProcess;
        QElapsedTimer t;
        t.start();
        p->start(copy, {});
        while (!frameViewable() && t.elapsed() < 10000) {
            usleep(500);
        }
        startups.push_back(t.nsecsElapsed() / 1e6);
        if (i < 4) {
            p->kill();
            p->waitForFinished();
            delete p;
            while (frameViewable()) {
                usleep(1000);
            }
        } else {
            pid = p->processId();
        }
    }
    add("start-up: process start to frame on screen", startups);

    auto cpuTicks = [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string s((std::istreambuf_iterator<char>(stat)), {});
        // utime and stime: fields 14 and 15, after the ")" that ends the command name.
        std::istringstream rest(s.substr(s.rfind(')') + 2));
        std::string field;
        long long utime = 0, stime = 0;
        for (int f = 3; f <= 15 && rest >> field; ++f) {
            if (f == 14) {
                utime = std::stoll(field);
            } else if (f == 15) {
                stime = std::stoll(field);
            }
        }
        return utime + stime;
    };
    QThread::sleep(1);
    add("program resident memory after start", { residentKb(pid) / 1024.0 }, "MB");
    const long long before = cpuTicks();
    QThread::sleep(static_cast<unsigned long>(idleSeconds));
    const long long after = cpuTicks();
    const double percent = (after - before) * 100.0 / sysconf(_SC_CLK_TCK) / idleSeconds;
    add("idle CPU over " + std::to_string(idleSeconds) + " s (% of one core)", { percent }, "%");

    // Copies by the shortcut, each confirmed with Return, as a user makes them.
    qint64 afterFirst = 0;
    int made = 0;
    for (int i = 0; i < copies; ++i) {
        const auto box = e2e::pressShortcut("c", "^情報$", 10000);
        if (!box || !e2e::dismiss(*box)) {
            break;
        }
        ++made;
        if (made == 5) {
            afterFirst = residentKb(pid);
        }
    }
    QThread::sleep(1);
    add("program resident memory after " + std::to_string(made) + " copies by shortcut",
        { residentKb(pid) / 1024.0 },
        "MB");
    add("program resident memory growth, copy 5 to " + std::to_string(made),
        { (residentKb(pid) - afterFirst) / 1024.0 },
        "MB");
    kill(static_cast<pid_t>(pid), SIGKILL);
    XCloseDisplay(d);
}

// What a user did before closing Ombrix with its "X" button.
enum class Before {
    Nothing,
    Copy,          // "C", the confirmation answered
    MaximisedCopy, // maximised over a screen of random pixels, then "C"
    SaveDialog,    // "V", the save dialog cancelled
    NameSelected,  // "V", the proposed name selected by keys (the program then holds the
                   // PRIMARY selection), the dialog cancelled
};

QPoint rootPosition(Display* d, Window w)
{
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    return { x, y };
}

// Starts Ombrix, does `before`, clicks "X": the time from the frame's leaving the screen to the
// process's end, in ms; negative when a step did not work.
double timeExit(Display* d, const QString& program, const QProcessEnvironment& env, Before before)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, {});
    Window frame = 0;
    QElapsedTimer t;
    t.start();
    while (!viewable(d, frame = findFrame(d)) && t.elapsed() < 10000) {
        usleep(1000);
    }
    const auto fail = [&p](const char* what) {
        std::fprintf(stderr, "exit figures: %s\n", what);
        p.kill();
        p.waitForFinished();
        return -1.0;
    };
    if (!viewable(d, frame)) {
        return fail("the frame did not appear");
    }
    // The frame takes clicks once it has drawn itself and set its shape.
    QTest::qWait(300);
    QPoint at = rootPosition(d, frame);
    switch (before) {
        case Before::Nothing:
            break;
        case Before::MaximisedCopy: {
            e2e::ctrlClick(at + e2e::kMoveHandle);
            XWindowAttributes attr{};
            t.restart();
            while (XGetWindowAttributes(d, frame, &attr) &&
                   attr.width < DisplayWidth(d, DefaultScreen(d)) && t.elapsed() < 5000) {
                QThread::msleep(5);
            }
            if (attr.width < DisplayWidth(d, DefaultScreen(d))) {
                return fail("the frame did not maximise");
            }
            QTest::qWait(300);
            at = rootPosition(d, frame);
            [[fallthrough]];
        }
        case Before::Copy: {
            e2e::click(at + e2e::kButtonC);
            const auto box = e2e::findWindow("^情報$", 10000);
            if (!box || !e2e::dismiss(*box)) {
                return fail("no confirmation of the copy, or it did not go");
            }
            break;
        }
        case Before::SaveDialog:
        case Before::NameSelected: {
            e2e::click(at + e2e::kButtonV);
            const auto dialog = e2e::findWindow("^名前を付けて保存$", 10000);
            if (!dialog) {
                return fail("no save dialog");
            }
            if (before == Before::NameSelected) {
                e2e::run("xdotool",
                         { "windowactivate", "--sync", *dialog, "key", "End", "shift+Home" });
            }
            if (!e2e::dismiss(*dialog, "Escape")) {
                return fail("the save dialog did not go");
            }
            break;
        }
    }
    QTest::qWait(100);
    // No event loop of ours runs from the click on: the program's end is seen first by the
    // wait for it, when it happens.
    const QPoint close = rootPosition(d, frame) + e2e::kButtonX;
    QProcess click;
    click.start(
      "xdotool",
      { "mousemove", QString::number(close.x()), QString::number(close.y()), "click", "1" });
    QElapsedTimer clock;
    clock.start();
    while (viewable(d, frame) && clock.elapsed() < 10000) {
        usleep(200);
    }
    const qint64 gone = clock.nsecsElapsed();
    const bool ended = p.waitForFinished(20000);
    const qint64 end = clock.nsecsElapsed();
    click.waitForFinished(5000);
    if (!ended) {
        return fail("the program did not end");
    }
    return ms(end - gone);
}

// A session bus of the bench's own, as a desktop session has one; its address.
class SessionBus
{
public:
    SessionBus()
    {
        bus_.start("dbus-daemon", { "--session", "--nofork", "--print-address=1" });
        if (bus_.waitForStarted(5000)) {
            QElapsedTimer t;
            t.start();
            while (!address_.contains('\n') && t.elapsed() < 5000) {
                bus_.waitForReadyRead(50);
                address_ += bus_.readAllStandardOutput();
            }
            address_ = address_.trimmed();
        }
    }
    ~SessionBus()
    {
        bus_.terminate();
        bus_.waitForFinished(3000);
    }
    QString address() const { return QString::fromUtf8(address_); }

private:
    QProcess bus_;
    QByteArray address_;
};

Window selectionOwner(Display* d, const char* selection)
{
    return XGetSelectionOwner(d, XInternAtom(d, selection, False));
}

// From "X" to the process's end: plain, after a copy, after the save dialog; with and without a
// session bus, with the accessibility bridge on, under a compositing manager, and with each
// clipboard manager that is installed running.
void exitFigures(const QString& binary, int runs)
{
    Display* d = XOpenDisplay(nullptr);
    // A window gone between two looks is no error here.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    QTemporaryDir dir;
    const QString program = dir.filePath("Ombrix");
    QFile::copy(binary, program);
    SessionBus bus;
    QProcessEnvironment session = QProcessEnvironment::systemEnvironment();
    session.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    session.insert("XDG_CACHE_HOME", dir.filePath("cache"));
    session.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
    const QString testdesk = e2e::testdeskBinary();

    const auto measure =
      [&](const std::string& label, const QProcessEnvironment& env, Before before) {
          std::vector<double> times;
          for (int i = 0; i < runs; ++i) {
              if (before == Before::MaximisedCopy) {
                  QProcess::execute(testdesk, { "noise" });
              }
              const double t = timeExit(d, program, env, before);
              if (t >= 0) {
                  times.push_back(t);
              }
          }
          if (before == Before::MaximisedCopy) {
              QProcess::execute(testdesk, { "root" });
          }
          add("exit, frame gone to process end: " + label, times);
      };
    const std::pair<std::string, Before> steps[] = {
        { "nothing done", Before::Nothing },
        { "after a copy", Before::Copy },
        { "after the save dialog (cancelled)", Before::SaveDialog },
        { "after the save dialog with its name selected (PRIMARY held)", Before::NameSelected },
    };
    for (const auto& [label, before] : steps) {
        measure(label, session, before);
    }
    measure("after a maximised copy of random pixels", session, Before::MaximisedCopy);

    QProcessEnvironment noBus = session;
    noBus.remove("DBUS_SESSION_BUS_ADDRESS");
    measure("after a copy, no session bus", noBus, Before::Copy);
    QProcessEnvironment accessible = session;
    accessible.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    measure("after a copy, accessibility bridge on", accessible, Before::Copy);
    {
        QProcess compositor;
        compositor.start("xcompmgr", {});
        e2e::waitFor(e2e::composited, 5000);
        measure("after a copy, xcompmgr", session, Before::Copy);
        compositor.terminate();
        compositor.waitForFinished(3000);
    }

    struct Manager {
        std::string name;
        QStringList command;
    };
    const Manager managers[] = {
        // Xfce's settings daemon: answers a request to keep the clipboard (SAVE_TARGETS) by
        // taking every format offered.
        { "xfsettingsd", { "xfsettingsd", "--no-daemon", "--disable-wm-check" } },
        // Keeps a copy of every new clipboard content and never answers that request.
        { "xfce4-clipman", { "xfce4-clipman" } },
    };
    for (const Manager& m : managers) {
        if (!have(m.command.first())) {
            continue;
        }
        QProcess manager;
        manager.setProcessEnvironment(session);
        manager.setStandardOutputFile(QProcess::nullDevice());
        manager.setStandardErrorFile(QProcess::nullDevice());
        manager.start(m.command.first(), m.command.mid(1));
        QElapsedTimer waited;
        waited.start();
        while (!selectionOwner(d, "CLIPBOARD_MANAGER") && waited.elapsed() < 10000) {
            QTest::qWait(20);
        }
        if (!selectionOwner(d, "CLIPBOARD_MANAGER")) {
            std::fprintf(stderr, "exit figures: %s took no CLIPBOARD_MANAGER\n", m.name.c_str());
        } else {
            for (const auto& [label, before] : steps) {
                measure(label + ", " + m.name, session, before);
            }
            measure(
              "after a maximised copy of random pixels, " + m.name, session, Before::MaximisedCopy);
        }
        manager.terminate();
        manager.waitForFinished(3000);
        waited.restart();
        while (selectionOwner(d, "CLIPBOARD_MANAGER") && waited.elapsed() < 5000) {
            QTest::qWait(20);
        }
    }
    XCloseDisplay(d);
}

void printTable()
{
    std::printf("\n| figure | median | min | max | unit |\n|---|---:|---:|---:|---|\n");
    for (const Row& r : g_rows) {
        if (r.values.empty()) {
            continue;
        }
        const auto [mn, mx] = std::minmax_element(r.values.begin(), r.values.end());
        std::printf("| %s | %.2f | %.2f | %.2f | %s |\n",
                    r.name.c_str(),
                    median(r.values),
                    *mn,
                    *mx,
                    r.unit.c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    ombrix::prepareProcess();
    Application app(argc, argv);
    const QString testdesk = e2e::testdeskBinary();
    const QString binary = e2e::ombrixBinary();
    const bool quick = qEnvironmentVariableIsSet("OMBRIX_BENCH_QUICK");
    const int runs = quick ? 5 : 21;

    // The real program only: no frame of ours on the screen.
    if (app.arguments().value(1) == "exit") {
        exitFigures(binary, quick ? 3 : 7);
        printTable();
        return 0;
    }

    TForm1 frame;
    TForm3 about;
    TForm2 zoom;
    TForm4 keys;
    frame.TtimKeyGet->stop(); // nothing here presses keys
    if (!QTest::qWaitForWindowExposed(&frame)) {
        std::fprintf(stderr, "the frame did not appear\n");
        return 1;
    }
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect small(200, 150, 384, 246);

    if (app.arguments().value(1) == "save") {
        saveAndPeerFigures(frame, screen, quick ? 3 : 11, quick ? 3 : 11, true);
        printTable();
        return 0;
    }

    // A large screen: the grab's time and memory follow the frame, not the screen.
    if (app.arguments().value(1) == "large") {
        QProcess::execute(testdesk, { "root" });
        g_prefix = QString("%1x%2: ").arg(screen.width()).arg(screen.height()).toStdString();
        copyFigures(&frame, small, "384x246, calm", runs);
        copyFigures(&frame, screen, "maximised, calm", quick ? 3 : 11);
        frame.hide();
        QTest::qWait(300);
        programFigures(binary, 1, 20);
        printTable();
        return 0;
    }

    // In a Wayland session (tests/wayland/session), under XWayland: the picture comes from the
    // compositor's screen copy or from the desktop portal's screen cast; grim, the usual tool
    // there, beside them.
    if (app.arguments().value(1) == "wayland") {
        for (const char* source : { "screencopy", "portal" }) {
            qputenv("OMBRIX_WAYLAND_SCREEN", source);
            copyFigures(&frame, small, (std::string("384x246, ") + source).c_str(), runs);
            copyFigures(&frame, screen, (std::string("full screen, ") + source).c_str(), runs);
        }
        for (const QRect& area : { small, screen }) {
            const QRect a(area.x() + 2, area.y() + 3, area.width() - 4, area.height() - 4);
            const QString g =
              QString("%1,%2 %3x%4").arg(a.x()).arg(a.y()).arg(a.width()).arg(a.height());
            std::vector<double> times;
            for (int i = 0; i < runs; ++i) {
                times.push_back(runTimed("grim", { "-g", g, "-t", "ppm", "/dev/null" }));
            }
            add(std::string("grim -g (to a file) ") + (area == small ? "384x246" : "full screen"),
                times);
        }
        printTable();
        return 0;
    }

    // Compositing managers, a fading one among them: the copy waits until they have redrawn
    // what the frame covered.
    if (app.arguments().value(1) == "compositors") {
        QProcess::execute(testdesk, { "root" });
        const std::vector<std::pair<std::string, QStringList>> managers = {
            { "xcompmgr", { "xcompmgr" } },
            { "xcompmgr -f", { "xcompmgr", "-f" } },
            { "picom --fading", { "picom", "--backend", "xrender", "--fading" } },
        };
        for (const auto& [name, command] : managers) {
            QProcess manager;
            manager.start(command.first(), command.mid(1));
            e2e::waitFor(e2e::composited, 5000);
            QTest::qWait(500);
            copyFigures(&frame, small, ("384x246, calm, " + name).c_str(), runs);
            manager.terminate();
            manager.waitForFinished(3000);
            e2e::waitFor([] { return !e2e::composited(); }, 5000);
        }
        printTable();
        return 0;
    }

    QProcess::execute(testdesk, { "root" });
    const qint64 rssStart = residentKb();
    copyFigures(&frame, small, "384x246, calm", runs);
    copyFigures(&frame, screen, "full screen, calm", runs);
    peerFigures(screen, "full screen, calm", quick ? 3 : 11);
    QProcess::execute(testdesk, { "noise" });
    copyFigures(&frame, screen, "full screen, noisy", runs);
    peerFigures(screen, "full screen, noisy", quick ? 3 : 11);
    QProcess::execute(testdesk, { "root" });

    // Save: encode and write the full-screen picture.
    saveAndPeerFigures(frame, screen, quick ? 3 : 11, quick ? 3 : 11, false);

    // Corner zoom: one refresh of the four views.
    {
        frame.setGeometry(small);
        QTest::qWait(200);
        std::vector<double> times;
        for (int i = 0; i < 200; ++i) {
            QElapsedTimer t;
            t.start();
            frame.zoomIn(&frame);
            times.push_back(t.nsecsElapsed() / 1e6);
        }
        add("corner zoom: one refresh of the four views", times);
    }

    // Memory over 500 copies of the small frame.
    {
        frame.setGeometry(small);
        QTest::qWait(200);
        const qint64 before = residentKb();
        AutoConfirm confirm;
        const int copies = quick ? 50 : 500;
        for (int i = 0; i < copies; ++i) {
            frame.clipCopi(&frame);
            QCoreApplication::processEvents();
        }
        QTest::qWait(200);
        add("bench process resident memory at start", { rssStart / 1024.0 }, "MB");
        add("resident memory growth over " + std::to_string(copies) + " copies",
            { (residentKb() - before) / 1024.0 },
            "MB");
    }

    // The real program's frame is looked for by its title: ours goes out of the way.
    frame.hide();
    QTest::qWait(300);
    programFigures(binary, quick ? 5 : 30, quick ? 20 : 500);

    printTable();
    return 0;
}
