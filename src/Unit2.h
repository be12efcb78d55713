#pragma once
// TForm2: the corner zoom window. Its views are filled by the frame window's zoom timer.

#include <QWidget>

class ImageViewer;

class TForm2 : public QWidget
{
    Q_OBJECT
public:
    TForm2();

    ImageViewer* IViewTL = nullptr;
    ImageViewer* IViewTR = nullptr;
    ImageViewer* IViewBL = nullptr;
    ImageViewer* IViewBR = nullptr;
};
