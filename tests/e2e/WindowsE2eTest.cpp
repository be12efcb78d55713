// Ombrix.exe, the Windows build, under Wine on the test's X server, driven as a user would: it
// starts at its place, "C" copies exactly (read back through the X clipboard, which Wine fills
// from the Windows one), "V" saves PNG and JPEG, the handles move and resize, the panels open,
// "X" writes Ombrix.ini beside the program through the Windows profile service, a hand-edited
// file is read as that service reads it, and the shortcuts work.
// Run by scripts/test-windows with OMBRIX_E2E_BINARY naming the Ombrix.exe of the zip.
//
// Where Wine differs from Windows:
// - Wine offers the copied picture to X programs as image/bmp (Windows programs get the CF_DIB).
// - Wine knows the keyboard only while one of its windows has the focus, so the shortcuts are
//   pressed with the frame focused; on Windows they work whichever program has it.
// - Without a compositing manager, the see-through parts of the frame are not blended.

#include "E2e.h"
#include "Pattern.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <cmath>

using namespace e2e;

namespace
{

// Takes the confirmation away with the keyboard, as a user would, once it has the focus (see
// above); false when none showed.
bool dismissConfirmation()
{
    const auto box = findWindow("^情報$", 10000);
    if (!box) {
        return false;
    }
    run("xdotool", { "windowactivate", "--sync", *box });
    return dismiss(*box);
}

// The clipboard's picture once a copy confirmed it: Wine serves it as a BMP image.
std::optional<QImage> copiedPicture()
{
    std::optional<QImage> picture;
    waitFor([&] { return (picture = clipboardImage("image/bmp", 2000)).has_value(); }, 10000);
    return picture;
}

// Wine keeps its own idea of where its windows are and puts a window moved behind its back
// (xdotool windowmove) back: the frame is moved as a user moves it, with its move handle.
// Right after the program's start under Wine, now and then a whole drag passes without a move
// (about 1 run in 8, twice in clean-clone runs): the drag is made again from where the frame
// stands, as a user would, and each retry is reported.
bool placeByHandle(const Ombrix& ombrix, QPoint to)
{
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const QRect frame = ombrix.geometry();
        drag(frame.topLeft() + kMoveHandle, to + kMoveHandle);
        if (waitFor([&] { return ombrix.geometry().topLeft() == to; }, 3000)) {
            return true;
        }
        qWarning("drag %d of the move handle from (%d, %d) left the frame at (%d, %d)",
                 attempt,
                 frame.x(),
                 frame.y(),
                 ombrix.geometry().x(),
                 ombrix.geometry().y());
    }
    return false;
}

// A path of the test's folder as Wine names it (its drive Z: is the Unix root).
QString winePath(const QString& unixPath)
{
    return "Z:" + QDir::toNativeSeparators(unixPath).replace('/', '\\');
}

} // namespace

class WindowsE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void startsAtThePlacementRule();
    void copiesExactlyTheFramedPixels_data();
    void copiesExactlyTheFramedPixels();
    void savesPngAndJpeg_data();
    void savesPngAndJpeg();
    void handlesMoveAndResize();
    void panelsOpen();
    void closeWritesTheSettingsFileBesideTheProgram();
    void handEditedSettingsAreReadAsTheProfileServiceReadsThem();
    void shortcutsWorkWhileAWindowOfWineHasTheFocus();
};

void WindowsE2eTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"),
             "these tests drive a real X server: run them through scripts/test-windows");
    QVERIFY2(ombrixBinary().endsWith(".exe"),
             "OMBRIX_E2E_BINARY must name Ombrix.exe: run through scripts/test-windows");
    QVERIFY2(QFile::exists(ombrixBinary()), qPrintable(ombrixBinary()));
    QCOMPARE(run(testdeskBinary(), { "root" }).exitCode, 0);
}

