#pragma once
// TForm3: the About panel.

#include <QWidget>

class TForm3 : public QWidget
{
    Q_OBJECT
public:
    TForm3();
};
