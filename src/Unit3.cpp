#include "Unit3.h"

#include "Errors.h"
#include "Globals.h"
#include "ToolWindowLook.h"
#include "Unit1.h"
#include "Unit4.h"
#include "WindowShow.h"
#include "controls/CameraIcon.h"
#include "controls/ColorComboBox.h"
#include "controls/ImageViewer.h"

#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace
{

const char* const kVersion = "Ombrix V1.9";
const char* const kCredit = "© 2026 Ombrix developers";

// The help text as laid out; the creation handler puts the version and an empty line on top.
// Shown above the help in a Wayland session whose desktop binds no global shortcuts.
const char* const kWaylandKeysHint =
  "※ この Wayland セッションのデスクトップはグローバルショートカットを提供していません。"
  "Ctrl+Alt+文字のショートカットキーは、Ombrix のウィンドウにフォーカスがあるときだけ使えます。";

const char* const kHelpLines[] = {
    "デスクトップ画面の枠線内の画像をキャプチャーするソフトです。",
    "",
    "十字ボタン上では、マウスの左ボタンドラッグで枠線を移動し、[Shift]+左ボタン",
    "ドラッグで枠線をリサイズし、右クリックで枠線内の部分をクリップボードにコピー",
    "し、中ボタンクリックで枠線内の部分をファイル保存します。また、[Ctrl]+左ボタン",
    "クリックで枠最大化/枠可変の切り替えができます。",
    "",
    "斜め矢印ボタン上では、マウスの左ボタンドラッグで枠線をリサイズし、",
    "[Shift]+左ボタンドラッグで枠線を移動し、右クリックで枠線内の部分をクリップ",
    "ボードにコピーし、中ボタンクリックで枠線内の部分をファイル保存します。",
    "",
    "[C]ボタン : 枠線内の部分をクリップボードにコピーします。",
    "[V]ボタン : 枠線内の部分をファイル保存します。",
    "[W]ボタン : コーナー(四隅)の部分を別ウインドウで拡大表示します。",
    "[A]ボタン : Aboutパネルを表示します。ボタンの色を変えることができます。",
    "[S]ボタン : Ombrixを最小化します。",
    "[X]ボタン : Ombrixを閉じます。",
    "",
    "【ショートカットキーの初期設定】",
    "[Ctrl]+[Alt]+[C]キー : 枠線内の部分をクリップボードにコピー",
    "[Ctrl]+[Alt]+[V]キー : 枠線内の部分をファイル保存",
    "[Ctrl]+[Alt]+[W]キー : コーナー(四隅)の部分を別ウインドウで拡大表示",
    "[Ctrl]+[Alt]+[S]キー : Ombrixを最小化",
    "[Ctrl]+[Alt]+[X]キー : Ombrixを閉じる",
    "",
    "【カスタマイズ】",
    "ボタンの色を変更できます。",
    "ショートカットキーのアルファベットの文字を変更できます。",
    "アルファベットの文字選択キーの文字色を変更できます。(初期値はGold色です)",
    "",
};

QFont fontOf(const char* family, int pixelSize)
{
    QFont f;
    if (family) {
        f.setFamily(QString::fromLatin1(family));
    }
    f.setPixelSize(pixelSize);
    return f;
}

QLabel* label(QWidget* parent, const char* text, QRect place, const QFont& font)
{
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    l->setGeometry(place);
    l->setFont(font);
    fitTextWidth(l, l->text(), place.width());
    return l;
}

} // namespace

TForm3::TForm3()
{
    Form3 = this;
    makeToolWindow(this, "About Ombrix", 602, 637);
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(darkStyleSheet());

    ImageViewer1 = new ImageViewer(this);
    ImageViewer1->setGeometry(8, 8, 49, 49);
    ImageViewer1->setBitmapScale(1.0);
    ImageViewer1->setBitmap(cameraIcon());
    ImageViewer1->setCursor(Qt::ArrowCursor);
    ImageViewer1->setFocusPolicy(Qt::TabFocus);

    lblExeVasion = label(this, "", { 65, 8, 184, 23 }, fontOf(nullptr, 20));

    Memo1 = new QPlainTextEdit(this);
    Memo1->setGeometry(9, 67, 585, 562);
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setFont(fontOf(nullptr, 16));
    QStringList lines;
    for (const char* line : kHelpLines) {
        lines << QString::fromUtf8(line);
    }
    Memo1->setPlainText(lines.join(u'\n'));

    ColorComboBox1 = new ColorComboBox(this);
    ColorComboBox1->setGeometry(427, 5, 167, 24);
    connect(ColorComboBox1, &ColorComboBox::colorChanged, this, [this] {
        guarded([&] { ColorComboBox1Change(ColorComboBox1); });
    });

    Label1 = label(this, "ボタンの色", { 361, 4, 66, 25 }, fontOf("Arial", 14));

    Button1 = new QPushButton(QString::fromUtf8("ショートカットキー変更"), this);
    Button1->setGeometry(427, 35, 134, 24);
    Button1->setFont(fontOf("Arial", 14));
    fitTextWidth(Button1, Button1->text(), Button1->width() - 6);
    connect(
      Button1, &QPushButton::clicked, this, [this] { guarded([&] { Button1Click(Button1); }); });

    Label2 = label(this, kCredit, { 65, 39, 153, 17 }, fontOf("Arial", 14));

    setTabOrder(ImageViewer1, Memo1);
    setTabOrder(Memo1, ColorComboBox1);
    setTabOrder(ColorComboBox1, Button1);

    guarded([this] { FormCreate(this); });
}

void TForm3::FormCreate(QObject*)
{
    ColorComboBox1->setColor(botanIro);
    lblExeVasion->setText(QString::fromLatin1(kVersion));
    QTextCursor top(Memo1->document());
    top.movePosition(QTextCursor::Start);
    top.insertText(QString::fromLatin1(kVersion) + u'\n' + u'\n');
    showKeysHint(Form1 && Form1->shortcutsNeedFocus());
}

void TForm3::showKeysHint(bool shown)
{
    // Said once, below the version: a Wayland desktop that binds no global shortcuts hands the
    // keys to the window that has the focus.
    const QString hint = QString::fromUtf8(kWaylandKeysHint) + u'\n' + u'\n';
    const QString version = QString::fromLatin1(kVersion) + u'\n' + u'\n';
    QTextCursor at(Memo1->document());
    at.setPosition(version.size());
    const bool there = Memo1->toPlainText().mid(version.size(), hint.size()) == hint;
    if (shown && !there) {
        at.insertText(hint);
    } else if (!shown && there) {
        at.setPosition(version.size() + hint.size(), QTextCursor::KeepAnchor);
        at.removeSelectedText();
    }
}

void TForm3::ColorComboBox1Change(QObject*)
{
    Form1->botanIroSet(this, ColorComboBox1->color());
}

void TForm3::Button1Click(QObject*)
{
    showWindow(Form4);
}
