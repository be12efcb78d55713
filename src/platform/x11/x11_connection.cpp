#include "x11_connection.h"

#include "platform.h"

#include <X11/extensions/Xdamage.h>
#include <X11/extensions/shape.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace ombrix::x11
{

namespace
{
Display* g_display = nullptr;
ErrorTrap* g_trap = nullptr;
XErrorHandler g_previousHandler = nullptr;

// A connection to the X server broke: the server went away, and every window of the program
// with it. Xlib's way out, exit(), would run destructors that talk to the dead server (ours
// among them), and when the toolkit has begun an exit of its own on losing its connection, call
// exit() a second time inside it: we end at once instead. That holds for the toolkit's own Xlib
// connection too (same server, same end), whose default handler would take Xlib's way out.
int onXIOError(Display*)
{
    static const char kMessage[] = "Ombrix: the connection to the X server was lost\n";
    if (::write(STDERR_FILENO, kMessage, sizeof kMessage - 1) < 0) {
        // Nothing more to tell anyone.
    }
    ::_exit(1);
}
} // namespace

// Errors on anybody else's connection go to whoever handled them before.
int onXError(Display* display, XErrorEvent* event)
{
    if (display != g_display) {
        return g_previousHandler ? g_previousHandler(display, event) : 0;
    }
    if (g_trap && !g_trap->code_) {
        g_trap->code_ = event->error_code;
    }
    return 0;
}

ErrorTrap::ErrorTrap(Display* display)
  : display_(display)
  , outer_(g_trap)
{
    g_trap = this;
}

ErrorTrap::~ErrorTrap()
{
    // Answers still on their way belong to this trap's requests.
    if (display_) {
        XSync(display_, False);
    }
    g_trap = outer_;
}

bool ErrorTrap::failed()
{
    XSync(display_, False);
    return code_ != 0;
}

const Extensions& extensions(Display* d)
{
    static Display* asked = nullptr;
    static Extensions known;
    if (asked != d) {
        int event = 0, error = 0;
        known = {};
        known.shape = XShapeQueryExtension(d, &event, &error);
        known.damage = XDamageQueryExtension(d, &known.damageEvent, &error);
        if (!known.damage) {
            known.damageEvent = -1;
        }
        asked = d;
    }
    return known;
}

Display* tryConnection()
{
    if (!g_display) {
        g_display = XOpenDisplay(nullptr);
        if (g_display) {
            g_previousHandler = XSetErrorHandler(onXError);
            XSetIOErrorHandler(onXIOError);
        }
    }
    return g_display;
}

Display* tryConnectionIfOpen()
{
    return g_display;
}

Display* connection()
{
    Display* d = tryConnection();
    if (!d) {
        const char* name = XDisplayName(nullptr);
        throw PlatformError(Failure::NoDisplay,
                            std::string("cannot open the X display \"") + (name ? name : "") +
                              "\"");
    }
    return d;
}

void closeConnection()
{
    if (g_display) {
        XCloseDisplay(g_display);
        g_display = nullptr;
    }
}

} // namespace ombrix::x11
