// The About panel and the shortcut key settings window in-process, with the real frame.

#include "GuiFixture.h"
#include "WindowShow.h"
#include "controls/ColorComboBox.h"
#include "controls/GlowButton.h"
#include "controls/ImageViewer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextBlock>

namespace
{

QStringList memoLines(QPlainTextEdit* memo)
{
    QStringList lines;
    for (QTextBlock b = memo->document()->begin(); b.isValid(); b = b.next()) {
        lines << b.text();
    }
    return lines;
}

// The five boxes of one column, as one text: "CVWSX".
QString column(TForm4* f, bool current)
{
    QString s;
    for (int i = 1; i <= 5; ++i) {
        s += (current ? f->edGen(i) : f->edHen(i))->text() + u'|';
    }
    return s;
}

QString disabledKeys(TForm4* f)
{
    QString s;
    for (int i = 1; i <= 26; ++i) {
        if (!f->key(i)->isEnabled()) {
            s += f->key(i)->text();
        }
    }
    return s;
}

} // namespace

class PanelsGuiTest : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void aboutPanelDefaultState();
    void pickingAColourRecoloursTheGlowsAtOnce();
    void storedColourOutsideTheListShowsNull();
    void shortcutWindowDefaultState();
    void clicksOnLetterKeys();
    void handEditedLettersAreShownAsTheyAre();
    void keyColour();

