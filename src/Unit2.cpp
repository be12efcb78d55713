#include "Unit2.h"

#include "Globals.h"
#include "WindowShow.h"

TForm2::TForm2()
{
    Form2 = this;
    makeToolWindow(this, "Ombrix Zoom Window", 425, 426);
    setStyleSheet(QStringLiteral("TForm2 { background-color: #505050; }"));
    setAttribute(Qt::WA_StyledBackground, true);
}
