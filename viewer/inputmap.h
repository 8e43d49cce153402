#pragma once

#include "session_types.h"

#include <QEvent>
#include <QPoint>

class QKeyEvent;

// The key a Qt key event stands for: its X keycode, its Qt key and the keypad flag that picks its
// table (Qt gives keypad keys the main block's key codes).
KeyInput keyInput(const QKeyEvent& event);

// Wheel and touchpad steps in Qt's angle units (120 a notch) added up to whole notches. Horizontal
// scrolling has no button of its own in SPICE and is not sent.
class WheelSteps
{
public:
    // Notches to send now: positive up, negative down.
    int add(const QPoint& angleDelta);
    void reset() { rest = 0; }

private:
    int rest = 0;
};

// What the window does with a mouse event, from where it happened and the state of the pointer.
enum class PointerAction {
    Ignore,
    PositionAt,    // the surface pixel under the pointer, taken to the picture's edge if outside
    MoveBy,        // relative motion (server mouse mode, pointer held)
    Press,         // a press or double click of the event's button
    Release,       // the release of the event's button
    ReleaseAtEdge, // the pointer to the picture's edge, then the release: a drag ended on a bar
    TakePointer,   // server mouse mode: the click holds the pointer; it is not the guest's
};

struct PointerState {
    bool pictureShown = false; // a picture is painted, so positions map to surface pixels
    bool inside = false;       // the event is on the picture, not on a bar
    bool serverMouse = false;  // the server takes relative motion only
    bool grabbed = false;      // the window holds the pointer
    int heldButtons = 0;       // Qt buttons the server holds (or will)
};

PointerAction pointerAction(QEvent::Type type, int button, const PointerState& state);