void WindowsE2eTest::startsAtThePlacementRule()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    // The top-left of a 738 x 427 window centred on the work area, which Wine takes from the
    // window manager.
    const QRect wa = workArea();
    QVERIFY(wa.isValid());
    const QRect start(centredIn(wa, QSize(738, 427)), QSize(384, 246));
    QVERIFY(waitFor([&] { return ombrix.geometry() == start; }));

    // Drawn: the white outer ring, the black inner ring, the see-through ring between them.
    const QRect frame = ombrix.geometry();
    QImage shot;
    QVERIFY(waitFor([&] {
        shot = screenshot(frame);
        return shot.size() == frame.size() && (shot.pixel(0, 100) & 0xFFFFFF) == 0xFFFFFF;
    }));
    for (int y = 40; y < 200; y += 7) {
        QCOMPARE(shot.pixel(0, y) & 0xFFFFFF, 0xFFFFFFu);
        QCOMPARE(shot.pixel(2, y) & 0xFFFFFF, 0x000000u);
        QCOMPARE(shot.pixel(383, y) & 0xFFFFFF, 0xFFFFFFu);
        QCOMPARE(shot.pixel(381, y) & 0xFFFFFF, 0x000000u);
        QCOMPARE(shot.pixel(1, y) & 0xFFFFFF, testdesk::patternRgb(frame.x() + 1, frame.y() + y));
    }
    clickControl(frame, kButtonX);
    QVERIFY(ombrix.waitFinished(10000));
}

void WindowsE2eTest::copiesExactlyTheFramedPixels_data()
{
    QTest::addColumn<QPoint>("place");
    const QRect screen = screenRect();
    QTest::addRow("middle") << QPoint(300, 200);
    QTest::addRow("odd place past 256") << QPoint(777, 555);
    QTest::addRow("partly off the screen") << QPoint(screen.width() - 200, screen.height() - 100);
}

void WindowsE2eTest::copiesExactlyTheFramedPixels()
{
    QFETCH(QPoint, place);
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    setClipboardText("earlier text");
    QVERIFY(placeByHandle(ombrix, place));
    const QRect frame = ombrix.geometry();

    clickControl(frame, kButtonC);
    QVERIFY(findWindow("^情報$", 10000));
    const auto picture = copiedPicture();
    QVERIFY2(picture, "no image/bmp on the clipboard");
    QCOMPARE(picture->size(), QSize(frame.width() - 4, frame.height() - 4));
    const QString diff = compareCopy(*picture, frame);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(!clipboardTargets().contains("UTF8_STRING"));
    // Read last: Ctrl+C on the box puts its text on the clipboard.
    const auto text = messageText("^情報$", 10000);
    // Ctrl+C on a box copies its title, text and buttons between rules of dashes.
    QVERIFY2(text && text->contains(QStringLiteral("\nクリップボードにコピーしました\n")),
             qPrintable(text.value_or("(no confirmation)")));
    QVERIFY(dismissConfirmation());
    QCOMPARE(ombrix.geometry(), frame);
}

void WindowsE2eTest::savesPngAndJpeg_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("tolerance"); // the mean difference per channel that is allowed
    QTest::addRow("PNG, exact") << "shot.png" << 0;
    QTest::addRow("JPEG, close") << "shot.jpg" << 12;
}

