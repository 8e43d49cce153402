#include "inputs_seam.h"

#include <spice-client.h>

namespace
{

InputsRecorder currentRecorder = nullptr;

void record(SpiceInputsChannel* channel, const QString& call)
{
    if (currentRecorder)
        currentRecorder(channel, call);
}

} // namespace

void setInputsRecorder(InputsRecorder recorder)
{
    currentRecorder = recorder;
}

// These definitions in the executable win over the library's, so nothing reaches a real channel.
extern "C" {
void spice_inputs_channel_position(SpiceInputsChannel* channel, gint x, gint y, gint display,
                                   gint button_state)
{
    record(channel, QStringLiteral("position(%1,%2,%3,%4)").arg(x).arg(y).arg(display).arg(button_state));
}
void spice_inputs_channel_button_press(SpiceInputsChannel* channel, gint button, gint button_state)
{
    record(channel, QStringLiteral("button_press(%1,%2)").arg(button).arg(button_state));
}
void spice_inputs_channel_button_release(SpiceInputsChannel* channel, gint button, gint button_state)
{
    record(channel, QStringLiteral("button_release(%1,%2)").arg(button).arg(button_state));
}
void spice_inputs_channel_key_press(SpiceInputsChannel* channel, guint scancode)
{
    record(channel, QStringLiteral("key_press(0x%1)").arg(scancode, 0, 16));
}
void spice_inputs_channel_key_release(SpiceInputsChannel* channel, guint scancode)
{
    record(channel, QStringLiteral("key_release(0x%1)").arg(scancode, 0, 16));
}
}
