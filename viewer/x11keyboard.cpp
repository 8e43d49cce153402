#include "x11keyboard.h"

#include <QX11Info>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <cstring>

int x11GrabKeyboard(unsigned long window)
{
    Display* display = QX11Info::display();
    if (!display)
        return kNoX11Display;
    int result = XGrabKeyboard(display, Window(window), True, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (result == GrabSuccess)
        XFlush(display);
    return result;
}

bool x11UngrabKeyboard()
{
    Display* display = QX11Info::display();
    if (!display)
        return false;
    XUngrabKeyboard(display, CurrentTime);
    XFlush(display);
    return true;
}

bool x11KeycodesAreEvdev()
{
    Display* display = QX11Info::display();
    if (!display)
        return false;
    XkbDescPtr keyboard = XkbAllocKeyboard();
    if (!keyboard)
        return false;
    bool evdev = false;
    if (XkbGetNames(display, XkbKeycodesNameMask, keyboard) == Success && keyboard->names &&
        keyboard->names->keycodes) {
        // For example "evdev+aliases(qwertz)"; the old kbd driver's sets are named "xfree86...".
        char* name = XGetAtomName(display, keyboard->names->keycodes);
        evdev = name && std::strncmp(name, "evdev", 5) == 0;
        XFree(name);
    }
    XkbFreeKeyboard(keyboard, 0, True);
    return evdev;
}