void WindowsE2eTest::savesPngAndJpeg()
{
    QFETCH(QString, name);
    QFETCH(int, tolerance);
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(placeByHandle(ombrix, QPoint(210, 170)));
    const QRect frame = ombrix.geometry();
    const QString path = QDir(ombrix.folder()).filePath(name);

    clickControl(frame, kButtonV);
    auto dialog = findWindow("^名前を付けて保存$", 5000);
    if (!dialog) {
        // The dialog shows within 40 ms of the click when it comes; twice in full runs (never in
        // 14 runs of these rows alone) nothing came in 10 s, on the first save in a
        // new Wine prefix. What showed instead is reported, and the click made once more, as a
        // user would: an error box over the frame would stay and fail the row.
        qWarning("no save dialog 5 s after the click; visible windows: %s",
                 run("xdotool", { "search", "--onlyvisible", "--name", ".", "getwindowname", "%@" })
                   .out.simplified()
                   .constData());
        clickControl(frame, kButtonV);
        dialog = findWindow("^名前を付けて保存$", 10000);
    }
    QVERIFY2(dialog, "no save dialog");
    typeFileName(*dialog, winePath(path));
    key("Return");
    QVERIFY2(waitFor([&] { return QFile::exists(path) && QImage(path).width() > 0; }, 10000),
             qPrintable(path + " was not written"));
    const QImage saved(path);
    QCOMPARE(saved.size(), QSize(380, 242));
    if (tolerance == 0) {
        const QString diff = compareCopy(saved, frame);
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    } else {
        qint64 total = 0;
        const QImage rgb = saved.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < rgb.height(); ++y) {
            for (int x = 0; x < rgb.width(); ++x) {
                const QRgb got = rgb.pixel(x, y);
                const QRgb want = testdesk::patternRgb(frame.x() + 2 + x, frame.y() + 3 + y);
                total += std::abs(qRed(got) - qRed(want)) + std::abs(qGreen(got) - qGreen(want)) +
                         std::abs(qBlue(got) - qBlue(want));
            }
        }
        const double mean = static_cast<double>(total) / (3.0 * rgb.width() * rgb.height());
        QVERIFY2(mean < tolerance, qPrintable(QString("mean difference %1").arg(mean)));
    }
    QVERIFY(windowGone("^名前を付けて保存$"));
    QCOMPARE(ombrix.geometry(), frame);
}

void WindowsE2eTest::handlesMoveAndResize()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(placeByHandle(ombrix, QPoint(200, 150)));
    QRect frame = ombrix.geometry();

    const QPoint grip = frame.topLeft() + kMoveHandle;
    drag(grip, grip + QPoint(123, 77));
    QVERIFY2(
      waitFor([&] { return ombrix.geometry() == frame.translated(123, 77); }),
      qPrintable(
        QString("the frame is at %1,%2").arg(ombrix.geometry().x()).arg(ombrix.geometry().y())));
    frame = ombrix.geometry();

    const QPoint corner =
      frame.topLeft() + QPoint(frame.width() - 34 + 15, frame.height() - 34 + 15);
    drag(corner, corner + QPoint(61, 43));
    QVERIFY2(waitFor([&] { return ombrix.geometry() == QRect(frame.topLeft(), QSize(445, 289)); }),
             qPrintable(QString("the frame is %1 x %2")
                          .arg(ombrix.geometry().width())
                          .arg(ombrix.geometry().height())));

    // The copy follows the new size.
    frame = ombrix.geometry();
    clickControl(frame, kButtonC);
    QVERIFY(findWindow("^情報$", 10000));
    const auto picture = copiedPicture();
    QVERIFY(picture);
    QCOMPARE(picture->size(), QSize(441, 285));
    const QString diff = compareCopy(*picture, frame);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(dismissConfirmation());
}

void WindowsE2eTest::panelsOpen()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(placeByHandle(ombrix, QPoint(100, 100)));
    const QRect frame = ombrix.geometry();

    clickControl(frame, kButtonW);
    QVERIFY2(findWindow("^Ombrix Zoom Window$", 10000), "no zoom window");

    clickControl(frame, kButtonA);
    const auto about = findWindow("^About Ombrix$", 10000);
    QVERIFY2(about, "no About panel");
    // Wine's X window holds the panel's 602 x 637 client area inside the borders of the
    // Windows frame, if it draws one: as wide at the sides as at the bottom, the title above.
    QRect outer;
    QVERIFY(waitFor([&] {
        outer = windowGeometry(*about).value_or(QRect());
        return outer.width() >= 602 && outer.height() >= 637;
    }));
    const int side = (outer.width() - 602) / 2;
    const QPoint a(outer.x() + side, outer.bottom() + 1 - side - 637);
    click(a.x() + 427 + 67, a.y() + 35 + 12);
    QVERIFY2(findWindow("ショートカットキー設定$", 10000), "no shortcut window");

    clickControl(frame, kButtonX);
    QVERIFY(ombrix.waitFinished(10000));
    QCOMPARE(ombrix.exitCode(), 0);
}

