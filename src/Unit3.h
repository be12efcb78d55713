#pragma once
// TForm3: the About panel. The version, the help text, and the choice of the glow colour.

#include <QWidget>

class ColorComboBox;
class ImageViewer;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class TForm3 : public QWidget
{
    Q_OBJECT
public:
    TForm3();

    void FormCreate(QObject* Sender);
    void ColorComboBox1Change(QObject* Sender);
    void Button1Click(QObject* Sender);
    // Shows the hint that the shortcuts need the focus above the help, or takes it away: the
    // desktop's answer to binding them comes after the panel was made.
    void showKeysHint(bool shown);

    ImageViewer* ImageViewer1 = nullptr;
    QLabel* lblExeVasion = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    ColorComboBox* ColorComboBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* Button1 = nullptr;
    QLabel* Label2 = nullptr;
};
