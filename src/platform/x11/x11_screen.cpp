#include "x11_screen.h"

#include <X11/Xatom.h>

#include "x11_connection.h"

#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <string>

namespace ombrix::x11
{

void Screen::watch(Display* d)
{
    if (watched_) {
        return;
    }
    watched_ = true;
    const Window root = DefaultRootWindow(d);
    int error = 0;
    if (XRRQueryExtension(d, &randrEvent_, &error)) {
        int major = 0, minor = 0;
        XRRQueryVersion(d, &major, &minor);
        monitorsKnown_ = major > 1 || (major == 1 && minor >= 5);
        XRRSelectInput(
          d, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    } else {
        randrEvent_ = -1;
        monitorsKnown_ = 0;
    }
    const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(d));
    cmSelection_ = XInternAtom(d, name.c_str(), False);
    if (XFixesQueryExtension(d, &fixesEvent_, &error)) {
        XFixesSelectSelectionInput(d,
                                   root,
                                   cmSelection_,
                                   XFixesSetSelectionOwnerNotifyMask |
                                     XFixesSelectionWindowDestroyNotifyMask |
                                     XFixesSelectionClientCloseNotifyMask);
    } else {
        fixesEvent_ = -1;
    }
}

bool Screen::take(Display*, XEvent& event, bool& changed)
{
    changed = false;
    if (randrEvent_ >= 0 && event.type >= randrEvent_ && event.type <= randrEvent_ + RRNotify) {
        // Xlib keeps the root's size for DisplayWidth and DisplayHeight: bring it up to date.
        XRRUpdateConfiguration(&event);
        changed = true;
        return true;
    }
    if (fixesEvent_ >= 0 && event.type == fixesEvent_ + XFixesSelectionNotify) {
        compositing_ = -1;
        return true;
    }
    return false;
}

ScreenLayout Screen::layout(Display* d)
{
    watch(d);
    ScreenLayout result;
    const Window root = DefaultRootWindow(d);
    Window rootReturn = 0;
    int x = 0, y = 0;
    unsigned int w = 0, h = 0, border = 0, depth = 0;
    {
        ErrorTrap trap(d);
        if (XGetGeometry(d, root, &rootReturn, &x, &y, &w, &h, &border, &depth) && !trap.failed()) {
            result.root = { 0, 0, static_cast<int>(w), static_cast<int>(h) };
        } else {
            const int screen = DefaultScreen(d);
            result.root = { 0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen) };
        }
    }
    if (monitorsKnown_ == 1) {
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(d, root, True, &count);
        for (int i = 0; monitors && i < count; ++i) {
            result.monitors.push_back(
              { monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height });
        }
        if (monitors) {
            XRRFreeMonitors(monitors);
        }
    }
    if (result.monitors.empty()) {
        result.monitors.push_back(result.root);
    }
    result.composited = compositing(d);
    return result;
}

bool Screen::xwayland(Display* d)
{
    watch(d);
    if (xwayland_ < 0) {
        // Newer servers name themselves by an extension; all of them name their outputs
        // XWAYLAND0, XWAYLAND1...
        int opcode = 0, event = 0, error = 0;
        xwayland_ = XQueryExtension(d, "XWAYLAND", &opcode, &event, &error) ? 1 : 0;
        XRRScreenResources* outputs = xwayland_ == 0 && randrEvent_ >= 0
                                        ? XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d))
                                        : nullptr;
        for (int i = 0; outputs && i < outputs->noutput && xwayland_ == 0; ++i) {
            if (XRROutputInfo* info = XRRGetOutputInfo(d, outputs, outputs->outputs[i])) {
                xwayland_ = std::string(info->name, static_cast<size_t>(info->nameLen))
                              .rfind("XWAYLAND", 0) == 0;
                XRRFreeOutputInfo(info);
            }
        }
        if (outputs) {
            XRRFreeScreenResources(outputs);
        }
    }
    return xwayland_ == 1;
}

bool Screen::compositing(Display* d)
{
    watch(d);
    if (compositing_ < 0) {
        compositing_ = XGetSelectionOwner(d, cmSelection_) != None;
    }
    return compositing_ == 1;
}

std::string windowManagerName(Display* d)
{
    ErrorTrap trap(d);
    const auto windowProperty = [d](Window w, const char* name) -> Window {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        Window value = None;
        if (XGetWindowProperty(d,
                               w,
                               XInternAtom(d, name, False),
                               0,
                               1,
                               False,
                               XA_WINDOW,
                               &type,
                               &format,
                               &count,
                               &after,
                               &data) == Success &&
            data && format == 32 && count == 1) {
            value = static_cast<Window>(*reinterpret_cast<unsigned long*>(data));
        }
        if (data) {
            XFree(data);
        }
        return value;
    };
    const Window check = windowProperty(DefaultRootWindow(d), "_NET_SUPPORTING_WM_CHECK");
    // A check window that names another one is stale (its manager ended).
    if (check == None || windowProperty(check, "_NET_SUPPORTING_WM_CHECK") != check ||
        trap.failed()) {
        return {};
    }
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string name;
    if (XGetWindowProperty(d,
                           check,
                           XInternAtom(d, "_NET_WM_NAME", False),
                           0,
                           256,
                           False,
                           XInternAtom(d, "UTF8_STRING", False),
                           &type,
                           &format,
                           &count,
                           &after,
                           &data) == Success &&
        data && format == 8) {
        name.assign(reinterpret_cast<const char*>(data), count);
    }
    if (data) {
        XFree(data);
    }
    return trap.failed() ? std::string() : name;
}

} // namespace ombrix::x11
