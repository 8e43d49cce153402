#pragma once

#include <QStringList>

// Linked into a test, the inputs channel's senders of the SPICE library are replaced by recorders
// that behave like the library where it matters: a call on a channel that has not reported itself
// open ("channel-event" with SPICE_CHANNEL_OPENED) goes nowhere. Calls are written as
// "key_press(0x1e)", "position(x,y,display,state)", "button_press(button,state)".
namespace seam
{
extern QStringList sent;    // calls that would have reached the server
extern QStringList dropped; // calls the library would have dropped
} // namespace seam
