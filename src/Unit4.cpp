#include "Unit4.h"

#include "Globals.h"
#include "WindowShow.h"

TForm4::TForm4()
{
    Form4 = this;
    makeToolWindow(this, "Ombrix  ショートカットキー設定", 350, 380);
}
