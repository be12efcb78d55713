#pragma once
// TForm4: the shortcut key settings window.

#include <QWidget>

class TForm4 : public QWidget
{
    Q_OBJECT
public:
    TForm4();
};