private:
    void start(const QByteArray& ini = {})
    {
        if (!ini.isEmpty()) {
            QFile f(fixture.settingsFolder.filePath("Ombrix.ini"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        fixture.create();
        fixture.form1->TtimKeyGet->stop();
    }
    GuiFixture fixture;
};

void PanelsGuiTest::cleanup()
{
    fixture.destroy();
    QFile::remove(fixture.settingsFolder.filePath("Ombrix.ini"));
}

void PanelsGuiTest::aboutPanelDefaultState()
{
    start();
    TForm3* a = fixture.form3.get();
    QCOMPARE(a->windowTitle(), QString("About Ombrix"));
    QCOMPARE(a->size(), QSize(602, 637));
    QCOMPARE(a->lblExeVasion->text(), QString("Ombrix V1.9"));
    QCOMPARE(a->ColorComboBox1->currentText(), QString("Blue"));
    QVERIFY(a->Memo1->isReadOnly());
    const QStringList lines = memoLines(a->Memo1);
    QCOMPARE(lines.size(), 32);
    QCOMPARE(lines[0], QString("Ombrix V1.9"));
    QCOMPARE(lines[1], QString());
    QCOMPARE(lines[2],
             QString::fromUtf8("デスクトップ画面の枠線内の画像をキャプチャーするソフトです。"));
    QCOMPARE(lines[15],
             QString::fromUtf8("[W]ボタン : コーナー(四隅)の部分を別ウインドウで拡大表示します。"));
    QCOMPARE(lines[20], QString::fromUtf8("【ショートカットキーの初期設定】"));
    QCOMPARE(lines[30],
             QString::fromUtf8(
               "アルファベットの文字選択キーの文字色を変更できます。(初期値はGold色です)"));
    QCOMPARE(lines[31], QString());
    // Places and texts of the controls.
    QCOMPARE(a->Memo1->geometry(), QRect(9, 67, 585, 562));
    QCOMPARE(a->ColorComboBox1->geometry(), QRect(427, 5, 167, 24));
    QCOMPARE(a->Button1->geometry(), QRect(427, 35, 134, 24));
    QCOMPARE(a->Button1->text(), QString::fromUtf8("ショートカットキー変更"));
    QCOMPARE(a->Label1->text(), QString::fromUtf8("ボタンの色"));
    QCOMPARE(a->ImageViewer1->geometry(), QRect(8, 8, 49, 49));
    QCOMPARE(a->ImageViewer1->bitmap().size(), QSize(48, 48));
    QCOMPARE(qAlpha(a->ImageViewer1->bitmap().pixel(0, 47)), 0); // transparent background
    // Every text is whole within its control. (Not under Wine: its stand-in for the windows'
    // font is wider, and the toolkit's Windows font engine there does not narrow it.)
    for (QWidget* w : { static_cast<QWidget*>(a->Button1),
                        static_cast<QWidget*>(a->Label1),
                        static_cast<QWidget*>(a->Label2) }) {
        const QString text = qobject_cast<QLabel*>(w) ? qobject_cast<QLabel*>(w)->text()
                                                      : qobject_cast<QPushButton*>(w)->text();
        QVERIFY2(runningUnderWine() ||
                   QFontMetrics(w->font()).horizontalAdvance(text) <= w->width(),
                 qPrintable(text));
    }

    // Showing it twice adds no second version line.
    showWindow(a);
    a->hide();
    showWindow(a);
    QCOMPARE(memoLines(a->Memo1).size(), 32);
    a->hide();
}

void PanelsGuiTest::pickingAColourRecoloursTheGlowsAtOnce()
{
    start();
    TForm3* a = fixture.form3.get();
    a->ColorComboBox1->setCurrentIndex(a->ColorComboBox1->findText("Red"));
    QCOMPARE(botanIro, 0xFFFF0000u);
    QCOMPARE(fixture.form1->btnCopi->glowColour().rgba(), 0xFFFF0000u);
    a->ColorComboBox1->setCurrentIndex(a->ColorComboBox1->findText("Null"));
    QCOMPARE(botanIro, 0u);
    QCOMPARE(fixture.form1->btnClose->glowColour().rgba(), 0u);
    // Cyan shows as Aqua at the next start.
    a->ColorComboBox1->setCurrentIndex(a->ColorComboBox1->findText("Cyan"));
    fixture.form1->iniKaku(fixture.form1.get());
    fixture.destroy();
    fixture.create();
    QCOMPARE(fixture.form3->ColorComboBox1->currentText(), QString("Aqua"));
    QCOMPARE(botanIro, 0xFF00FFFFu);
}

void PanelsGuiTest::storedColourOutsideTheListShowsNull()
{
    start("[botan]\r\ncolor=$80FF0000\r\n[kii]\r\nfontcolor=$80112233\r\n");
    QCOMPARE(fixture.form3->ColorComboBox1->currentText(), QString("Null"));
    QCOMPARE(botanIro, 0x80FF0000u);
    QCOMPARE(fixture.form1->btnCopi->glowColour().rgba(), 0x80FF0000u);
    QCOMPARE(fixture.form4->ColorComboBox1->currentText(), QString("Null"));
    QCOMPARE(kiiIro, 0x80112233u);
}

void PanelsGuiTest::shortcutWindowDefaultState()
{
    start();
    TForm4* k = fixture.form4.get();
    QCOMPARE(k->windowTitle(), QString::fromUtf8("Ombrix  ショートカットキー設定"));
    QCOMPARE(k->size(), QSize(350, 380));
    QCOMPARE(column(k, true), QString("C|V|W|S|X|"));
    QCOMPARE(column(k, false), QString("C|V|W|S|X|"));
    QCOMPARE(disabledKeys(k), QString("WSXCV"));
    QVERIFY(k->rbtn[0]->isChecked());
    QCOMPARE(k->ColorComboBox1->currentText(), QString("Gold"));
    QVERIFY(!k->memArfa->isVisible() && k->memArfa->isHidden());
    // The keyboard: Q at (10, 10), A at (23, 35), Z at (33, 60), M at (183, 60).
    const struct {
        int i;
        const char* letter;
        QPoint at;
    } keys[] = { { 1, "Q", { 10, 10 } },   { 10, "P", { 235, 10 } }, { 11, "A", { 23, 35 } },
                 { 19, "L", { 223, 35 } }, { 20, "Z", { 33, 60 } },  { 26, "M", { 183, 60 } } };
    for (const auto& key : keys) {
        QCOMPARE(k->key(key.i)->text(), QString(key.letter));
        QCOMPARE(k->key(key.i)->geometry(), QRect(key.at, QSize(24, 24)));
        QCOMPARE(k->key(key.i)->objectName(), QString("btn%1").arg(key.i));
        QCOMPARE(k->key(key.i)->parentWidget(), k->pnlKii);
    }
    QCOMPARE(k->edGen(3)->geometry(), QRect(150, 92, 24, 24));
    QCOMPARE(k->edHen(5)->geometry(), QRect(191, 144, 24, 24));
    QVERIFY(k->edHen(1)->isReadOnly() && k->edGen(1)->isReadOnly());
    QCOMPARE(k->rbtn[4]->text(), QString::fromUtf8("Ombrixを閉じる"));
    QCOMPARE(k->pnlKii->geometry(), QRect(17, 242, 270, 95));

    // "ショートカットキー変更" shows it above the About panel.
    showWindow(fixture.form3.get());
    fixture.form3->Button1->click();
    QVERIFY(k->isVisible());
    k->hide();
    fixture.form3->hide();
}

void PanelsGuiTest::clicksOnLetterKeys()
{
    start();
    TForm4* k = fixture.form4.get();
    TForm1* f = fixture.form1.get();
    const auto keyOf = [&](const char* letter) {
        for (int i = 1; i <= 26; ++i) {
            if (k->key(i)->text() == QLatin1String(letter)) {
                return k->key(i);
            }
        }
        return static_cast<QPushButton*>(nullptr);
    };

    // Copy selected, Q clicked.
    keyOf("Q")->click();
    QCOMPARE(column(k, false), QString("Q|V|W|S|X|"));
    QCOMPARE(column(k, true), QString("C|V|W|S|X|"));
    QCOMPARE(kiiMoji[0], QString("Q"));
    QCOMPARE(kiiCode[0], uint16_t('Q'));
    QCOMPARE(disabledKeys(k), QString("QWSXV"));
    QCOMPARE(f->btnCopi->toolTip(), QString::fromUtf8("画像コピー [Ctrl]+[Alt]+[Q]"));
    QCOMPARE(f->btnCopi->text(), QString("C"));

    // Then Z for the same action: Q free again.
    keyOf("Z")->click();
    QCOMPARE(column(k, false), QString("Z|V|W|S|X|"));
    QCOMPARE(disabledKeys(k), QString("WSZXV"));

    // The close action gets N; X is free again.
    k->rbtn[4]->setChecked(true);
    keyOf("N")->click();
    QCOMPARE(column(k, false), QString("Z|V|W|S|N|"));
    QCOMPARE(kiiCode[4], uint16_t('N'));
    QCOMPARE(disabledKeys(k), QString("WSZVN"));
    QCOMPARE(f->btnClose->toolTip(), QString::fromUtf8("Ombrixを閉じる [Ctrl]+[Alt]+[N]"));

    // Saved at the next close.
    f->iniKaku(f);
    QFile ini(fixture.settingsFolder.filePath("Ombrix.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray bytes = ini.readAll();
    QVERIFY(bytes.contains("copi=Z\r\n") && bytes.contains("clos=N\r\n"));
}

void PanelsGuiTest::handEditedLettersAreShownAsTheyAre()
{
    start("[sKyMoj]\r\ncopi=c\r\nsave=Save\r\n");
    TForm4* k = fixture.form4.get();
    QCOMPARE(column(k, true), QString("c|Save|W|S|X|"));
    QCOMPARE(column(k, false), QString("c|Save|W|S|X|"));
    QCOMPARE(disabledKeys(k), QString("WSX"));
    QCOMPARE(kiiCode[0], uint16_t(0x63));
    QCOMPARE(kiiCode[1], uint16_t('S'));
    // A click for another action leaves them as they are.
    k->rbtn[2]->setChecked(true);
    k->key(1)->click(); // Q for the zoom
    QCOMPARE(column(k, false), QString("c|Save|Q|S|X|"));
    QCOMPARE(kiiMoji[0], QString("c"));
    QCOMPARE(kiiMoji[1], QString("Save"));
}

void PanelsGuiTest::keyColour()
{
    start();
    TForm4* k = fixture.form4.get();
    const auto letterColour = [&](int i) {
        return k->key(i)->palette().color(QPalette::Active, QPalette::ButtonText);
    };
    k->ensurePolished();
    k->key(1)->ensurePolished();
    QCOMPARE(letterColour(1).rgba(), 0xFFFFD700u);
    k->ColorComboBox1->setCurrentIndex(k->ColorComboBox1->findText("Red"));
    QCOMPARE(kiiIro, 0xFFFF0000u);
    k->key(1)->ensurePolished();
    QCOMPARE(letterColour(1).rgba(), 0xFFFF0000u);
    k->ColorComboBox1->setCurrentIndex(k->ColorComboBox1->findText("Null"));
    QCOMPARE(kiiIro, 0u);
    k->key(26)->ensurePolished();
    QCOMPARE(letterColour(26).alpha(), 0);
}

QTEST_MAIN(PanelsGuiTest)
#include "PanelsGuiTest.moc"
