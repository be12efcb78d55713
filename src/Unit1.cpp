// TForm1: layout, start-up, resize, close and the plain button handlers.

#include "Unit1.h"

#include "ClipboardPicture.h"
#include "Errors.h"
#include "Log.h"
#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "WindowShow.h"
#include "controls/GlowButton.h"
#include "controls/HandleImage.h"

#include "Rules.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>

namespace
{

// The six buttons: text and place inside Rectangle2, which sits at (2, 2) in the window.
struct ButtonPlace {
    GlowButton* TForm1::*field;
    const char* text;
    int x, y;
};
constexpr int kRect2Left = 2;
constexpr int kRect2Top = 2;
constexpr int kButtonSize = 22;
const ButtonPlace kButtons[] = {
    { &TForm1::btnClose, "X", 82, 26 }, { &TForm1::btnCopi, "C", 38, 4 },
    { &TForm1::btnHelp, "A", 38, 26 },  { &TForm1::btnFilSave, "V", 60, 4 },
    { &TForm1::btnZoom, "W", 82, 4 },   { &TForm1::btnSaisyouka, "S", 60, 26 },
};

constexpr int kHandleSize = 30;
constexpr QPoint kMoveHandlePos(2, 2);
constexpr int kDesignWidth = 738;
constexpr int kDesignHeight = 427;
constexpr int kStartWidth = 384;
constexpr int kStartHeight = 246;

const char* const kMoveHandleHint =
  "左ボタンドラッグ:枠移動、[Shift]+左ボタンドラッグ:枠リサイズ、\n"
  "右クリック:画像コピー、中ボタンクリック:ファイル保存、\n"
  "[Ctrl]+左クリック:枠最大化/枠可変";
const char* const kResizeHandleHint =
  "左ボタンドラッグ:枠リサイズ、[Shift]+左ボタンドラッグ:枠移動、\n"
  "右クリック:画像コピー、中ボタンクリック:ファイル保存";

QRegion ring(int inset, int w, int h)
{
    const QRect outer(inset, inset, w - 2 * inset, h - 2 * inset);
    if (outer.width() <= 2 || outer.height() <= 2) {
        return QRegion(outer);
    }
    return QRegion(outer).subtracted(QRegion(outer.adjusted(1, 1, -1, -1)));
}

} // namespace

TForm1::TForm1()
  : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    if (ombrix::platform().underWayland()) {
        // Under a Wayland compositor the frame would stand where the compositor puts it, not
        // where the user does: it stays out of the window manager's hands there.
        setWindowFlag(Qt::X11BypassWindowManagerHint, true);
    }
    Form1 = this;
    setWindowTitle(QStringLiteral("Form1"));
    setAttribute(Qt::WA_TranslucentBackground, true);
    setAttribute(Qt::WA_NoSystemBackground, true);
    buildLayout();

    // Shown where a window of the design size would stand centred on the primary work area;
    // FormCreate then shrinks it, keeping that top-left corner.
    resize(kDesignWidth, kDesignHeight);
    move(centredOnPrimaryWorkArea(QSize(kDesignWidth, kDesignHeight)));
    guarded([this] { FormCreate(this); });
    guarded([this] { FormResize(this); });
    show();
    activateWindow();
    shownAt_ = geometry();
    sinceShown_.start(); // until the user first takes the frame in hand
}

TForm1::~TForm1()
{
    FormDestroy(this);
}