void WindowsE2eTest::closeWritesTheSettingsFileBesideTheProgram()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(!QFile::exists(ombrix.iniPath()));
    const QRect frame = ombrix.geometry();
    clickControl(frame, kButtonX);
    QVERIFY(ombrix.waitFinished(10000));
    QCOMPARE(ombrix.exitCode(), 0);
    // Ten lines with Windows' line ends, as the profile service writes them.
    QCOMPARE(ombrix.iniBytes().value_or("(none)"), kDefaultIni);
}

void WindowsE2eTest::handEditedSettingsAreReadAsTheProfileServiceReadsThem()
{
    // Written by hand: a comment, names in other cases, spaces around the values, Unix line
    // ends, a key of someone else's, and the button colour red.
    StartOptions options;
    options.ini = "; my settings\n"
                  "[BOTAN]\n"
                  "  Color =  -65536  \n"
                  "[skymoj]\n"
                  "COPI = Q\n"
                  "mine=1\n";
    Ombrix ombrix;
    QVERIFY(ombrix.start(options));
    QVERIFY(placeByHandle(ombrix, QPoint(150, 120)));
    const QRect frame = ombrix.geometry();
    QVERIFY2(waitFor([&] { return isRed(glowOnScreen(frame)); }),
             qPrintable("the glow is " + glowOnScreen(frame).name()));

    // The letter Q copies now (the frame has the focus, see above).
    run("xdotool", { "windowactivate", "--sync", ombrix.windowId() });
    QVERIFY2(pressShortcut("q", "^情報$", 10000), "Ctrl+Alt+Q did not copy");
    QVERIFY(dismissConfirmation());

    clickControl(frame, kButtonX);
    QVERIFY(ombrix.waitFinished(10000));
    // The service writes in place: the comment, the other key and the file's own names stay;
    // every value is written, the missing ones added.
    const QByteArray saved = ombrix.iniBytes().value_or("");
    for (const char* line : { "; my settings",
                              "[BOTAN]",
                              "Color=-65536",
                              "[skymoj]",
                              "COPI=Q",
                              "mine=1",
                              "save=V",
                              "[kii]",
                              "fontcolor=-10496" }) {
        QVERIFY2(saved.contains(line),
                 qPrintable(QString("%1 missing from:\n%2").arg(line, QString::fromUtf8(saved))));
    }
}

void WindowsE2eTest::shortcutsWorkWhileAWindowOfWineHasTheFocus()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(placeByHandle(ombrix, QPoint(420, 260)));
    const QRect frame = ombrix.geometry();
    setClipboardText("earlier text");
    run("xdotool", { "windowactivate", "--sync", ombrix.windowId() });
    QVERIFY2(pressShortcut("c", "^情報$", 10000), "Ctrl+Alt+C did not copy");
    const auto picture = copiedPicture();
    QVERIFY(picture);
    const QString diff = compareCopy(*picture, frame);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(dismissConfirmation());

    run("xdotool", { "windowactivate", "--sync", ombrix.windowId() });
    QVERIFY2(pressShortcut(
               "x", [&] { return !ombrix.running(); }, 10000),
             "Ctrl+Alt+X did not close");
    QCOMPARE(ombrix.exitCode(), 0);
    QCOMPARE(ombrix.iniBytes().value_or("(none)"), kDefaultIni);
}

QTEST_MAIN(WindowsE2eTest)
#include "WindowsE2eTest.moc"
