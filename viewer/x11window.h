#pragma once

#include <functional>

class QObject;

// The window manager's part in full screen and activation, asked on Qt's X11 connection.

// True when a window manager runs that carries out the full-screen state (it lists
// _NET_WM_STATE_FULLSCREEN in _NET_SUPPORTED, and its _NET_SUPPORTING_WM_CHECK window is alive);
// also true without an X11 connection, where the platform's own full screen is all there is.
bool x11WindowManagerHasFullScreen();
// Asks for `window` to become the active window, as a pager does on a user's behalf (window
// managers refuse an application's own request while another window has the user's attention);
// without a window manager the window takes the input focus itself. Nothing while it is not viewable
// and no window manager runs.
void x11ActivateWindow(unsigned long window);
// Puts `window` on every virtual desktop: the property a window manager reads when it takes the
// window on, and the request it carries out for a window it manages already.
void x11ShowOnAllDesktops(unsigned long window);
// Tells `desktopShown`, from the event loop, when the window manager shows another virtual desktop,
// until `owner` goes. Nothing without an X11 connection.
void x11WatchDesktop(QObject* owner, std::function<void()> desktopShown);
