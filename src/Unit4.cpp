#include "Unit4.h"

#include "Errors.h"
#include "Rules.h"
#include "ToolWindowLook.h"
#include "Unit1.h"
#include "WindowShow.h"
#include "controls/ColorComboBox.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

namespace
{

constexpr int kKeys = 26;
constexpr int kKeySize = 24;
constexpr int kKeyFontSize = 14;
const char* const kKeyboardOrder = "QWERTYUIOPASDFGHJKLZXCVBNM";

struct RadioPlace {
    const char* text;
    int y;
    int width; // 0: the toolkit's own size
};
const RadioPlace kRadios[5] = {
    { "クリップボードにコピー", 40, 144 }, { "ファイル保存", 67, 0 },
    { "拡大表示パネル", 94, 0 },           { "Ombrixを最小化", 120, 144 },
    { "Ombrixを閉じる", 146, 136 },
};
const int kArrowY[5] = { 41, 68, 93, 121, 147 };
constexpr int kGenX = 150;
constexpr int kHenX = 191;

QFont arial(int pixelSize)
{
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(pixelSize);
    return f;
}

QLabel* label(QWidget* parent, const char* text, QRect place, int fontSize)
{
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    l->setGeometry(place);
    l->setFont(arial(fontSize));
    fitTextWidth(l, l->text(), place.width());
    return l;
}

// Where key i (1..26) of the keyboard order lies inside its panel.
QPoint keyPlace(int i)
{
    int s = 0, t = 0;
    if (i >= 20) {
        s = -452, t = 50;
    } else if (i >= 11) {
        s = -237, t = 25;
    }
    return { 25 * (i - 1) + 10 + s, 10 + t };
}

QString keyStyle(TAlphaColor colour)
{
    const QColor c = QColor::fromRgba(colour);
    const QString rgba = QStringLiteral("rgba(%1, %2, %3, %4)")
                           .arg(c.red())
                           .arg(c.green())
                           .arg(c.blue())
                           .arg(c.alpha());
    // Disabled keys keep the colour, fainter.
    const QString faint = QStringLiteral("rgba(%1, %2, %3, %4)")
                            .arg(c.red())
                            .arg(c.green())
                            .arg(c.blue())
                            .arg(c.alpha() * 2 / 5);
    return QStringLiteral("QPushButton { color: %1; } QPushButton:disabled { color: %2; }")
      .arg(rgba, faint);
}

} // namespace

TForm4::TForm4()
{
    Form4 = this;
    makeToolWindow(this, "Ombrix  ショートカットキー設定", 534, 415);
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(darkStyleSheet());

    Label6 =
      label(this, "ショートカットキー[Ctrl]+[Alt]+アルファベットの設定", { 17, 8, 321, 17 }, 16);

    pnlSentak = new QFrame(this);
    pnlSentak->setObjectName(QStringLiteral("pnlSentak"));
    pnlSentak->setGeometry(17, 33, 232, 176);
    Label7 = label(pnlSentak, "現在のキー  >", { 57, 5, 83, 25 }, 14);
    Label8 = label(pnlSentak, "変更後のキー", { 138, 9, 88, 17 }, 14);
    for (int i = 0; i < 5; ++i) {
        auto* r = new QRadioButton(QString::fromUtf8(kRadios[i].text), pnlSentak);
        r->setObjectName(QStringLiteral("rbtn%1").arg(i + 1));
        r->setFont(arial(14));
        r->adjustSize();
        r->move(7, kRadios[i].y);
        if (kRadios[i].width) {
            r->resize(kRadios[i].width, 19);
            // The text beside the round indicator fits the laid-out width.
            fitTextWidth(r, r->text(), kRadios[i].width - 22);
        }
        rbtn[i] = r;
        label(pnlSentak, ">", { 179, kArrowY[i], 17, 17 }, 14);
    }
    rbtn[0]->setChecked(true);

    Label1 = label(this, "変更後のキー指定", { 17, 217, 136, 17 }, 16);
    pnlKii = new QFrame(this);
    pnlKii->setObjectName(QStringLiteral("pnlKii"));
    pnlKii->setGeometry(17, 242, 270, 95);
    Label10 = label(this, "キーの文字色", { 17, 345, 91, 17 }, 16);

    ColorComboBox1 = new ColorComboBox(this);
    ColorComboBox1->setGeometry(108, 345, 171, 22);
    connect(ColorComboBox1, &ColorComboBox::colorChanged, this, [this] {
        guarded([&] { ColorComboBox1Change(ColorComboBox1); });
    });

    memArfa = new QPlainTextEdit(this);
    memArfa->setGeometry(384, 64, 73, 273);
    QStringList letters;
    for (const char* c = kKeyboardOrder; *c; ++c) {
        letters << QString(QChar::fromLatin1(*c));
    }
    memArfa->setPlainText(letters.join(u'\n'));

    guarded([this] { FormCreate(this); });
}

