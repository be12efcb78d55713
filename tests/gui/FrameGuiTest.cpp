// The real frame window in-process, over a synthetic desktop.

#include "Errors.h"
#include "GuiFixture.h"
#include "controls/GlowButton.h"
#include "controls/HandleImage.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QTest>

class FrameGuiTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void createdInOrderWithDefaults();
    void resizeHandleFollowsTheCorner_data();
    void resizeHandleFollowsTheCorner();
    void onlyTheDrawnPartsTakeTheMouse();
    void grabTakesTheFramedPixels();
    void grabFollowsTheFrame();
    void copyPutsThePictureOnTheClipboard();
    void refusedClipboardIsAnErrorNotAConfirmation_data();
    void refusedClipboardIsAnErrorNotAConfirmation();
    void failedGrabLeavesNothingBehind();
    void hintsNameTheShortcutLetters_data();
    void hintsNameTheShortcutLetters();
    void glowTakesTheColourAtOnce_data();
    void glowTakesTheColourAtOnce();
    void buttonsLightUnderThePointer();

private:
    GuiFixture fixture;
    FakePlatform*& fake = fixture.fake;
    std::unique_ptr<TForm1>& form1 = fixture.form1;
    std::unique_ptr<TForm3>& form3 = fixture.form3;
    std::unique_ptr<TForm2>& form2 = fixture.form2;
    std::unique_ptr<TForm4>& form4 = fixture.form4;
};

void FrameGuiTest::initTestCase()
{
    fixture.create();
    QVERIFY(QTest::qWaitForWindowExposed(form1.get()));
}

void FrameGuiTest::cleanupTestCase()
{
    fixture.destroy();
    QVERIFY(gazoBmp == nullptr);
}

