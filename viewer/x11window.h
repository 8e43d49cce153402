#pragma once

#include <functional>

class QObject;
class QWidget;

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
// Whether the pointer is over `window` now, as the X server has it (the toolkit's idea of where a
// window is lags behind a window manager's move); without an X11 connection, as the toolkit has it.
bool x11PointerOver(const QWidget* window);
// Puts `window` on every virtual desktop: the property a window manager reads when it takes the
// window on, and the request it carries out for a window it manages already.
void x11ShowOnAllDesktops(unsigned long window);
// True when no viewable top-level window of another client lies over `window`, a child of the root
// (the application's own windows may, and a window manager's frames around them); also true when
// `window` is not a child of the root (a window manager stacks it) and without an X11 connection.
bool x11OnTop(unsigned long window);

enum class X11DesktopChange {
    DesktopShown,  // the window manager shows another virtual desktop
    WindowStacked, // another client mapped, moved or restacked a top-level window
};
// Tells `changed` of each kind of change, from the event loop, once for changes that came together,
// until `owner` goes. Nothing without an X11 connection.
void x11WatchDesktop(QObject* owner, std::function<void(X11DesktopChange)> changed);
