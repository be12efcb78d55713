#pragma once
// TForm2: the corner zoom window.

#include <QWidget>

class TForm2 : public QWidget
{
    Q_OBJECT
public:
    TForm2();
};
