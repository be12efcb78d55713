// The named-colour list and the colour box's selection rule.

#include "controls/NamedColours.h"
#include "controls/ColorComboBox.h"

#include <QApplication>
#include <QColor>
#include <QSignalSpy>
#include <QTest>

class NamedColoursTest : public QObject
{
    Q_OBJECT
private slots:
    void tellingRows_data();
    void tellingRows();
    void everyKeywordHasItsStandardValue();
    void selection_data();
    void selection();
    void changeOnlyWhenTheSelectionMoves();
};

void NamedColoursTest::tellingRows_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    QTest::addColumn<uint>("value");
    QTest::addRow("0") << 0 << "Aliceblue" << 0xFFF0F8FFu;
    QTest::addRow("7") << 7 << "Black" << 0xFF000000u;
    QTest::addRow("9") << 9 << "Blue" << 0xFF0000FFu;
    QTest::addRow("51") << 51 << "Gold" << 0xFFFFD700u;
    QTest::addRow("119") << 119 << "Red" << 0xFFFF0000u;
    QTest::addRow("143") << 143 << "White" << 0xFFFFFFFFu;
    QTest::addRow("146") << 146 << "Yellowgreen" << 0xFF9ACD32u;
    QTest::addRow("147") << 147 << "Null" << 0x00000000u;
    QTest::addRow("a long name") << 86 << "Maroon" << 0xFF800000u;
}

void NamedColoursTest::tellingRows()
{
    QFETCH(int, index);
    QFETCH(QString, name);
    QFETCH(uint, value);
    QCOMPARE(kNamedColourCount, 148);
    QCOMPARE(QString::fromLatin1(namedColours()[index].name), name);
    QCOMPARE(namedColours()[index].argb, value);
}

void NamedColoursTest::everyKeywordHasItsStandardValue()
{
    // Qt knows the same keywords (the SVG 1.1 set) and their values: an independent check.
    QStringList previous;
    for (int i = 0; i < 147; ++i) {
        const QString name = QString::fromLatin1(namedColours()[i].name);
        QVERIFY2(name.at(0).isUpper() && name.mid(1) == name.mid(1).toLower(), qPrintable(name));
        const QColor standard(name.toLower());
        QVERIFY2(standard.isValid(), qPrintable(name));
        QCOMPARE(namedColours()[i].argb, standard.rgba());
        if (!previous.isEmpty()) {
            QVERIFY2(previous.last().toLower() < name.toLower(), qPrintable(name));
        }
        previous << name;
    }
    QCOMPARE(QString(namedColours()[147].name), QString("Null"));
    QVERIFY(previous.contains("Lightgoldenrodyellow"));
}

void NamedColoursTest::selection_data()
{
    QTest::addColumn<uint>("value");
    QTest::addColumn<int>("selected");
    QTest::addRow("blue") << 0xFF0000FFu << 9;
    QTest::addRow("gold") << 0xFFFFD700u << 51;
    QTest::addRow("cyan selects Aqua") << 0xFF00FFFFu << 2;
    QTest::addRow("magenta selects Fuchsia") << 0xFFFF00FFu << 48;
    QTest::addRow("darkgrey selects Darkgray") << 0xFFA9A9A9u << 24;
    QTest::addRow("darkslategrey selects Darkslategray") << 0xFF2F4F4Fu << 36;
    QTest::addRow("dimgrey selects Dimgray") << 0xFF696969u << 42;
    QTest::addRow("grey selects Gray") << 0xFF808080u << 53;
    QTest::addRow("lightgrey selects Lightgray") << 0xFFD3D3D3u << 71;
    QTest::addRow("lightslategrey selects Lightslategray") << 0xFF778899u << 78;
    QTest::addRow("slategrey selects Slategray") << 0xFF708090u << 131;
    QTest::addRow("null") << 0x00000000u << 147;
    QTest::addRow("half-transparent red: no entry, unchanged") << 0x80FF0000u << -1;
    QTest::addRow("transparent white: no entry, unchanged") << 0x00FFFFFFu << -1;
}

void NamedColoursTest::selection()
{
    QFETCH(uint, value);
    QFETCH(int, selected);
    ColorComboBox box;
    QCOMPARE(box.currentIndex(), 147); // "Null", as laid out
    box.setCurrentIndex(7);
    box.setColor(value);
    if (selected < 0) {
        QCOMPARE(box.currentIndex(), 7);
        QCOMPARE(box.color(), 0xFF000000u);
    } else {
        QCOMPARE(box.currentIndex(), selected);
        QCOMPARE(box.color(), namedColours()[selected].argb);
    }
    QCOMPARE(box.count(), 148);
    QCOMPARE(box.itemText(selected < 0 ? 7 : selected),
             QString::fromLatin1(namedColours()[selected < 0 ? 7 : selected].name));
    QVERIFY(!box.itemIcon(9).isNull());
}

void NamedColoursTest::changeOnlyWhenTheSelectionMoves()
{
    ColorComboBox box;
    QSignalSpy changed(&box, &ColorComboBox::colorChanged);
    box.setColor(0xFFFF0000u);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.last().at(0).toUInt(), 0xFFFF0000u);
    box.setColor(0xFFFF0000u); // already selected
    box.setColor(0x12345678u); // in no entry
    QCOMPARE(changed.count(), 1);
    box.setColor(0xFF00FFFFu);
    QCOMPARE(changed.count(), 2);
    box.setColor(0xFF00FFFFu); // cyan again: Aqua, already selected
    QCOMPARE(changed.count(), 2);
    // None selected reads as Null's value.
    box.setCurrentIndex(-1);
    QCOMPARE(box.color(), 0u);
}

QTEST_MAIN(NamedColoursTest)
#include "NamedColoursTest.moc"
