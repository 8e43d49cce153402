#pragma once

// Kept apart from the widget code: Xlib's macros (None, KeyPress, ...) clash with Qt's names.

// No X11 connection: the grab cannot be asked for.
constexpr int kNoX11Display = -1;

// XGrabKeyboard on Qt's own connection, owner events on, asynchronous, current time.
// Returns the X result (0 GrabSuccess, 1 AlreadyGrabbed, ...) or kNoX11Display. Flushes on success.
int x11GrabKeyboard(unsigned long window);
// XUngrabKeyboard and flush; false without an X11 connection.
bool x11UngrabKeyboard();
// True when the display's keycodes are evdev's (Linux keycode + 8), so that a key event's native
// scan code names a physical key; false for other keycode sets and without an X11 connection.
bool x11KeycodesAreEvdev();
