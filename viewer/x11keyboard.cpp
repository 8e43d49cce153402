#include "x11keyboard.h"

#include <QX11Info>
#include <X11/Xlib.h>

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
