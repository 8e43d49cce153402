#pragma once

#include <QString>

typedef struct _SpiceInputsChannel SpiceInputsChannel;

// Linked into a test executable, the inputs-channel senders of the SPICE library are replaced by
// recorders: each call is written out, as "key_press(0x1e)", "position(x,y,display,state)",
// "button_press(button,state)", and handed to the function given here.
using InputsRecorder = void (*)(SpiceInputsChannel* channel, const QString& call);
void setInputsRecorder(InputsRecorder recorder);
