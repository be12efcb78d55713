#pragma once
// The application object: the entry's window registry and the one place where errors are shown.

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>
#include <stdexcept>
#include <vector>

// An error with a message meant for the user.
class OmbrixError : public std::runtime_error
{
public:
    explicit OmbrixError(const QString& message)
      : std::runtime_error(message.toStdString())
      , message_(message)
    {
    }
    const QString& message() const { return message_; }

private:
    QString message_;
};

class Application : public QApplication
{
public:
    Application(int& argc, char** argv);

    // Registers a window; windows are constructed in registration order by Run().
    void CreateForm(std::function<void()> construct);

    // Constructs the registered windows, applies the start-up show command and runs the loop.
    int Run();

    // The default error handler: an error box with one OK button; the event loop goes on.
    static void showError(const QString& message);

    // Shows the error that is being handled; call only from inside a catch block.
    static void showCurrentError();

    bool notify(QObject* receiver, QEvent* event) override;

private:
    // Ends the program, settings written, when the system asks it to end.
    void watchEndRequests();
    // Writes the settings as a close does; a failure goes to standard error. False on failure.
    static bool saveSettingsQuietly();

    std::vector<std::function<void()>> forms_;
};

// Runs one event handler. An error that escapes it ends the handler and is shown by the default
// error handler, so the rest of that action is skipped and the program goes on. Handlers are
// wrapped at their entry because errors must not travel through the toolkit's own frames.
template<class F>
void guarded(F&& handler)
{
    try {
        handler();
    } catch (...) {
        Application::showCurrentError();
    }
}
