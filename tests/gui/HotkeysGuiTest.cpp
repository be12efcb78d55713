// The shortcut tick in-process over scripted key states: what it asks, in which order, and
// which actions it runs.

#include "GuiFixture.h"
#include "Unit2.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QPointer>
#include <QTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace
{
constexpr int kCtrl = 0x11;
constexpr int kAlt = 0x12;
} // namespace

class HotkeysGuiTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void tick_data();
    void tick();
    void refusedCloseWaitsForTheKeyToBeReleased();
    void timerRunsEveryTenMilliseconds();
    void restsWhileCtrlOrAltIsUpAndWakesOnKeys();

private:
    GuiFixture fixture;
};

void HotkeysGuiTest::initTestCase()
{
    fixture.create();
    QVERIFY(QTest::qWaitForWindowExposed(fixture.form1.get()));
    // The tests call the tick themselves.
    fixture.form1->TtimKeyGet->stop();
}

void HotkeysGuiTest::cleanupTestCase()
{
    fixture.destroy();
}

void HotkeysGuiTest::init()
{
    TForm1* f = fixture.form1.get();
    // A minimise of the row before may reach the window manager only now: the frame must stay
    // shown for a moment before the row starts.
    QElapsedTimer shownFor;
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired() && (!shownFor.isValid() || shownFor.elapsed() < 200)) {
        if (!f->isVisible() || f->isMinimized()) {
            f->showNormal();
            QVERIFY(QTest::qWaitForWindowExposed(f));
            shownFor.invalidate();
        } else if (!shownFor.isValid()) {
            shownFor.start();
        }
        QTest::qWait(20);
    }
    QVERIFY(f->isVisible() && !f->isMinimized());
    fixture.form2->hide();
    fixture.fake->log.clear();
    fixture.fake->down.clear();
    kiiMoji = { "C", "V", "W", "S", "X" };
    kiiCode = { 'C', 'V', 'W', 'S', 'X' };
    syoriChu = false;
}

void HotkeysGuiTest::tick_data()
{
    QTest::addColumn<QList<int>>("down");
    QTest::addColumn<QStringList>("letters"); // empty: the defaults
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("asked");   // key codes asked, and grabs, in order
    QTest::addColumn<QString>("actions"); // what was seen to happen

    const QStringList defaults;
    QTest::addRow("busy: nothing asked") << QList<int>{ kCtrl, kAlt, 'C' } << defaults << true << ""
                                         << "";
    QTest::addRow("Ctrl up") << QList<int>{ kAlt, 'C' } << defaults << false << "11"
                             << "";
    QTest::addRow("Alt up") << QList<int>{ kCtrl, 'C' } << defaults << false << "11 12"
                            << "";
    QTest::addRow("Ctrl+Alt alone")
      << QList<int>{ kCtrl, kAlt } << defaults << false << "11 12 43 56 57 53 58"
      << "";
    QTest::addRow("Ctrl+Alt+C copies")
      << QList<int>{ kCtrl, kAlt, 'C' } << defaults << false << "11 12 43 copy 56 57 53 58"
      << "copy";
    QTest::addRow("C and X: the copy first, then the close")
      << QList<int>{ kCtrl, kAlt, 'C', 'X' } << defaults << false << "11 12 43 copy 56 57 53 58"
      << "copy close";
    QTest::addRow("W and S in one tick")
      << QList<int>{ kCtrl, kAlt, 'W', 'S' } << defaults << false << "11 12 43 56 57 53 58"
      << "zoom minimise";
    QTest::addRow("two entries with the same letter")
      << QList<int>{ kCtrl, kAlt, 'C' } << QStringList{ "C", "C", "W", "S", "X" } << false
      << "11 12 43 copy 43 copy 57 53 58"
      << "copy save";
    QTest::addRow("lower-case c asks 0x63")
      << QList<int>{ kCtrl, kAlt, 'C' } << QStringList{ "c", "V", "W", "S", "X" } << false
      << "11 12 63 56 57 53 58"
      << "";
    QTest::addRow("keypad 3 for c")
      << QList<int>{ kCtrl, kAlt, 0x63 } << QStringList{ "c", "V", "W", "S", "X" } << false
      << "11 12 63 copy 56 57 53 58"
      << "copy";
    QTest::addRow("a word asks its first letter")
      << QList<int>{ kCtrl, kAlt, 'Z' } << QStringList{ "Zoo", "V", "W", "S", "X" } << false
      << "11 12 5a copy 56 57 53 58"
      << "copy";
    QTest::addRow("Shift is not asked")
      << QList<int>{ kCtrl, kAlt, 0x10, 'V' } << defaults << false << "11 12 43 56 copy 57 53 58"
      << "save";
}