void TForm4::FormCreate(QObject*)
{
    setFixedSize(350, 380);
    memArfa->hide();
    botanCreate(this);
    edGenzaiCreate(this);
    edHenkoGCreate(this);
    for (int i = 1; i <= 5; ++i) {
        edGen(i)->setText(kiiMoji[i - 1]);
    }
    for (int i = 1; i <= 5; ++i) {
        edHen(i)->setText(kiiMoji[i - 1]);
    }
    ColorComboBox1->setColor(kiiIro);
}

void TForm4::botanCreate(QObject*)
{
    const QStringList lines = memArfa->toPlainText().split(u'\n');
    for (int i = 1; i <= kKeys; ++i) {
        auto* b = new QPushButton(pnlKii);
        b->setObjectName(QStringLiteral("btn%1").arg(i));
        botanTbl[i - 1] = b;
        b->setGeometry(QRect(keyPlace(i), QSize(kKeySize, kKeySize)));
        b->setText(lines.value(i - 1));
        QFont f = b->font();
        f.setPixelSize(kKeyFontSize);
        b->setFont(f);
        b->setStyleSheet(keyStyle(kiiIro));
        b->setFocusPolicy(Qt::NoFocus);
        if (letterInUse(b->text())) {
            b->setEnabled(false);
        }
        connect(b, &QPushButton::clicked, this, [this, b] { guarded([&] { botanClick(b); }); });
    }
}

void TForm4::edGenzaiCreate(QObject*)
{
    makeBoxes("edGen", kGenX, 26);
}

void TForm4::edHenkoGCreate(QObject*)
{
    makeBoxes("edHen", kHenX, 31);
}

// Five read-only one-letter boxes in a column, one beside each action's radio button.
void TForm4::makeBoxes(const char* name, int x, size_t firstEntry)
{
    for (int i = 1; i <= 5; ++i) {
        auto* e = new QLineEdit(pnlSentak);
        e->setObjectName(QStringLiteral("%1%2").arg(QLatin1String(name)).arg(i));
        e->setGeometry(x, 40 + 26 * (i - 1), 24, 24);
        e->setReadOnly(true);
        botanTbl[firstEntry + static_cast<size_t>(i) - 1] = e;
    }
}

bool TForm4::letterInUse(const QString& letter)
{
    return std::find(kiiMoji.begin(), kiiMoji.end(), letter) != kiiMoji.end();
}

QPushButton* TForm4::key(int i) const
{
    return static_cast<QPushButton*>(botanTbl[i - 1]);
}

QLineEdit* TForm4::edGen(int i) const
{
    return static_cast<QLineEdit*>(botanTbl[26 + i - 1]);
}

QLineEdit* TForm4::edHen(int i) const
{
    return static_cast<QLineEdit*>(botanTbl[31 + i - 1]);
}

void TForm4::botanClick(QObject* Sender)
{
    const auto* clicked = qobject_cast<QPushButton*>(Sender);
    if (!clicked) {
        return;
    }
    const QString letter = clicked->text();
    for (int i = 1; i <= 5; ++i) {
        if (rbtn[i - 1]->isChecked()) {
            edHen(i)->setText(letter);
            break;
        }
    }
    for (int i = 1; i <= 5; ++i) {
        kiiMoji[i - 1] = edHen(i)->text();
        kiiCode[i - 1] = rules::keyCodeOf(kiiMoji[i - 1]);
    }
    Form1->botanHintSet(this);
    enableFreeKeys();
}

void TForm4::enableFreeKeys()
{
    for (int i = 1; i <= kKeys; ++i) {
        QPushButton* b = key(i);
        b->setEnabled(true);
        if (letterInUse(b->text())) {
            b->setEnabled(false);
        }
    }
}

void TForm4::ColorComboBox1Change(QObject*)
{
    kiiIroSet(this, ColorComboBox1->color());
}

void TForm4::kiiIroSet(QObject*, TAlphaColor iro)
{
    kiiIro = iro;
    for (int i = 1; i <= kKeys; ++i) {
        key(i)->setStyleSheet(keyStyle(kiiIro));
    }
}
