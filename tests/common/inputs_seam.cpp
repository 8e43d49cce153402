#include "inputs_seam.h"

#include <set>
#include <spice-client.h>

namespace seam
{
QStringList sent;
QStringList dropped;
namespace
{
std::set<const void*> openChannels;

// An emission hook runs before every handler, as the library's own state change does.
gboolean onEvent(GSignalInvocationHint*, guint, const GValue* values, gpointer)
{
    const void* channel = g_value_get_object(&values[0]);
    if (g_value_get_enum(&values[1]) == SPICE_CHANNEL_OPENED)
        openChannels.insert(channel);
    else
        openChannels.erase(channel);
    return TRUE;
}

const bool hooked = [] {
    g_type_class_ref(SPICE_TYPE_CHANNEL);
    g_signal_add_emission_hook(g_signal_lookup("channel-event", SPICE_TYPE_CHANNEL), 0, onEvent, nullptr,
                               nullptr);
    return true;
}();

void record(SpiceInputsChannel* channel, const QString& call)
{
    (openChannels.count(channel) ? sent : dropped) << call;
}
} // namespace
} // namespace seam

// These definitions in the executable win over the library's.
extern "C" {
void spice_inputs_channel_position(SpiceInputsChannel* c, gint x, gint y, gint display, gint state)
{
    seam::record(c, QStringLiteral("position(%1,%2,%3,%4)").arg(x).arg(y).arg(display).arg(state));
}
void spice_inputs_channel_button_press(SpiceInputsChannel* c, gint button, gint state)
{
    seam::record(c, QStringLiteral("button_press(%1,%2)").arg(button).arg(state));
}
void spice_inputs_channel_button_release(SpiceInputsChannel* c, gint button, gint state)
{
    seam::record(c, QStringLiteral("button_release(%1,%2)").arg(button).arg(state));
}
void spice_inputs_channel_key_press(SpiceInputsChannel* c, guint scancode)
{
    seam::record(c, QStringLiteral("key_press(0x%1)").arg(scancode, 0, 16));
}
void spice_inputs_channel_key_release(SpiceInputsChannel* c, guint scancode)
{
    seam::record(c, QStringLiteral("key_release(0x%1)").arg(scancode, 0, 16));
}
}
