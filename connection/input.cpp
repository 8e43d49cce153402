#include "input.h"

#include "agent.h"
#include "log.h"

#include <Qt>

namespace
{

constexpr uint32_t kControlAlt =
    static_cast<uint32_t>(Qt::ControlModifier) | static_cast<uint32_t>(Qt::AltModifier);
constexpr uint32_t kMeta = static_cast<uint32_t>(Qt::MetaModifier);

// Every key goes out here, so the record of keys held down on the server stays exact.
void sendScancode(SpiceAgent* agent, unsigned int scancode, bool press)
{
    if (press) {
        spice_inputs_channel_key_press(agent->inputs, scancode);
        agent->pressed.insert(scancode);
    } else {
        spice_inputs_channel_key_release(agent->inputs, scancode);
        agent->pressed.remove(scancode);
        // A modifier let go by the user is no longer the viewer's to release.
        for (QList<unsigned int>& added : agent->shortcutModifiers)
            added.removeAll(scancode);
    }
}

// The modifiers pressed for the shortcut of `code` go with its release.
void releaseShortcutModifiers(SpiceAgent* agent, unsigned int code)
{
    QList<unsigned int> added = agent->shortcutModifiers.take(code);
    while (!added.isEmpty()) {
        const unsigned int modifier = added.takeLast();
        if (agent->pressed.contains(modifier))
            sendScancode(agent, modifier, false);
    }
}

// Shortcuts the local desktop may keep for itself: it can swallow the press of Delete, or the
// Windows key around R or E. The server gets what the shortcut needs, once.
const char* shortcutName(const KM_EVENT& event)
{
    if ((event.modifiers & kControlAlt) == kControlAlt && event.key == Qt::Key_Delete)
        return "Ctrl+Alt+Del";
    if ((event.modifiers & kMeta) && event.key == Qt::Key_R)
        return "Win+R";
    if ((event.modifiers & kMeta) && event.key == Qt::Key_E)
        return "Win+E";
    return nullptr;
}

// Left and right key of one modifier: either held on the server will do, else the left one is
// pressed for the shortcut and released after it.
void holdModifier(SpiceAgent* agent, unsigned int code, unsigned int left, unsigned int right)
{
    if (agent->pressed.contains(left) || agent->pressed.contains(right))
        return;
    sendScancode(agent, left, true);
    agent->shortcutModifiers[code].append(left);
}

void pressShortcut(SpiceAgent* agent, const KM_EVENT& event, unsigned int code)
{
    if (event.key == Qt::Key_Delete) {
        holdModifier(agent, code, 0x1D, 0x11D); // Ctrl
        holdModifier(agent, code, 0x38, 0x138); // Alt
    } else {
        holdModifier(agent, code, 0x15B, 0x15C); // Windows
    }
    sendScancode(agent, code, true);
}

void sendKeyEvent(SpiceAgent* agent, const KM_EVENT& event)
{
    const bool press = event.type == kKeyPress;
    const QHash<int, unsigned int>& table = event.keypad ? keypadScanCodeHash : scanCodeHash;
    const unsigned int code = event.scancode ? event.scancode : table.value(event.key, 0);
    // No key at all: the library refuses 0, and a guess would type something else.
    if (code == 0)
        return;

    if (const char* name = shortcutName(event)) {
        Logger(INFO) << name << (press ? " pressed" : " released");
        if (press) {
            pressShortcut(agent, event, code);
            return;
        }
        // Only the release came through: the whole shortcut goes out now.
        if (!agent->pressed.contains(code))
            pressShortcut(agent, event, code);
        sendScancode(agent, code, false);
        releaseShortcutModifiers(agent, code);
        return;
    }

    // A release of a key the server does not hold would only confuse it.
    if (!press && !agent->pressed.contains(code))
        return;
    sendScancode(agent, code, press);
    if (!press)
        releaseShortcutModifiers(agent, code);
}

// Sends one event through the open inputs channel.
void sendNow(SpiceAgent* agent, const KM_EVENT& event)
{
    SpiceInputsChannel* inputs = agent->inputs;
    // Nothing can be placed before the first surface exists.
    const bool pointer = event.type != kKeyPress && event.type != kKeyRelease;
    if (pointer && !agent->display)
        return;

    // Callers that know the event's own button name it; the set held after the event does not
    // tell which of two buttons was pressed or released.
    const int button = QtButtonToSpice(event.button ? event.button : event.buttons);
    const int mask = QtButtonsMaskToSpice(event.buttons);
    switch (event.type) {
    case kMouseMove:
        if (event.relative)
            spice_inputs_channel_motion(inputs, event.x, event.y, mask);
        else
            spice_inputs_channel_position(inputs, event.x, event.y,
                                          event.display >= 0 ? event.display : agent->display_id, mask);
        break;
    case kMouseButtonPress:
        Logger(DEBUG) << "MouseButtonPress" << event.buttons;
        spice_inputs_channel_button_press(inputs, button, mask);
        break;
    case kMouseButtonRelease:
        Logger(DEBUG) << "MouseButtonRelease" << event.buttons;
        spice_inputs_channel_button_release(inputs, button, mask);
        break;
    case kMouseButtonDblClick:
        // Qt reports the second press of a double click as this; the guest detects double clicks
        // itself. Its release follows as an ordinary release.
        Logger(DEBUG) << "MouseButtonDblClick" << event.buttons;
        spice_inputs_channel_button_press(inputs, button, mask);
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

// One key, whichever way it is sent: by its scancode or by its Qt key.
uint64_t keyId(const KM_EVENT& event)
{
    return event.scancode ? (uint64_t(1) << 32 | event.scancode)
                          : (uint64_t(uint32_t(event.key)) << 1 | uint64_t(event.keypad));
}

// Whether the press of `release`'s key waits for the inputs channel.
bool pressWaits(const SpiceAgent* agent, const KM_EVENT& release)
{
    bool down = false;
    for (const PendingInput& input : agent->pending)
        if ((input.event.type == kKeyPress || input.event.type == kKeyRelease) &&
            keyId(input.event) == keyId(release))
            down = input.event.type == kKeyPress;
    return down;
}

void enqueue(SpiceAgent* agent, const KM_EVENT& event, const QString& injectedKey = QString())
{
    // Only the last position matters; a stream of moves must not push keys out of the queue.
    if (event.type == kMouseMove && !event.relative && !agent->pending.empty() &&
        agent->pending.back().event.type == kMouseMove && !agent->pending.back().event.relative) {
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
    if (sessionPhase(agent) != SessionPhase::InputsReady) {
        // Nothing is pressed on the server without the channel: a release is kept only behind its
        // press, or for a shortcut whose press the desktop kept. Another window's key (the Return
        // that closed the password dialog) has nothing to release.
        if (event.type == kKeyRelease && !shortcutName(event) && !pressWaits(agent, event)) {
            Logger(DEBUG) << "A key released whose press did not go out: not kept";
            return 1;
        }
        enqueue(agent, event);
        return 1;
    }
    sendNow(agent, event);
    return 1;
}

void injectQtKey(SpiceAgent* agent, const QString& text)
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
    if (sessionPhase(agent) != SessionPhase::InputsReady) {
        Logger(INFO) << "Key " << text << " waits for the inputs channel";
        enqueue(agent, press);
        enqueue(agent, release, text);
        return;
    }
    sendNow(agent, press);
    sendNow(agent, release);
    Logger(INFO) << "sendKey success " << text << " " << int32_t(code);
}

void flushPendingInput(SpiceAgent* agent)
{
    while (!agent->pending.empty() && sessionPhase(agent) == SessionPhase::InputsReady) {
        const PendingInput input = agent->pending.front();
        agent->pending.pop_front();
        sendNow(agent, input.event);
        if (!input.injectedKey.isEmpty())
            Logger(INFO) << "sendKey success " << input.injectedKey << " " << input.event.key;
    }
}

void releasePressedKeys(SpiceAgent* agent)
{
    if (!agent)
        return;
    // A press still waiting for the inputs channel gets its release queued behind it: once the
    // channel opens, the server sees both or, if they are dropped, neither.
    QHash<uint64_t, KM_EVENT> queuedDown;
    for (const PendingInput& input : agent->pending) {
        const KM_EVENT& event = input.event;
        if (event.type != kKeyPress && event.type != kKeyRelease)
            continue;
        if (event.type == kKeyPress)
            queuedDown.insert(keyId(event), event);
        else
            queuedDown.remove(keyId(event));
    }
    for (KM_EVENT release : queuedDown) {
        release.type = kKeyRelease;
        enqueue(agent, release);
    }
    // A closed channel cannot take the releases; the server forgets its keys with the channel.
    if (sessionPhase(agent) == SessionPhase::InputsReady && !agent->pressed.isEmpty()) {
        Logger(DEBUG) << "Releasing " << agent->pressed.size() << " held keys";
        for (unsigned int scancode : agent->pressed)
            spice_inputs_channel_key_release(agent->inputs, scancode);
    }
    agent->pressed.clear();
    agent->shortcutModifiers.clear();
    agent->heldKeys.clear();
}

void forgetPressed(SpiceAgent* agent)
{
    agent->pressed.clear();
    agent->shortcutModifiers.clear();
    agent->buttons = 0;
}
