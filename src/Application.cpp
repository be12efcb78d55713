#include "Application.h"

#include "ClipboardPicture.h"
#include "Errors.h"
#include "Globals.h"
#include "Log.h"
#include "Rules.h"
#include "Unit1.h"
#include "platform.h"

#include <QSessionManager>
#include <QSocketNotifier>
#include <QTranslator>

#include <cstdio>

Application::Application(int& argc, char** argv)
  : QApplication(argc, argv)
{
    installPlatformLog();
    // The resources live in a static library: make sure they are linked in and registered.
    Q_INIT_RESOURCE(ombrix_translations);
    auto* japanese = new QTranslator(this);
    if (japanese->load(QStringLiteral(":/translations/qtbase_ja.qm"))) {
        installTranslator(japanese);
    }
    // The frame is the main window: closing it ends the program, whatever else is open.
    setQuitOnLastWindowClosed(false);
}

void Application::CreateForm(std::function<void()> construct)
{
    forms_.push_back(std::move(construct));
}

int Application::Run()
{
    for (auto& construct : forms_) {
        construct();
    }
    if (Form1) {
        guarded([] { Form1->applyShowCommand(ombrix::platform().startShowCommand()); });
    }
    watchEndRequests();
    return exec();
}

void Application::watchEndRequests()
{
    // A kill or the end of the session ends the program as its close does, settings written,
    // without a message box that nobody is there to answer.
    const int requests = ombrix::platform().endRequestDescriptor();
    if (requests >= 0) {
        auto* notifier = new QSocketNotifier(requests, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
            notifier->setEnabled(false);
            exit(saveSettingsQuietly() ? 0 : 1);
        });
    }
    connect(this, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
        saveSettingsQuietly();
    });
    // However the program comes to end (a close, a kill, the session's end), what it holds on
    // the clipboard is handed over first (the close does it itself, before the frame goes).
    connect(this, &QCoreApplication::aboutToQuit, this, [] {
        handOverClipboard(QGuiApplication::clipboard());
    });
}

bool Application::saveSettingsQuietly()
{
    if (!Form1) {
        return true;
    }
    try {
        Form1->iniKaku(Form1);
        return true;
    } catch (...) {
        std::fprintf(stderr, "Ombrix: %s\n", currentErrorMessage().toLocal8Bit().constData());
    }
    return false;
}

bool Application::notify(QObject* receiver, QEvent* event)
{
    // Handlers catch their own errors (see guarded()); this is the last line of defence for an
    // error raised where no handler wrapped it.
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        showCurrentError();
        return false;
    }
}
