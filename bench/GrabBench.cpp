// Times the screen grab of a full-screen frame on the current X display: the whole
// gamenGetModo + gazoCopy, and the platform's desktop read alone. Prints figures only.

#include "Application.h"
#include "Globals.h"
#include "Unit1.h"
#include "platform.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{
void report(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-34s median %7.2f ms  min %7.2f  max %7.2f  (n=%zu)\n",
                what,
                ms[ms.size() / 2],
                ms.front(),
                ms.back(),
                ms.size());
}
} // namespace

int main(int argc, char** argv)
{
    ombrix::prepareProcess();
    Application app(argc, argv);
    TForm1 form;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    form.setGeometry(screen);
    if (!QTest::qWaitForWindowExposed(&form)) {
        std::fprintf(stderr, "the frame did not appear\n");
        return 1;
    }
    QTest::qWait(200);

    const int runs = 30;
    std::vector<double> grab, read, prepare, hide, settle, readIn, show;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        form.gamenGetModo(&form);
        form.gazoCopy(&form);
        grab.push_back(t.nsecsElapsed() / 1e6);
        const GrabProfile& g = form.lastGrab;
        prepare.push_back((g.prepared - g.start) / 1e6);
        hide.push_back((g.hidden - g.prepared) / 1e6);
        settle.push_back((g.settled - g.hidden) / 1e6);
        readIn.push_back((g.read - g.settled) / 1e6);
        show.push_back((g.shown - g.read) / 1e6);
        syoriChu = false;
        QTest::qWait(50); // let the frame come back on screen before the next one
    }
    ombrix::Pixels pixels;
    pixels.resize(screen.width(), screen.height());
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        ombrix::platform().copyDesktop(0, 0, pixels);
        read.push_back(t.nsecsElapsed() / 1e6);
    }
    // The same read as in a grab: a fresh buffer, after a pause of the settle's length.
    std::vector<double> freshAfterPause;
    for (int i = 0; i < runs; ++i) {
        ombrix::Pixels fresh;
        fresh.resize(screen.width(), screen.height());
        QThread::msleep(20);
        QElapsedTimer t;
        t.start();
        ombrix::platform().copyDesktop(2, 3, fresh);
        freshAfterPause.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("Grab of a %dx%d frame (picture %dx%d)\n",
                screen.width(),
                screen.height(),
                gazoBmp->width(),
                gazoBmp->height());
    report("grab (hide, wait, read, show)", grab);
    report("desktop read alone", read);
    report("fresh buffer after a 20 ms pause", freshAfterPause);
    std::vector<double> freshNoPause, reusedAfterPause;
    for (int i = 0; i < runs; ++i) {
        ombrix::Pixels fresh;
        fresh.resize(screen.width(), screen.height());
        QElapsedTimer t;
        t.start();
        ombrix::platform().copyDesktop(2, 3, fresh);
        freshNoPause.push_back(t.nsecsElapsed() / 1e6);
        QThread::msleep(20);
        t.restart();
        ombrix::platform().copyDesktop(2, 3, pixels);
        reusedAfterPause.push_back(t.nsecsElapsed() / 1e6);
    }
    report("fresh buffer, no pause", freshNoPause);
    report("reused buffer after a 20 ms pause", reusedAfterPause);
    report("  prepare", prepare);
    report("  hide", hide);
    report("  settle", settle);
    report("  read", readIn);
    report("  show", show);
    return 0;
}
