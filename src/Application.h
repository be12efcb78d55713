#pragma once
// The application object: the entry's window registry, the last catch of errors, and the end
// that the system asks for.

#include <QApplication>
#include <QString>

#include <functional>
#include <vector>

class Application : public QApplication
{
public:
    Application(int& argc, char** argv);

    // Registers a window; windows are constructed in registration order by Run().
    void CreateForm(std::function<void()> construct);

    // Constructs the registered windows, applies the start-up show command and runs the loop.
    int Run();

    bool notify(QObject* receiver, QEvent* event) override;

private:
    // Ends the program, settings written, when the system asks it to end.
    void watchEndRequests();
    // Writes the settings as a close does; a failure goes to standard error. False on failure.
    static bool saveSettingsQuietly();

    std::vector<std::function<void()>> forms_;
};
