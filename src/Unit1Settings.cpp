// TForm1: the settings and the hints that show them.

#include "Unit1.h"

#include "controls/GlowButton.h"

void TForm1::iniYomu(QObject*)
{
    // Until the settings file is read, the defaults stand.
    for (size_t i = 0; i < kiiMoji.size(); ++i) {
        kiiCode[i] = kiiMoji[i].isEmpty() ? 0 : kiiMoji[i].at(0).unicode();
    }
    botanHintSet(this);
}

void TForm1::iniKaku(QObject*) {}

void TForm1::botanHintSet(QObject*)
{
    const auto shortcut = [](const QString& letter) {
        return QStringLiteral(" [Ctrl]+[Alt]+[") + letter + u']';
    };
    Form1->btnCopi->setToolTip(QStringLiteral("画像コピー") + shortcut(kiiMoji[0]));
    Form1->btnFilSave->setToolTip(QStringLiteral("画像をファイル保存") + shortcut(kiiMoji[1]));
    Form1->btnZoom->setToolTip(QStringLiteral("コーナーズームパネル") + shortcut(kiiMoji[2]));
    Form1->btnHelp->setToolTip(QStringLiteral("About"));
    Form1->btnSaisyouka->setToolTip(QStringLiteral("最小化") + shortcut(kiiMoji[3]));
    Form1->btnClose->setToolTip(QStringLiteral("Ombrixを閉じる") + shortcut(kiiMoji[4]));
}
