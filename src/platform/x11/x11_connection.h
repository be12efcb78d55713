#pragma once
// Our own Xlib connection, apart from the toolkit's: opened on first use, its errors recorded
// where a caller asks for them and never fatal.

#include <X11/Xlib.h>

namespace ombrix::x11
{

// Records the errors of the requests made while it lives (a window that vanished while we
// looked at it, a server that refuses shared memory). Traps nest; the innermost one records.
// Errors outside every trap are dropped.
class ErrorTrap
{
public:
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    // Waits for the server's answers to every request so far; true when one of them failed.
    bool failed();

private:
    friend int onXError(Display*, XErrorEvent*);
    Display* display_;
    ErrorTrap* outer_;
    int code_ = 0;
};

// What the server offers of the extensions that the grab uses; asked once per connection.
struct Extensions {
    bool shape = false;  // windows of any shape (SHAPE)
    bool damage = false; // reports of repaints (DAMAGE)
    int damageEvent = -1;
};
const Extensions& extensions(Display* d);

// The connection, opened on first use; nullptr when no X server answers.
Display* tryConnection();
// The connection if it is open; never opens it.
Display* tryConnectionIfOpen();
// The connection; throws when no X server answers.
Display* connection();
void closeConnection();

} // namespace ombrix::x11