void TForm1::buildLayout()
{
    for (const ButtonPlace& b : kButtons) {
        auto* button = new GlowButton(QString::fromLatin1(b.text), this);
        button->setGeometry(kRect2Left + b.x, kRect2Top + b.y, kButtonSize, kButtonSize);
        this->*(b.field) = button;
        connect(button, &GlowButton::mouseEntered, this, [this](QObject* s) {
            guarded([&] { buttonMouseEnter(s); });
        });
        connect(button, &GlowButton::mouseLeft, this, [this](QObject* s) {
            guarded([&] { buttonMouseLeave(s); });
        });
    }
    connect(
      btnCopi, &GlowButton::clicked, this, [this] { guarded([&] { btnCopiClick(btnCopi); }); });
    connect(
      btnZoom, &GlowButton::clicked, this, [this] { guarded([&] { btnZoomClick(btnZoom); }); });
    connect(
      btnHelp, &GlowButton::clicked, this, [this] { guarded([&] { btnHelpClick(btnHelp); }); });
    connect(btnSaisyouka, &GlowButton::clicked, this, [this] {
        guarded([&] { btnSaisyoukaClick(btnSaisyouka); });
    });
    connect(
      btnClose, &GlowButton::clicked, this, [this] { guarded([&] { btnCloseClick(btnClose); }); });

    connect(btnFilSave, &GlowButton::clicked, this, [this] {
        guarded([&] { btnFilSaveClick(btnFilSave); });
    });

    imgContIdou = new HandleImage(HandleImage::movePicture(), this);
    imgContIdou->setGeometry(QRect(kMoveHandlePos, QSize(kHandleSize, kHandleSize)));
    imgContSaiz = new HandleImage(HandleImage::resizePicture(), this);
    imgContSaiz->setGeometry(2, 52, kHandleSize, kHandleSize);
    connectHandle(imgContIdou);
    connectHandle(imgContSaiz);

    dimWatch_ = new QTimer(this);
    dimWatch_->setInterval(50);
    connect(dimWatch_, &QTimer::timeout, this, [this] { guarded([&] { dimWatchTimer(); }); });

    timZoom = new QTimer(this);
    timZoom->setInterval(100);
    connect(timZoom, &QTimer::timeout, this, [this] { guarded([&] { timZoomTimer(timZoom); }); });

    TtimKeyGet = new QTimer(this);
    TtimKeyGet->setInterval(10);
    connect(TtimKeyGet, &QTimer::timeout, this, [this] {
        guarded([&] { TtimKeyGetTimer(TtimKeyGet); });
    });
    TtimKeyGet->start();

    SaveDialog1 = createSaveDialog(this);
}

void TForm1::FormCreate(QObject*)
{
    resize(kStartWidth, kStartHeight);
    wakuSaidai = false;
    imgContIdou->setToolTip(QString::fromUtf8(kMoveHandleHint));
    imgContSaiz->setToolTip(QString::fromUtf8(kResizeHandleHint));
    iniYomu(this);
    botanIroSet(this, botanIro);
    syoriChu = false;
    ombrix::platform().switchBeepOff();
    gazoBmp = new QImage();
    zoomHaba = 50;
    zoomTaka = 50;
}

void TForm1::FormResize(QObject*)
{
    imgContSaiz->move(width() - imgContSaiz->width() - 4, height() - imgContSaiz->height() - 4);
    updateShape();
}

void TForm1::updateShape()
{
    composited_ = ombrix::platform().compositing();
    const double scale = devicePixelRatioF();
    std::vector<ombrix::Rect> parts;
    const auto add = [&parts](const QRect& r) {
        parts.push_back({ r.x(), r.y(), r.width(), r.height() });
    };
    for (const QRect& r : ring(0, width(), height()) + ring(2, width(), height())) {
        add(rules::toDevice(r, scale));
    }
    // Where no compositing manager blends windows, a control is drawn opaque; one as faint as
    // a held handle makes it leaves the shape, so that the desktop shows through it.
    const auto addControl = [&](QWidget* control, double opacity) {
        if (composited_ || opacity >= 0.1) {
            add(rules::toDevice(control->geometry(), scale));
        }
    };
    for (GlowButton* b : { btnCopi, btnFilSave, btnZoom, btnHelp, btnSaisyouka, btnClose }) {
        b->setComposited(composited_);
        addControl(b, b->opacity());
    }
    for (HandleImage* h : { imgContIdou, imgContSaiz }) {
        h->setComposited(composited_);
        addControl(h, h->opacity());
    }
    // The shape in device pixels matches what paintEvent draws at any scale; where the platform
    // leaves it to the toolkit, the toolkit scales the logical region.
    if (!ombrix::platform().setWindowShape(static_cast<uintptr_t>(winId()), parts)) {
        setMask(drawnRegion());
    }
}

void TForm1::refreshSeeThrough()
{
    if (ombrix::platform().compositing() != composited_) {
        updateShape();
    }
}

void TForm1::FormCloseQuery(QObject*, bool&)
{
    iniKaku(this);
}

void TForm1::FormDestroy(QObject*)
{
    delete gazoBmp;
    gazoBmp = nullptr;
}

void TForm1::applyShowCommand(ombrix::ShowCommand command)
{
    switch (command) {
        case ombrix::ShowCommand::Maximized:
            showMaximized();
            break;
        case ombrix::ShowCommand::MinimizedNoActivate:
            showMinimized();
            break;
        case ombrix::ShowCommand::Normal:
            break;
    }
}

QRegion TForm1::drawnRegion() const
{
    QRegion region = ring(0, width(), height()) + ring(2, width(), height());
    const QWidget* const drawn[] = { btnCopi,      btnFilSave, btnZoom,     btnHelp,
                                     btnSaisyouka, btnClose,   imgContIdou, imgContSaiz };
    for (const QWidget* child : drawn) {
        region += child->geometry();
    }
    return region;
}

