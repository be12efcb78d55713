// The program's entry: registers the four windows in their order and runs the event loop.

#include "Application.h"
#include "Globals.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "platform.h"

#include <memory>

int main(int argc, char** argv)
{
    ombrix::prepareProcess();
    Application app(argc, argv);

    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TForm3> form3;
    std::unique_ptr<TForm2> form2;
    std::unique_ptr<TForm4> form4;
    app.CreateForm([&] { form1 = std::make_unique<TForm1>(); });
    app.CreateForm([&] { form3 = std::make_unique<TForm3>(); });
    app.CreateForm([&] { form2 = std::make_unique<TForm2>(); });
    app.CreateForm([&] { form4 = std::make_unique<TForm4>(); });
    const int result = app.Run();

    // The secondary windows go before the frame, which owns the picture they may refer to.
    form4.reset();
    form2.reset();
    form3.reset();
    form1.reset();
    return result;
}
