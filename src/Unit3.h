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

    ImageViewer* ImageViewer1 = nullptr;
    QLabel* lblExeVasion = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    ColorComboBox* ColorComboBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* Button1 = nullptr;
    QLabel* Label2 = nullptr;
};
