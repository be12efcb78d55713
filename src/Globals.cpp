#include "Globals.h"

TForm1* Form1 = nullptr;
TForm2* Form2 = nullptr;
TForm3* Form3 = nullptr;
TForm4* Form4 = nullptr;

TAlphaColor botanIro = claBlue;
std::array<QString, 5> kiiMoji = { "C", "V", "W", "S", "X" };
std::array<uint16_t, 5> kiiCode = { 'C', 'V', 'W', 'S', 'X' };
TAlphaColor kiiIro = claGold;

bool syoriChu = false;
float maeMouseX = 0;
float maeMouseY = 0;
QImage* gazoBmp = nullptr;
