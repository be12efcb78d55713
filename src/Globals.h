#pragma once
// The process-wide values every window shares: the settings, the busy flag, the framed picture
// and the four window references.

#include <QImage>
#include <QString>

#include <array>
#include <cstdint>

class TForm1;
class TForm2;
class TForm3;
class TForm4;

// 0xAARRGGBB.
using TAlphaColor = uint32_t;

constexpr TAlphaColor claBlue = 0xFF0000FF;
constexpr TAlphaColor claGold = 0xFFFFD700;
constexpr TAlphaColor claWhite = 0xFFFFFFFF;
constexpr TAlphaColor claBlack = 0xFF000000;
constexpr TAlphaColor claNull = 0x00000000;

extern TForm1* Form1;
extern TForm2* Form2;
extern TForm3* Form3;
extern TForm4* Form4;

// Settings (read at start, written at every close request).
extern TAlphaColor botanIro;            // glow colour of the frame's eight controls
extern std::array<QString, 5> kiiMoji;  // shortcut letters of actions 1..5
extern std::array<uint16_t, 5> kiiCode; // the virtual-key code polled for each letter
extern TAlphaColor kiiIro;              // font colour of the letter keys

// True while a grab-and-output operation runs.
extern bool syoriChu;

// The pointer's desktop position when a handle started a move or resize, and at each
// corner-zoom tick.
extern float maeMouseX;
extern float maeMouseY;

// The framed picture; owned by the frame window.
extern QImage* gazoBmp;
