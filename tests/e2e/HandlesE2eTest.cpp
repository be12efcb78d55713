// The handles with real X input: drag to move, drag to resize, Ctrl+click to maximise and
// restore, and the middle button's save to a file through the save dialog.

#include "E2e.h"
#include "Pattern.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace e2e;

namespace
{

QPoint resizeHandleCentre(const QRect& frame)
{
    return { frame.width() - 34 + 15, frame.height() - 34 + 15 };
}

} // namespace

class HandlesE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void dragOfTheMoveHandleMovesByThePointersOffset();
    void dragOfTheResizeHandleResizesByThePointersMovement();
    void ctrlClickMaximisesAndRestores();
    void middleClickSaves_data();
    void middleClickSaves();
    void saveDialogSpeaksJapaneseInAnyLocale();
};

void HandlesE2eTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"),
             "these tests drive a real X server: run them through scripts/test");
    QCOMPARE(run(testdeskBinary(), { "root" }).exitCode, 0);
}

void HandlesE2eTest::dragOfTheMoveHandleMovesByThePointersOffset()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(300, 200));
    const QRect before = ombrix.geometry();
    const QPoint from = before.topLeft() + kMoveHandle;
    drag(from, from + QPoint(123, 77));
    QVERIFY2(
      waitFor([&] { return ombrix.geometry() == before.translated(123, 77); }),
      qPrintable(QString("frame at %1,%2").arg(ombrix.geometry().x()).arg(ombrix.geometry().y())));

    // And back up-left, past where it started.
    const QRect middle = ombrix.geometry();
    drag(middle.topLeft() + kMoveHandle, middle.topLeft() + kMoveHandle - QPoint(200, 150));
    QVERIFY(waitFor([&] { return ombrix.geometry() == middle.translated(-200, -150); }));
}

void HandlesE2eTest::dragOfTheResizeHandleResizesByThePointersMovement()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(300, 200));
    const QRect before = ombrix.geometry();
    const QPoint from = before.topLeft() + resizeHandleCentre(before);
    drag(from, from + QPoint(61, 43));
    const QRect expected(before.topLeft(), before.size() + QSize(61, 43));
    QVERIFY2(
      waitFor([&] { return ombrix.geometry() == expected; }),
      qPrintable(
        QString("frame %1x%2").arg(ombrix.geometry().width()).arg(ombrix.geometry().height())));

    // The resize handle is drawn 4 pixels inside the new corner: one transparent pixel, then
    // the black ring, then another transparent pixel and the white ring.
    const QRect handle(expected.width() - 34, expected.height() - 34, 30, 30);
    QImage shot;
    const int y = handle.center().y();
    QVERIFY(waitFor([&] {
        shot = screenshot(QRect(expected.x(), expected.y() + y, expected.width(), 1));
        return (shot.pixel(handle.center().x(), 0) & 0xFFFFFF) !=
               testdesk::patternRgb(expected.x() + handle.center().x(), expected.y() + y);
    }));
    const int w = expected.width();
    QCOMPARE(shot.pixel(w - 4, 0) & 0xFFFFFF,
             testdesk::patternRgb(expected.x() + w - 4, expected.y() + y));
    QCOMPARE(shot.pixel(w - 3, 0) & 0xFFFFFF, 0u);
    QCOMPARE(shot.pixel(w - 1, 0) & 0xFFFFFF, 0xFFFFFFu);
    QVERIFY((shot.pixel(w - 5, 0) & 0xFFFFFF) !=
            testdesk::patternRgb(expected.x() + w - 5, expected.y() + y));
}

void HandlesE2eTest::ctrlClickMaximisesAndRestores()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(250, 180));
    const QRect before = ombrix.geometry();
    ctrlClick(before.topLeft() + kMoveHandle);
    QVERIFY2(waitFor([&] { return ombrix.geometry() == screenRect(); }), "not maximised");

    ctrlClick(kMoveHandle);
    QVERIFY2(waitFor([&] { return ombrix.geometry() == before; }), "not restored");
}

void HandlesE2eTest::middleClickSaves_data()
{
    QTest::addColumn<QString>("name"); // empty: cancel
    QTest::addColumn<QByteArray>("format");
    QTest::addRow("PNG in capitals") << "picture.PNG" << QByteArray("png");
    QTest::addRow("JPEG") << "picture.jpg" << QByteArray("jpg");
    QTest::addRow("no encoder") << "picture.txt" << QByteArray();
    QTest::addRow("cancel") << "" << QByteArray();
}

