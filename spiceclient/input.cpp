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

// Every key goes out here, so the record of keys held down on the server stays exact.
void sendScancode(SpiceAgent* agent, unsigned int scancode, bool press)
{
    if (press) {
        spice_inputs_channel_key_press(agent->inputs, scancode);
        agent->pressed.insert(scancode);
    } else {
        spice_inputs_channel_key_release(agent->inputs, scancode);
        agent->pressed.remove(scancode);
    }
}

void sendKeyEvent(SpiceAgent* agent, const KM_EVENT& event)
{
    const bool press = event.type == kKeyPress;

    // The guest would otherwise never see this combination: the local desktop keeps it.
    if ((event.modifiers & kControlAlt) == kControlAlt && event.key == Qt::Key_Delete) {
        Logger(INFO) << (press ? "Ctrl+Alt+Del pressed" : "Ctrl+Alt+Del released");
        sendScancode(agent, mainCode(Qt::Key_Control), true);
        sendScancode(agent, mainCode(Qt::Key_Alt), true);
        sendScancode(agent, mainCode(Qt::Key_Delete), true);
        if (!press) {
            sendScancode(agent, mainCode(Qt::Key_Delete), false);
            sendScancode(agent, mainCode(Qt::Key_Alt), false);
            sendScancode(agent, mainCode(Qt::Key_Control), false);
        }
        return;
    }

    // Win shortcuts are sent as a whole so the guest gets Meta around the letter.
    if ((event.modifiers & kMeta) && (event.key == Qt::Key_R || event.key == Qt::Key_E)) {
        const char* name = event.key == Qt::Key_R ? "Win+R" : "Win+E";
        Logger(INFO) << name << (press ? " pressed" : " released");
        if (press) {
            sendScancode(agent, mainCode(Qt::Key_Meta), true);
            sendScancode(agent, mainCode(event.key), true);
        } else {
            sendScancode(agent, mainCode(event.key), false);
            sendScancode(agent, mainCode(Qt::Key_Meta), false);
        }
        return;
    }

    // Unknown keys go out as 0 rather than being guessed at.
    const QHash<int, unsigned int>& table = event.keypad ? keypadScanCodeHash : scanCodeHash;
    sendScancode(agent, table.value(event.key, 0), press);
}

// Sends one event through the open inputs channel.
void sendNow(SpiceAgent* agent, const KM_EVENT& event)
{
    SpiceInputsChannel* inputs = agent->inputs;
    // Nothing can be placed before the first surface exists.
    const bool pointer = event.type != kKeyPress && event.type != kKeyRelease;
    if (pointer && !agent->display)
        return;

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
        sendKeyEvent(agent, event);
        break;
    }
}

void enqueue(SpiceAgent* agent, const KM_EVENT& event, const QString& injectedKey = QString())
{
    // Only the last position matters; a stream of moves must not push keys out of the queue.
    if (event.type == kMouseMove && !agent->pending.empty() &&
        agent->pending.back().event.type == kMouseMove) {
        agent->pending.back().event = event;
        return;
    }
    if (agent->pending.size() >= size_t(kMaxPendingInput)) {
        const PendingInput& oldest = agent->pending.front();
        Logger(WARN) << "Too much input waiting for the session; dropped the oldest (event type "
                     << oldest.event.type << ", key " << oldest.event.key << ")";
        agent->pending.pop_front();
    }
    agent->pending.push_back({event, injectedKey});
}

} // namespace

int syncKeyMouse(KM_EVENT& event, SpiceAgent* agent)
{
    if (!agent)
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
    // The library would drop it silently: it waits, in order, until the inputs channel opens.
    if (session_phase(agent) != SessionPhase::InputsReady) {
        enqueue(agent, event);
        return 1;
    }
    sendNow(agent, event);
    return 1;
}

void inject_key(SpiceAgent* agent, const QString& text)
{
    Logger(INFO) << "sendKey " << text;
    if (text.isEmpty()) {
        Logger(INFO) << "sendKey empty";
        return;
    }
    bool ok = false;
    const uint code = text.toUInt(&ok, 16);
    if (!ok) {
        Logger(ERROR) << "Failed to convert key string: " << text;
        return;
    }
    if (!agent)
        return;
    KM_EVENT press{};
    press.type = kKeyPress;
    press.key = int32_t(code);
    KM_EVENT release = press;
    release.type = kKeyRelease;
    if (session_phase(agent) != SessionPhase::InputsReady) {
        Logger(INFO) << "Key " << text << " waits for the inputs channel";
        enqueue(agent, press);
        enqueue(agent, release, text);
        return;
    }
    sendNow(agent, press);
    sendNow(agent, release);
    Logger(INFO) << "sendKey success " << text << " " << int32_t(code);
}

void flush_pending_input(SpiceAgent* agent)
{
    while (!agent->pending.empty() && session_phase(agent) == SessionPhase::InputsReady) {
        const PendingInput input = agent->pending.front();
        agent->pending.pop_front();
        sendNow(agent, input.event);
        if (!input.injectedKey.isEmpty())
            Logger(INFO) << "sendKey success " << input.injectedKey << " " << input.event.key;
    }
}

void release_pressed_keys(SpiceAgent* agent)
{
    if (!agent || agent->pressed.isEmpty())
        return;
    // A closed channel cannot take the releases; the server forgets its keys with the channel.
    if (session_phase(agent) == SessionPhase::InputsReady) {
        Logger(DEBUG) << "Releasing " << agent->pressed.size() << " held keys";
        for (unsigned int scancode : agent->pressed)
            spice_inputs_channel_key_release(agent->inputs, scancode);
    }
    agent->pressed.clear();
}
