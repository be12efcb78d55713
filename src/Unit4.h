#pragma once
// TForm4: the shortcut key settings window. An on-screen keyboard of the 26 letters gives a
// letter to the action whose radio button is selected; the colour box colours the letters.

#include "Globals.h"

#include <QWidget>

#include <array>

class ColorComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

class TForm4 : public QWidget
{
    Q_OBJECT
public:
    TForm4();

    void FormCreate(QObject* Sender);
    void botanCreate(QObject* sender);
    void edGenzaiCreate(QObject* sender);
    void edHenkoGCreate(QObject* sender);
    void botanClick(QObject* Sender);
    void ColorComboBox1Change(QObject* Sender);
    void kiiIroSet(QObject* Sender, TAlphaColor iro);

    // Entries 0..25: the letter keys btn1..btn26 in keyboard order; 26..30: edGen1..edGen5;
    // 31..35: edHen1..edHen5.
    std::array<QWidget*, 36> botanTbl{};

    QPushButton* key(int i) const; // 1..26
    QLineEdit* edGen(int i) const; // 1..5
    QLineEdit* edHen(int i) const; // 1..5

    QLabel* Label6 = nullptr;
    QFrame* pnlSentak = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    std::array<QRadioButton*, 5> rbtn{}; // rbtn1..rbtn5
    QLabel* Label1 = nullptr;
    QFrame* pnlKii = nullptr;
    QLabel* Label10 = nullptr;
    ColorComboBox* ColorComboBox1 = nullptr;
    QPlainTextEdit* memArfa = nullptr;

private:
    void enableFreeKeys();
    void makeBoxes(const char* name, int x, size_t firstEntry);
    // Whether a key's letter is one of the five shortcut letters (same text, same case).
    static bool letterInUse(const QString& letter);
};
