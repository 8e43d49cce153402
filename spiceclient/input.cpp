#include "input.h"

#include "agent.h"
#include "log.h"

#include <Qt>

namespace
{

// QEvent::Type numbers; QEvent itself is kept out so this file stays free of QtGui.
enum : int32_t {
    kMouseButtonPress = 2,
    kMouseButtonRelease = 3,
    kMouseButtonDblClick = 4,
    kMouseMove = 5,
    kKeyPress = 6,
    kKeyRelease = 7,
    kWheel = 31,
};

constexpr uint32_t kControlAlt =
    static_cast<uint32_t>(Qt::ControlModifier) | static_cast<uint32_t>(Qt::AltModifier);
constexpr uint32_t kMeta = static_cast<uint32_t>(Qt::MetaModifier);

unsigned int mainCode(int key)
{
    return scanCodeHash.value(key, 0);
}

void sendKey(SpiceInputsChannel* inputs, const KM_EVENT& event)
{
    const bool press = event.type == kKeyPress;

    // The guest would otherwise never see this combination: the local desktop keeps it.
    if ((event.modifiers & kControlAlt) == kControlAlt && event.key == Qt::Key_Delete) {
        Logger(INFO) << (press ? "Ctrl+Alt+Del pressed" : "Ctrl+Alt+Del released");
        spice_inputs_channel_key_press(inputs, mainCode(Qt::Key_Control));
        spice_inputs_channel_key_press(inputs, mainCode(Qt::Key_Alt));
        spice_inputs_channel_key_press(inputs, mainCode(Qt::Key_Delete));
        if (!press) {
            spice_inputs_channel_key_release(inputs, mainCode(Qt::Key_Delete));
            spice_inputs_channel_key_release(inputs, mainCode(Qt::Key_Alt));
            spice_inputs_channel_key_release(inputs, mainCode(Qt::Key_Control));
        }
        return;
    }

    // Win shortcuts are sent as a whole so the guest gets Meta around the letter.
    if ((event.modifiers & kMeta) && (event.key == Qt::Key_R || event.key == Qt::Key_E)) {
        const char* name = event.key == Qt::Key_R ? "Win+R" : "Win+E";
        if (press) {
            Logger(INFO) << name << " pressed";
            spice_inputs_channel_key_press(inputs, mainCode(Qt::Key_Meta));
            spice_inputs_channel_key_press(inputs, mainCode(event.key));
        } else {
            Logger(INFO) << name << " released";
            spice_inputs_channel_key_release(inputs, mainCode(event.key));
            spice_inputs_channel_key_release(inputs, mainCode(Qt::Key_Meta));
        }
        return;
    }

    // Unknown keys go out as 0 rather than being guessed at.
    const QHash<int, unsigned int>& table = event.keypad ? keypadScanCodeHash : scanCodeHash;
    const unsigned int scancode = table.value(event.key, 0);
    if (press)
        spice_inputs_channel_key_press(inputs, scancode);
    else
        spice_inputs_channel_key_release(inputs, scancode);
}

} // namespace

int syncKeyMouse(KM_EVENT& event, SpiceAgent* agent)
{
    // Nothing can be placed before the first surface exists.
    if (!agent || !agent->display)
        return 1;

    switch (event.type) {
    case kMouseButtonPress:
    case kMouseButtonRelease:
    case kMouseButtonDblClick:
    case kMouseMove:
    case kKeyPress:
    case kKeyRelease:
    case kWheel:
        break;
    default:
        Logger(ERROR) << "recv not key and mouse event";
        return 0;
    }

    SpiceInputsChannel* inputs = agent->inputs;
    if (!inputs)
        return 1;

    switch (event.type) {
    case kMouseMove:
        spice_inputs_channel_position(inputs, event.x, event.y, agent->display_id,
                                      QtButtonsMaskToSpice(event.buttons));
        break;
    case kMouseButtonPress:
        Logger(DEBUG) << "MouseButtonPress" << event.buttons;
        spice_inputs_channel_button_press(inputs, QtButtonToSpice(event.buttons),
                                          QtButtonsMaskToSpice(event.buttons));
        break;
    case kMouseButtonRelease:
        Logger(DEBUG) << "MouseButtonRelease" << event.buttons;
        spice_inputs_channel_button_release(inputs, QtButtonToSpice(event.buttons),
                                            QtButtonsMaskToSpice(event.buttons));
        break;
    case kMouseButtonDblClick:
        // The guest detects double clicks itself; a second left click completes one.
        Logger(DEBUG) << "MouseButtonDblClick" << event.buttons;
        spice_inputs_channel_button_press(inputs, 1, 1);
        spice_inputs_channel_button_release(inputs, 1, 0);
        break;
    case kWheel: {
        Logger(DEBUG) << "Wheel" << (event.wheel_up ? "1" : "0");
        const int button = event.wheel_up ? 4 : 5;
        const int mask = QtButtonsMaskToSpice(event.buttons);
        spice_inputs_channel_button_press(inputs, button, mask);
        spice_inputs_channel_button_release(inputs, button, mask);
        break;
    }
    case kKeyPress:
    case kKeyRelease:
        sendKey(inputs, event);
        break;
    }
    return 1;
}