void HandlesE2eTest::middleClickSaves()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(333, 222));
    const QRect frame = ombrix.geometry();
    QDir out(ombrix.folder());
    QVERIFY(out.mkdir("out"));
    QVERIFY(out.cd("out"));

    const QDateTime opened = QDateTime::currentDateTime();
    clickControl(frame, kMoveHandle, 2);
    const auto dialog = findWindow("^名前を付けて保存$");
    QVERIFY2(dialog, "no save dialog");
    const QDateTime shown = QDateTime::currentDateTime();

    // The proposed name is the date and time of the opening.
    run("xdotool", { "windowactivate", "--sync", *dialog });
    setClipboardText("-");
    key("ctrl+c");
    QString proposed;
    QVERIFY(waitFor([&] {
        proposed = QString::fromUtf8(run("xclip", { "-selection", "clipboard", "-o" }).out);
        return proposed != "-";
    }));
    QVERIFY2(QRegularExpression("^\\d{8}-\\d{6}$").match(proposed).hasMatch(),
             qPrintable(proposed));
    const QDateTime when = QDateTime::fromString(proposed, "yyyyMMdd-HHmmss");
    QVERIFY2(when >= opened.addSecs(-1) && when <= shown.addSecs(1), qPrintable(proposed));

    if (name.isEmpty()) {
        key("Escape");
        QVERIFY(windowGone("^名前を付けて保存$"));
        QVERIFY(out.entryList(QDir::Files | QDir::Hidden).isEmpty());
        return;
    }
    const QString path = out.filePath(name);
    typeFileName(*dialog, path);
    key("Return");
    QVERIFY(windowGone("^名前を付けて保存$"));

    if (format.isEmpty()) {
        const auto text = messageText("^エラー$");
        QVERIFY2(text, "no error message");
        QVERIFY2(
          text->contains(QString::fromUtf8("ビットマップの保存に失敗しました (%1)。").arg(path)),
          qPrintable(*text));
        key("Return");
        QVERIFY(windowGone("^エラー$"));
        QVERIFY(out.entryList(QDir::Files | QDir::Hidden).isEmpty());
        return;
    }
    QVERIFY(waitFor([&] { return QFile::exists(path); }));
    QVERIFY2(out.entryList(QDir::Files | QDir::Hidden) == QStringList(name),
             qPrintable(out.entryList(QDir::Files | QDir::Hidden).join(",")));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QImage picture;
    QVERIFY(picture.loadFromData(bytes, format.constData()));
    QCOMPARE(picture.size(), QSize(frame.width() - 4, frame.height() - 4));
    if (format == "png") {
        QVERIFY(bytes.startsWith("\x89PNG"));
        const QString diff = compareCopy(picture, frame);
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    } else {
        QVERIFY(bytes.startsWith("\xFF\xD8\xFF"));
    }
}

void HandlesE2eTest::saveDialogSpeaksJapaneseInAnyLocale()
{
    // An English locale: the toolkit's own texts still come in Japanese.
    Ombrix ombrix;
    StartOptions options;
    options.env = { { "LANG", "C.UTF-8" }, { "LC_ALL", "C.UTF-8" }, { "LANGUAGE", "" } };
    QVERIFY(ombrix.start(options));
    const QRect frame = ombrix.geometry();
    const QString existing = QDir(ombrix.folder()).filePath("there.png");
    QVERIFY(writeFile(existing, "old"));

    clickControl(frame, kMoveHandle, 2);
    const auto dialog = findWindow("^名前を付けて保存$");
    QVERIFY2(dialog, "no save dialog titled 名前を付けて保存");
    typeFileName(*dialog, existing);
    key("Return");
    // The overwrite question, titled as its dialog. (Its own text and buttons come from the
    // same translation; X offers no way to read them, and Ctrl+C copies nothing from it.)
    QVERIFY(waitFor([] { return countWindows("^名前を付けて保存$") == 2; }));
    QString question;
    QVERIFY(waitFor([&] { return (question = activeWindow()) != *dialog && !question.isEmpty(); }));
    // No: the old file stays, and the dialog is back for another name.
    key("Escape");
    QVERIFY(waitFor([] { return countWindows("^名前を付けて保存$") == 1; }));
    key("Escape");
    QVERIFY(windowGone("^名前を付けて保存$"));
    QCOMPARE(fileBytes(existing).value_or("<none>"), QByteArray("old"));
}

QTEST_GUILESS_MAIN(HandlesE2eTest)
#include "HandlesE2eTest.moc"
