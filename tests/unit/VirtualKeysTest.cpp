#include "virtual_keys.h"

#include <QTest>
#include <X11/keysym.h>

using Keysyms = std::vector<unsigned long>;
Q_DECLARE_METATYPE(Keysyms)

class VirtualKeysTest : public QObject
{
    Q_OBJECT
private slots:
    void table_data();
    void table();
};

void VirtualKeysTest::table_data()
{
    QTest::addColumn<int>("vk");
    QTest::addColumn<Keysyms>("keysyms");
    QTest::addRow("A") << 0x41 << Keysyms{ XK_a };
    QTest::addRow("C") << 0x43 << Keysyms{ XK_c };
    QTest::addRow("Z") << 0x5A << Keysyms{ XK_z };
    QTest::addRow("0") << 0x30 << Keysyms{ XK_0 };
    QTest::addRow("9") << 0x39 << Keysyms{ XK_9 };
    QTest::addRow("numpad 0") << 0x60 << Keysyms{ XK_KP_0, XK_KP_Insert };
    // A lower-case letter's code names a numpad key: 'c' is 0x63, VK_NUMPAD3.
    QTest::addRow("numpad 3, also 'c'") << 0x63 << Keysyms{ XK_KP_3, XK_KP_Next };
    QTest::addRow("numpad 9") << 0x69 << Keysyms{ XK_KP_9, XK_KP_Prior };
    QTest::addRow("Ctrl") << 0x11 << Keysyms{ XK_Control_L, XK_Control_R };
    QTest::addRow("Alt") << 0x12 << Keysyms{ XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R };
    QTest::addRow("Shift") << 0x10 << Keysyms{ XK_Shift_L, XK_Shift_R };
    QTest::addRow("F1") << 0x70 << Keysyms{ XK_F1 };
    QTest::addRow("F24") << 0x87 << Keysyms{ XK_F24 };
    QTest::addRow("OEM_1") << 0xBA << Keysyms{ XK_semicolon };
    // The first and last codes of the look-up table, and a code between two of its rows.
    QTest::addRow("Backspace") << 0x08 << Keysyms{ XK_BackSpace };
    QTest::addRow("OEM_102") << 0xE2 << Keysyms{ XK_less };
    QTest::addRow("no key: 0x2B, between Down and Print") << 0x2B << Keysyms{};
    QTest::addRow("no key: 0") << 0 << Keysyms{};
    QTest::addRow("F11, also 'z'") << 0x7A << Keysyms{ XK_F11 };
    QTest::addRow("no key: 0xFF") << 0xFF << Keysyms{};
    QTest::addRow("no key: negative") << -1 << Keysyms{};
    QTest::addRow("no key: above 16 bits' letters") << 0x3042 << Keysyms{};
}

void VirtualKeysTest::table()
{
    QFETCH(int, vk);
    QFETCH(Keysyms, keysyms);
    QCOMPARE(ombrix::keysymsForVirtualKey(vk), keysyms);
}

QTEST_APPLESS_MAIN(VirtualKeysTest)
#include "VirtualKeysTest.moc"
