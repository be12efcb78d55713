#pragma once
// TForm1: the frame window.

#include "Globals.h"
#include "platform.h"

#include <QImage>
#include <QWidget>

#include <memory>

class GlowButton;
class HandleImage;
class QTimer;

class TForm1 : public QWidget
{
    Q_OBJECT
public:
    TForm1();
    ~TForm1() override;

    // Start-up and frame window.
    void FormCreate(QObject* Sender);
    void FormResize(QObject* Sender);
    void FormCloseQuery(QObject* Sender, bool& CanClose);
    void FormDestroy(QObject* Sender);
    void applyShowCommand(ombrix::ShowCommand command);

    void btnCopiClick(QObject* Sender);
    void btnZoomClick(QObject* Sender);
    void btnHelpClick(QObject* Sender);
    void btnSaisyoukaClick(QObject* Sender);
    void btnCloseClick(QObject* Sender);

    // Control feedback and hints.
    void buttonMouseEnter(QObject* Sender);
    void buttonMouseLeave(QObject* Sender);
    void botanHintSet(QObject* sender);
    void botanIroSet(QObject* Sender, TAlphaColor iro);

    // Screen grab and clipboard copy.
    void gamenGetModo(QObject* Sender);
    void gazoCopy(QObject* Sender);
    void bmpSyokika(int haba, int taka);
    void endSyori(QObject* Sender);
    void clipCopi(QObject* Sender);

    // Settings file.
    void iniYomu(QObject* Sender);
    void iniKaku(QObject* Sender);

    // The region of the window that is drawn and takes the mouse: the two rings, the buttons
    // and the handles. Everything else shows, and passes clicks to, what lies beneath.
    QRegion drawnRegion() const;

    // Controls, as the layout names them.
    GlowButton* btnCopi = nullptr;
    GlowButton* btnFilSave = nullptr;
    GlowButton* btnZoom = nullptr;
    GlowButton* btnHelp = nullptr;
    GlowButton* btnSaisyouka = nullptr;
    GlowButton* btnClose = nullptr;
    HandleImage* imgContIdou = nullptr;
    HandleImage* imgContSaiz = nullptr;
    QImage Image1; // the hidden picture control that receives each grab

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout();

    bool wakuSaidai = false;
    int zoomHaba = 0;
    int zoomTaka = 0;

    // Per-grab buffers, alive from bmpSyokika to endSyori.
    std::unique_ptr<ombrix::Pixels> gamenBmp;
    std::unique_ptr<QImage> tensoBmp;
};
