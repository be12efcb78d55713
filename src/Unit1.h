#pragma once
// TForm1: the frame window.

#include "Globals.h"
#include "Rules.h"
#include "platform.h"

#include <QElapsedTimer>
#include <QImage>
#include <QWidget>

#include <memory>

class GlowButton;
class HandleImage;
class ImageViewer;
class QFileDialog;
class QTimer;

// Clears syoriChu when a grab-and-output operation ends, normally or by an error, so that the
// shortcuts are never left dead.
struct ClearsBusyFlag {
    ~ClearsBusyFlag()
    {
        syoriChu = false;
        // The operation is over: memory kept for its reads is no longer needed.
        ombrix::platform().releaseSpareMemory();
    }
};

// An image over a grab's own pixels, which it then owns: no copy of a whole display.
QImage adoptPixels(ombrix::Pixels& pixels);

// Nanoseconds on a steady clock, for the grab's timings.
qint64 profileClock();

// What the shortcuts 1 to 5 do, in the words of the buttons' hints and of the desktop's list of
// shortcuts.
inline constexpr const char* kShortcutActions[5] = {
    "画像コピー", "画像をファイル保存", "コーナーズームパネル", "最小化", "Ombrixを閉じる",
};

// When each step of the last grab ended (profileClock), for the benchmarks.
struct GrabProfile {
    qint64 start = 0, prepared = 0, hidden = 0, settled = 0, read = 0, shown = 0, clipboard = 0;
};

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
    void btnFilSaveClick(QObject* Sender);
    void btnZoomClick(QObject* Sender);
    void btnHelpClick(QObject* Sender);
    void btnSaisyoukaClick(QObject* Sender);
    void btnCloseClick(QObject* Sender);

    // Frame handles.
    void imgContIdouMouseDown(QObject* Sender,
                              Qt::MouseButton Button,
                              rules::ShiftState Shift,
                              float X,
                              float Y);
    void imgContSaizMouseDown(QObject* Sender,
                              Qt::MouseButton Button,
                              rules::ShiftState Shift,
                              float X,
                              float Y);
    void imgContIdouMouseUp(QObject* Sender);
    void imgContSaizMouseUp(QObject* Sender);
    void imgContIdouMouseEnter(QObject* Sender);
    void imgContSaizMouseEnter(QObject* Sender);
    void imgContIdouMouseLeave(QObject* Sender);
    void imgContSaizMouseLeave(QObject* Sender);
    void BotanTomeidoSet(float tomeido);
    void fmKeijoKiok(QObject* sender);
    void fmKeijoModos(QObject* sender);
    bool wakuSaidaiNow() const { return wakuSaidai; }
    bool maximised() const { return maximised_; }

    // Control feedback and hints.
    void buttonMouseEnter(QObject* Sender);
    void buttonMouseLeave(QObject* Sender);
    void botanHintSet(QObject* sender);
    // Whether the shortcuts work only while one of our windows has the focus: a Wayland session
    // whose desktop offers no global shortcuts.
    bool shortcutsNeedFocus() const { return shortcutsNeedFocus_; }
    void botanIroSet(QObject* Sender, TAlphaColor iro);

    // Screen grab and clipboard copy.
    void gamenGetModo(QObject* Sender);
    void gazoCopy(QObject* Sender);
    void bmpSyokika(int haba, int taka);
    void endSyori(QObject* Sender);
    void clipCopi(QObject* Sender);
    // A part of the frame (logical pixels of the window) where it stands on the desktop, in
    // device pixels.
    ombrix::Rect deviceArea(const QRect& logical);

    // Corner zoom.
    void timZoomTimer(QObject* Sender);
    void zoomIn(QObject* sender);
    void zoom(QObject* sender, ImageViewer* img);

    // Shortcut keys.
    void TtimKeyGetTimer(QObject* Sender);

    // File save.
    void failseibu(QObject* Sender);
    void SaveDialog1Show(QObject* Sender);
    // Writes the picture with the encoder for the name's extension; throws on failure.
    void saveBitmap(const QString& fileName);

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
    GrabProfile lastGrab;
    QFileDialog* SaveDialog1 = nullptr;
    QTimer* timZoom = nullptr;
    QTimer* TtimKeyGet = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildLayout();
    static QFileDialog* createSaveDialog(QWidget* parent);
    void connectHandle(HandleImage* handle);
    void handlePressed(QObject* sender,
                       Qt::MouseButton button,
                       Qt::MouseButtons buttons,
                       Qt::KeyboardModifiers modifiers,
                       QPointF position,
                       QPointF globalPosition);
    void handleReleased(QObject* sender, QPointF globalPosition);
    void handleDragged(QPointF globalPosition);
    void runPressAction(rules::PressAction action);
    void StartWindowDrag();
    void StartWindowResize();
    void setMaximised(bool on);
    // Places the frame at `logical` through the platform, where the window manager drew a
    // border on the window; false elsewhere, where the toolkit is to do it.
    bool placeOverBorder(const QRect& logical);
    // Where the window stands as a drag begins, and whether it has such a border.
    void takeDragStart();
    void runShortcut(int action);
    // Gives the window its shape: the two rings and the controls, each control as its opacity
    // shows it where no compositing manager blends windows.
    void updateShape();
    void refreshSeeThrough();
    bool underPointer(const QWidget* control) const;
    void dimWatchTimer();
    void sleepUntilKeys();
    void bindDesktopShortcuts();
    void floatOverTiling();

    bool wakuSaidai = false;
    struct Shape {
        int top = 0, left = 0, width = 0, height = 0;
    } fmKeijo;
    ombrix::Rect fmKeijoDevice_; // the same, in device pixels where the window stood

    // A move or resize in progress, carried out from the pointer's moves until the release.
    enum class Drag {
        None,
        Move,
        Resize,
    } drag_ = Drag::None;
    QPointF dragPressed_;
    QRect dragStart_;
    QPoint dragStartPosition_;     // pos(): with the window manager's frame
    ombrix::Rect dragStartDevice_; // where the window stood, in device pixels
    bool dragBordered_ = false;    // with a border of the window manager's on it
    bool maximised_ = false;
    QRect shownAt_;            // where the frame was first shown
    QElapsedTimer sinceShown_; // since then
    bool floatAsked_ = false;
    bool sizingCursor_ = false;
    bool composited_ = true;
    QTimer* dimWatch_ = nullptr;        // a faint handle's leave, where the server sends none
    QWidget* enteredByShape_ = nullptr; // an enter to ignore: the handle came back, not the pointer
    std::vector<QWidget*> minimisedWithFrame_;
    int zoomHaba = 0;
    int zoomTaka = 0;
    int zoomX = 0;
    int zoomY = 0;
    QSize zoomBlock_; // the block being copied, in device pixels
    bool closeHeldOff_ = false;
    class QSocketNotifier* keyWake_ = nullptr;
    class PortalShortcuts* desktopKeys_ = nullptr; // Wayland: the letters bound by the desktop
    bool shortcutsNeedFocus_ = false;

    // Per-grab buffers, alive from bmpSyokika to endSyori.
    std::unique_ptr<ombrix::Pixels> gamenBmp;
    std::unique_ptr<QImage> tensoBmp;
};
