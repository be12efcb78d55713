#include "Unit3.h"

#include "Globals.h"
#include "WindowShow.h"

TForm3::TForm3()
{
    Form3 = this;
    makeToolWindow(this, "About Ombrix", 602, 637);
}