void TForm1::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    // The rings in device pixels, the same ones the window's shape holds: crisp at any scale.
    const double scale = devicePixelRatioF();
    p.scale(1 / scale, 1 / scale);
    // Rectangle1: white along the inside of the window's edge.
    for (const QRect& r : ring(0, width(), height())) {
        p.fillRect(rules::toDevice(r, scale), QColor::fromRgba(claWhite));
    }
    // Rectangle2: black along the inside of its edge, 2 pixels in.
    for (const QRect& r : ring(2, width(), height())) {
        p.fillRect(rules::toDevice(r, scale), QColor::fromRgba(claBlack));
    }
}

void TForm1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    guarded([this] { FormResize(this); });
    // A tiling window manager (i3, bspwm, herbstluftwm, xmonad) gives a new window a tile of
    // its own choosing, where the frame could be neither placed nor moved: a size far from the
    // one asked, that comes in the first seconds, before the user has touched the frame. The
    // frame then asks to float. (Under XWayland the frame is not managed at all.)
    constexpr qint64 kTiledWithinMs = 3000;
    if (!floatAsked_ && sinceShown_.isValid() && sinceShown_.elapsed() < kTiledWithinMs &&
        !ombrix::platform().underWayland() &&
        ombrix::platform().sizeImposed(static_cast<uintptr_t>(winId()))) {
        floatAsked_ = true;
        QTimer::singleShot(0, this, [this] { guarded([this] { floatOverTiling(); }); });
    }
}

void TForm1::floatOverTiling()
{
    // A dialog, and one transient for the program's leader window: tiling managers float
    // both (xmonad the latter only). Changing the type takes the window off the screen; it
    // comes back where and as it was first shown, since the manager places a floating window
    // as it likes.
    qCInfo(lcPlatform) << "the window manager gave the frame" << geometry() << "instead of"
                       << shownAt_ << ": it is shown again as a dialog, which floats";
    setWindowFlag(Qt::Dialog, true);
    show();
    setGeometry(shownAt_);
    activateWindow();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    bool canClose = true;
    try {
        FormCloseQuery(this, canClose);
    } catch (...) {
        canClose = false;
        event->ignore();
        showCurrentError();
        return;
    }
    if (!canClose) {
        event->ignore();
        return;
    }
    event->accept();
    // The frame goes from the screen at once, and takes no shortcut, while what the program
    // holds on the clipboard is handed over.
    hide();
    const bool busy = syoriChu;
    syoriChu = true;
    handOverClipboard(QGuiApplication::clipboard());
    syoriChu = busy;
    QCoreApplication::quit();
}

void TForm1::btnZoomClick(QObject*)
{
    showWindow(Form2);
}

void TForm1::btnHelpClick(QObject*)
{
    showWindow(Form3);
}

void TForm1::btnSaisyoukaClick(QObject*)
{
    // The program goes to the task bar as a whole: its open windows go with the frame and
    // come back with it.
    if (!isMinimized()) {
        minimisedWithFrame_.clear();
        for (QWidget* w : { static_cast<QWidget*>(Form2),
                            static_cast<QWidget*>(Form3),
                            static_cast<QWidget*>(Form4) }) {
            if (w && w->isVisible() && !w->isMinimized()) {
                minimisedWithFrame_.push_back(w);
                w->showMinimized();
            }
        }
    }
    setWindowState((windowState() & ~Qt::WindowActive) | Qt::WindowMinimized);
}

void TForm1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && !isMinimized()) {
        for (QWidget* w : minimisedWithFrame_) {
            w->showNormal();
        }
        minimisedWithFrame_.clear();
    }
}

void TForm1::btnCloseClick(QObject*)
{
    close();
}

void TForm1::buttonMouseEnter(QObject* Sender)
{
    if (auto* b = qobject_cast<GlowButton*>(Sender)) {
        b->setOpacity(1.0);
    }
    if (!composited_) {
        updateShape();
    }
}

void TForm1::buttonMouseLeave(QObject* Sender)
{
    if (auto* b = qobject_cast<GlowButton*>(Sender)) {
        b->setOpacity(0.5);
    }
    if (!composited_) {
        updateShape();
    }
}

void TForm1::botanIroSet(QObject*, TAlphaColor iro)
{
    botanIro = iro;
    const QColor colour = QColor::fromRgba(iro);
    for (GlowButton* b : { btnCopi, btnFilSave, btnZoom, btnHelp, btnSaisyouka, btnClose }) {
        b->setGlowColour(colour);
    }
    imgContIdou->setGlowColour(colour);
    imgContSaiz->setGlowColour(colour);
}