void HotkeysGuiTest::tick()
{
    QFETCH(QList<int>, down);
    QFETCH(QStringList, letters);
    QFETCH(bool, busy);
    QFETCH(QString, asked);
    QFETCH(QString, actions);
    TForm1* f = fixture.form1.get();
    FakePlatform* fake = fixture.fake;
    fake->down = std::set<int>(down.begin(), down.end());
    if (!letters.isEmpty()) {
        for (int i = 0; i < 5; ++i) {
            kiiMoji[i] = letters[i];
            kiiCode[i] = letters[i].at(0).unicode();
        }
    }
    syoriChu = busy;

    // Every modal the tick opens is answered; their kinds tell copy from save.
    QStringList modals;
    QTimer answerer;
    // A box that was answered may still be the active modal at the next look (Windows closes
    // it a moment later): each is counted once.
    QPointer<QWidget> answered;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == answered) {
            return;
        }
        answered = modal;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            modals << "copy";
            box->button(QMessageBox::Ok)->click();
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            modals << "save";
            dialog->reject();
        }
    });
    answerer.start(5);
    bool closed = false;
    QObject::connect(
      QCoreApplication::instance(), &QCoreApplication::aboutToQuit, [&] { closed = true; });
    f->TtimKeyGetTimer(f);
    answerer.stop();
    syoriChu = false;

    QStringList log;
    for (const QString& entry : fake->log) {
        log << (entry.startsWith("key ") ? entry.mid(4) : entry.section(' ', 0, 0));
    }
    QCOMPARE(log.join(' '), asked);

    QStringList seen = modals;
    if (fixture.form2->isVisible()) {
        seen << "zoom";
    }
    if (f->isMinimized()) {
        seen << "minimise";
    }
    if (!f->isVisible()) {
        seen << "close";
        QVERIFY(QFile::exists(fixture.settingsFolder.filePath("Ombrix.ini")));
    }
    QCOMPARE(seen.join(' '), actions);
}

void HotkeysGuiTest::refusedCloseWaitsForTheKeyToBeReleased()
{
    TForm1* f = fixture.form1.get();
    // A folder in the settings file's place: every write fails.
    QFile::remove(fixture.settingsFolder.filePath("Ombrix.ini"));
    QVERIFY(QDir(fixture.settingsFolder.path()).mkpath("Ombrix.ini/x"));
    fixture.fake->down = { kCtrl, kAlt, 'X' };
    int errors = 0;
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            ++errors;
            box->button(QMessageBox::Ok)->click();
        }
    });
    answerer.start(5);
    for (int i = 0; i < 5; ++i) {
        f->TtimKeyGetTimer(f);
    }
    QCOMPARE(errors, 1);
    QVERIFY(f->isVisible());

    // Let go of X, press it again: the close is tried again.
    fixture.fake->down = { kCtrl, kAlt };
    f->TtimKeyGetTimer(f);
    fixture.fake->down = { kCtrl, kAlt, 'X' };
    f->TtimKeyGetTimer(f);
    f->TtimKeyGetTimer(f);
    answerer.stop();
    QCOMPARE(errors, 2);
    QVERIFY(f->isVisible());
    QDir(fixture.settingsFolder.filePath("Ombrix.ini")).removeRecursively();
}

void HotkeysGuiTest::timerRunsEveryTenMilliseconds()
{
    TForm1* f = fixture.form1.get();
    QCOMPARE(f->TtimKeyGet->interval(), 10);
    f->TtimKeyGet->start();
    fixture.fake->down = { kCtrl, kAlt, 'W' };
    QTRY_VERIFY(fixture.form2->isVisible());
    f->TtimKeyGet->stop();
}

void HotkeysGuiTest::restsWhileCtrlOrAltIsUpAndWakesOnKeys()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no descriptor that wakes on keys: the poll runs every 10 ms there");
#else
    TForm1* f = fixture.form1.get();
    int pipeEnds[2];
    QCOMPARE(pipe(pipeEnds), 0);
    fixture.fake->wakeDescriptor = pipeEnds[0];
    f->TtimKeyGet->start();

    // Nothing held: the timer rests after its next tick.
    QTRY_VERIFY(!f->TtimKeyGet->isActive());
    fixture.fake->log.clear();
    QTest::qWait(50);
    QVERIFY2(fixture.fake->log.isEmpty(), qPrintable(fixture.fake->log.join(' ')));

    // Key events arrive, but only Ctrl is down: it rests on.
    fixture.fake->down = { kCtrl };
    QCOMPARE(write(pipeEnds[1], "k", 1), 1);
    QTRY_VERIFY(!fixture.fake->log.isEmpty());
    char drained;
    QCOMPARE(read(pipeEnds[0], &drained, 1), 1);
    QVERIFY(!f->TtimKeyGet->isActive());

    // Ctrl+Alt+W: awake again, and the shortcut works.
    fixture.fake->down = { kCtrl, kAlt, 'W' };
    QCOMPARE(write(pipeEnds[1], "k", 1), 1);
    QTRY_VERIFY(fixture.form2->isVisible());
    QCOMPARE(read(pipeEnds[0], &drained, 1), 1);
    QVERIFY(f->TtimKeyGet->isActive());

    fixture.fake->down.clear();
    QTRY_VERIFY(!f->TtimKeyGet->isActive());
    f->TtimKeyGet->stop();
    fixture.fake->wakeDescriptor = -1;
    close(pipeEnds[0]);
    close(pipeEnds[1]);
#endif
}

QTEST_MAIN(HotkeysGuiTest)
#include "HotkeysGuiTest.moc"
