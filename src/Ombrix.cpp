// The program's entry: answers its command line, registers the four windows in their order and
// runs the event loop.

#include "Application.h"
#include "Globals.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "platform.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace
{

// Answers --help and --version, and refuses anything else, before the windows' application
// object exists: that one needs an X display, and `ombrix --version` must work without one. The
// exit code when the program is to end here.
std::optional<int> processCommandLine(int argc, char** argv)
{
    QCoreApplication::setApplicationName(QStringLiteral("Ombrix"));
    QCoreApplication::setApplicationVersion(QStringLiteral(OMBRIX_VERSION));
    if (argc < 2) {
        return std::nullopt;
    }
    // The parser names the program in its usage line only when an application object exists.
    // That object takes Qt's own options out of the list it is given: a copy, so that the
    // windows' application object sees them too.
    std::vector<char*> arguments(argv, argv + argc);
    arguments.push_back(nullptr);
    int count = argc;
    QCoreApplication commandLine(count, arguments.data());
    QCommandLineParser parser;
    parser.setApplicationDescription(
      QStringLiteral("Puts a see-through frame on the screen and takes exactly the pixels inside "
                     "it to the clipboard or to a JPEG or PNG file."));
    parser.addHelpOption();
    parser.addVersionOption();
    // Ends the process after --help or --version, and with an error after an unknown option.
    parser.process(commandLine);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr,
                     "%s: Unexpected argument '%s'.\n",
                     qPrintable(QCoreApplication::applicationName()),
                     qPrintable(parser.positionalArguments().constFirst()));
        return EXIT_FAILURE;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    ombrix::prepareProcess();
    if (const auto exitCode = processCommandLine(argc, argv)) {
        return *exitCode;
    }
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