void FrameGuiTest::createdInOrderWithDefaults()
{
    QCOMPARE(Form1, form1.get());
    QCOMPARE(Form2, form2.get());
    QCOMPARE(Form3, form3.get());
    QCOMPARE(Form4, form4.get());
    QCOMPARE(form1->size(), QSize(384, 246));
    QCOMPARE(form1->windowTitle(), QString("Form1"));
    QVERIFY(form1->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(form1->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(fake->beepOffs, 1);
    QVERIFY(!syoriChu);
    QVERIFY(gazoBmp && gazoBmp->isNull());
    QCOMPARE(form1->btnCopi->toolTip(), QString::fromUtf8("画像コピー [Ctrl]+[Alt]+[C]"));

    // The secondary windows wait hidden, at their sizes and titles.
    const struct {
        QWidget* w;
        const char* title;
        QSize size;
    } secondary[] = {
        { form2.get(), "Ombrix Zoom Window", { 425, 426 } },
        { form3.get(), "About Ombrix", { 602, 637 } },
        { form4.get(), "Ombrix  ショートカットキー設定", { 350, 380 } },
    };
    for (const auto& s : secondary) {
        QVERIFY(!s.w->isVisible());
        QCOMPARE(s.w->windowTitle(), QString::fromUtf8(s.title));
        QCOMPARE(s.w->size(), s.size);
        QVERIFY(s.w->windowFlags() & Qt::WindowStaysOnTopHint);
    }
}

void FrameGuiTest::resizeHandleFollowsTheCorner_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("handle");
    QTest::addRow("start size") << QSize(384, 246) << QPoint(350, 212);
    QTest::addRow("200 x 100") << QSize(200, 100) << QPoint(166, 66);
    QTest::addRow("narrower than the handle") << QSize(20, 60) << QPoint(-14, 26);
}

void FrameGuiTest::resizeHandleFollowsTheCorner()
{
    QFETCH(QSize, size);
    QFETCH(QPoint, handle);
    form1->resize(size);
    QTRY_COMPARE(form1->size(), size);
    QCOMPARE(form1->imgContSaiz->pos(), handle);
    QCOMPARE(form1->imgContIdou->pos(), QPoint(2, 2));
    QVERIFY(form1->drawnRegion().contains(QRect(handle, QSize(30, 30)).intersected(form1->rect())));
    form1->resize(384, 246);
    QTRY_COMPARE(form1->size(), QSize(384, 246));
}

void FrameGuiTest::onlyTheDrawnPartsTakeTheMouse()
{
    const QRegion drawn = form1->mask();
    QCOMPARE(drawn, form1->drawnRegion());
    // Rings: column 0 and 2 drawn, 1 and 3 not.
    QVERIFY(drawn.contains(QPoint(0, 100)));
    QVERIFY(!drawn.contains(QPoint(1, 100)));
    QVERIFY(drawn.contains(QPoint(2, 100)));
    QVERIFY(!drawn.contains(QPoint(3, 100)));
    QVERIFY(drawn.contains(QPoint(383, 100)));
    QVERIFY(!drawn.contains(QPoint(382, 100)));
    QVERIFY(drawn.contains(QPoint(381, 100)));
    QVERIFY(drawn.contains(QPoint(200, 243)));
    // Inside: only the buttons and handles.
    QVERIFY(!drawn.contains(QPoint(200, 120)));
    QVERIFY(drawn.contains(QPoint(40, 6)));   // "C"
    QVERIFY(drawn.contains(QPoint(105, 49))); // "X", bottom-right pixel
    QVERIFY(!drawn.contains(QPoint(106, 49)));
    QVERIFY(drawn.contains(QPoint(365, 227))); // resize handle
    QVERIFY(!drawn.contains(QPoint(380, 227)));
}

void FrameGuiTest::grabTakesTheFramedPixels()
{
    form1->move(100, 120);
    QTRY_COMPARE(form1->pos(), QPoint(100, 120));
    // The platform takes the frame off the screen for the read; the toolkit must not hide it,
    // which would hand the window back to the window manager's placement.
    bool shownDuringCopy = false;
    fake->onCopy = [&] { shownDuringCopy = form1->isVisible(); };
    const int grabs = fake->waits;
    form1->gamenGetModo(form1.get());
    form1->gazoCopy(form1.get());
    fake->onCopy = nullptr;
    syoriChu = false;

    QCOMPARE(fake->waits, grabs + 1);
    QVERIFY(shownDuringCopy);
    QCOMPARE(fake->lastCopyOrigin.x, 102);
    QCOMPARE(fake->lastCopyOrigin.y, 123);
    QCOMPARE(gazoBmp->size(), QSize(380, 242));
    for (const QPoint p :
         { QPoint(0, 0), QPoint(379, 0), QPoint(0, 241), QPoint(379, 241), QPoint(17, 33) }) {
        QCOMPARE(gazoBmp->pixel(p), FakePlatform::desktopPixel(102 + p.x(), 123 + p.y()));
    }
}

// The grab reads the framed area alone, whatever the display's size.
void FrameGuiTest::grabFollowsTheFrame()
{
    form1->setGeometry(300, 200, 200, 100);
    QTRY_COMPARE(form1->geometry(), QRect(300, 200, 200, 100));
    form1->gamenGetModo(form1.get());
    form1->gazoCopy(form1.get());
    syoriChu = false;
    QCOMPARE(fake->lastCopyOrigin.x, 302);
    QCOMPARE(fake->lastCopyOrigin.y, 203);
    QCOMPARE(fake->lastCopyOrigin.width, 196);
    QCOMPARE(fake->lastCopyOrigin.height, 96);
    QCOMPARE(gazoBmp->size(), QSize(196, 96));
    QCOMPARE(gazoBmp->pixel(195, 95), FakePlatform::desktopPixel(302 + 195, 203 + 95));
    form1->resize(384, 246);
    QTRY_COMPARE(form1->size(), QSize(384, 246));
}

void FrameGuiTest::copyPutsThePictureOnTheClipboard()
{
    QGuiApplication::clipboard()->setText("before");
    ModalAnswerer answer;
    form1->clipCopi(form1.get());
    QCOMPARE(answer.seen, QString::fromUtf8("MessageBox|情報|クリップボードにコピーしました"));
    QVERIFY(!syoriChu);
    QVERIFY(form1->isVisible());
    const QImage onClipboard = QGuiApplication::clipboard()->image();
    QCOMPARE(onClipboard.size(), QSize(380, 242));
    QCOMPARE(onClipboard.pixel(5, 7), FakePlatform::desktopPixel(form1->x() + 7, form1->y() + 10));
    QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
}

void FrameGuiTest::refusedClipboardIsAnErrorNotAConfirmation_data()
{
    // The system's reason goes to the log, which says nothing unless it is switched on.
    QTest::addColumn<QString>("logRules");
    QTest::addColumn<bool>("logged");
    QTest::addRow("log as it comes") << QString() << false;
    QTest::addRow("QT_LOGGING_RULES=ombrix.*=true") << QString("ombrix.*=true") << true;
}

void FrameGuiTest::refusedClipboardIsAnErrorNotAConfirmation()
{
    QFETCH(QString, logRules);
    QFETCH(bool, logged);
    QLoggingCategory::setFilterRules(logRules);
    const auto defaultRules = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    const QRegularExpression reason("the test holds the clipboard");
    if (logged) {
        QTest::ignoreMessage(QtWarningMsg, reason);
    } else {
        QTest::failOnWarning(reason);
    }
    fake->refuseClipboard = true;
    ModalAnswerer answer;
    emit form1->btnCopi->clicked();
    fake->refuseClipboard = false;
    QCOMPARE(answer.seen, QString::fromUtf8("MessageBox|エラー|クリップボードにコピーできません."));
    QVERIFY(!syoriChu);
    QVERIFY(form1->isVisible());
}

void FrameGuiTest::failedGrabLeavesNothingBehind()
{
    // Part-way errors must not leave the frame hidden nor the shortcuts dead.
    fake->failCopy = true;
    bool raised = false;
    try {
        form1->clipCopi(form1.get());
    } catch (const std::exception&) {
        raised = true;
    }
    fake->failCopy = false;
    QVERIFY(raised);
    QVERIFY(form1->isVisible());
    QVERIFY(!syoriChu);

    // And the next copy works.
    ModalAnswerer answer;
    const int before = fake->copies;
    form1->clipCopi(form1.get());
    QCOMPARE(fake->copies, before + 1);
    QVERIFY(!syoriChu);
}

void FrameGuiTest::hintsNameTheShortcutLetters_data()
{
    QTest::addColumn<QString>("letter");
    QTest::addColumn<QString>("copyHint");
    QTest::addRow("Q") << "Q" << QString::fromUtf8("画像コピー [Ctrl]+[Alt]+[Q]");
    QTest::addRow("a word") << "Copy" << QString::fromUtf8("画像コピー [Ctrl]+[Alt]+[Copy]");
    QTest::addRow("lower case") << "c" << QString::fromUtf8("画像コピー [Ctrl]+[Alt]+[c]");
    QTest::addRow("empty") << "" << QString::fromUtf8("画像コピー [Ctrl]+[Alt]+[]");
}

void FrameGuiTest::hintsNameTheShortcutLetters()
{
    QFETCH(QString, letter);
    QFETCH(QString, copyHint);
    const auto saved = kiiMoji;
    kiiMoji[0] = letter;
    kiiMoji[4] = letter;
    form1->botanHintSet(form1.get());
    kiiMoji = saved;
    QCOMPARE(form1->btnCopi->toolTip(), copyHint);
    QCOMPARE(form1->btnClose->toolTip(),
             QString::fromUtf8("Ombrixを閉じる [Ctrl]+[Alt]+[") + letter + "]");
    // The others keep the default letters; the texts on the buttons never change.
    QCOMPARE(form1->btnFilSave->toolTip(),
             QString::fromUtf8("画像をファイル保存 [Ctrl]+[Alt]+[V]"));
    QCOMPARE(form1->btnZoom->toolTip(), QString::fromUtf8("コーナーズームパネル [Ctrl]+[Alt]+[W]"));
    QCOMPARE(form1->btnHelp->toolTip(), QString("About"));
    QCOMPARE(form1->btnSaisyouka->toolTip(), QString::fromUtf8("最小化 [Ctrl]+[Alt]+[S]"));
    QCOMPARE(form1->btnCopi->text(), QString("C"));
    QCOMPARE(form1->btnClose->text(), QString("X"));
    form1->botanHintSet(form1.get());
}

void FrameGuiTest::glowTakesTheColourAtOnce_data()
{
    QTest::addColumn<uint>("colour");
    QTest::addRow("red") << 0xFFFF0000u;
    QTest::addRow("half-transparent red") << 0x80FF0000u;
    QTest::addRow("Null") << 0x00000000u;
    QTest::addRow("blue") << 0xFF0000FFu;
}

void FrameGuiTest::glowTakesTheColourAtOnce()
{
    QFETCH(uint, colour);
    form1->botanIroSet(form1.get(), colour);
    QCOMPARE(botanIro, colour);
    const QList<QWidget*> controls = { form1->btnCopi,     form1->btnFilSave,   form1->btnZoom,
                                       form1->btnHelp,     form1->btnSaisyouka, form1->btnClose,
                                       form1->imgContIdou, form1->imgContSaiz };
    for (QWidget* w : controls) {
        const QColor glow = qobject_cast<GlowButton*>(w)
                              ? qobject_cast<GlowButton*>(w)->glowColour()
                              : qobject_cast<HandleImage*>(w)->glowColour();
        QCOMPARE(glow.rgba(), colour);
    }
    // What is drawn: the edge of "C" carries the glow (red there, nothing of it for Null).
    const QImage drawn = form1->btnCopi->grab().toImage();
    const QColor edge = drawn.pixelColor(1, 11);
    if (qAlpha(colour) == 255 && qRed(colour) == 255) {
        QVERIFY2(edge.red() > edge.blue() + 40, qPrintable(edge.name()));
    }
    if (colour == 0) {
        form1->botanIroSet(form1.get(), 0xFF00FF00u);
        const QColor green = form1->btnCopi->grab().toImage().pixelColor(1, 11);
        form1->botanIroSet(form1.get(), 0);
        QVERIFY(green != edge);
        QCOMPARE(form1->btnCopi->grab().toImage().pixelColor(1, 11), edge);
    }
    form1->botanIroSet(form1.get(), claBlue);
}

void FrameGuiTest::buttonsLightUnderThePointer()
{
    if (runningUnderWine()) {
        QSKIP("Wine moves the pointer for SetCursorPos without telling the window under it");
    }
    // Where the window manager has the frame now: it is not moved for this.
    QVERIFY(QTest::qWaitForWindowExposed(form1.get()));
    form1->raise();
    // The pointer moves about a little, as a hand does, until the widget under it reacts: the
    // window manager may still be placing the frame when the pointer first arrives.
    const auto hover = [](QWidget* over, QPoint at, const std::function<bool()>& lit) {
        for (int i = 0; i < 100 && !lit(); ++i) {
            QCursor::setPos(over->mapToGlobal(at + QPoint(i % 2, 0)));
            QTest::qWait(20);
        }
        return lit();
    };
    QVERIFY(hover(form1.get(), { 200, 150 }, [&] { return form1->btnCopi->opacity() == 0.5; }));

    QVERIFY(hover(form1->btnCopi, { 10, 10 }, [&] { return form1->btnCopi->opacity() == 1.0; }));
    QCOMPARE(form1->btnFilSave->opacity(), 0.5);
    QCOMPARE(form1->btnHelp->opacity(), 0.5);

    QVERIFY(
      hover(form1->btnFilSave, { 10, 10 }, [&] { return form1->btnFilSave->opacity() == 1.0; }));
    QTRY_COMPARE(form1->btnCopi->opacity(), 0.5);

    QVERIFY(hover(form1.get(), { 200, 150 }, [&] { return form1->btnFilSave->opacity() == 0.5; }));
}

QTEST_MAIN(FrameGuiTest)
#include "FrameGuiTest.moc"
