#include "agent.h"
#include "connection.h"
#include "devices.h"
#include "guestagent.h"
#include "input.h"
#include "log.h"
#include "monitors.h"
#include "session_viewer.h"

#include <utility>

namespace
{

int channelId(SpiceChannel* channel)
{
    int id = 0;
    g_object_get(channel, "channel-id", &id, nullptr);
    return id;
}

// Handlers on channels belong to the current session and are disconnected with it.
void connectSignal(gpointer instance, const char* signal, GCallback handler, SpiceAgent* agent)
{
    agent->channelSignals.connect(instance, signal, handler, agent);
}

} // namespace

void channel_new(SpiceSession*, SpiceChannel* channel, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    if (!channel || !agent)
        return;
    if (agent->devices)
        agent->devices->channelNew(channel);
    if (SPICE_IS_MAIN_CHANNEL(channel)) {
        agent->main = SPICE_MAIN_CHANNEL(channel);
        spice_channel_connect(channel);
        connectSignal(channel, "channel-event", G_CALLBACK(on_channel_event), agent);
        connectSignal(channel, "main-mouse-update", G_CALLBACK(mainMouseUpdate), agent);
        if (agent->guest)
            agent->guest->attach(agent->main);
        if (agent->monitors)
            agent->monitors->attachMain(agent->main);
    } else if (SPICE_IS_DISPLAY_CHANNEL(channel)) {
        int id = channelId(channel);
        Logger(INFO) << "new display channel (#" << id << "), creating window";
        agent->displayIds.insert(SPICE_DISPLAY_CHANNEL(channel), id);
        if (agent->monitors)
            agent->monitors->addDisplay(SPICE_DISPLAY_CHANNEL(channel), id);
        connectSignal(channel, "display-primary-create", G_CALLBACK(display_create), agent);
        connectSignal(channel, "display-invalidate", G_CALLBACK(display_update), agent);
        connectSignal(channel, "display-primary-destroy", G_CALLBACK(display_destroy), agent);
        spice_channel_connect(channel);
    } else if (SPICE_IS_PLAYBACK_CHANNEL(channel)) {
        int id = channelId(channel);
        Logger(INFO) << "new audio channel (#" << id << "), aplay";
        agent->playback = SPICE_PLAYBACK_CHANNEL(channel);
        startSound(agent);
    } else if (SPICE_IS_INPUTS_CHANNEL(channel)) {
        initScanCodeMap(scanCodeHash);
        initKeypadScanCodeMap(keypadScanCodeHash);
        int id = channelId(channel);
        Logger(INFO) << "new inputs channel (#" << id << "), input";
        agent->inputs = SPICE_INPUTS_CHANNEL(channel);
        agent->inputsOpen = false;
        connectSignal(channel, "channel-event", G_CALLBACK(inputsChannelEvent), agent);
        spice_channel_connect(channel);
    }
}

void channel_destroy(SpiceSession*, SpiceChannel* channel, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    if (!channel)
        return;
    int id = channelId(channel);
    bool debug = spice_util_get_debug();
    if (SPICE_IS_MAIN_CHANNEL(channel)) {
        if (debug)
            g_log(nullptr, G_LOG_LEVEL_DEBUG, "%s zap main channel", "spiceclient:230");
    } else if (SPICE_IS_DISPLAY_CHANNEL(channel)) {
        if (debug)
            g_log(nullptr, G_LOG_LEVEL_DEBUG, "%s zap display channel (#%d)", "spiceclient:233", id);
    } else if (SPICE_IS_PLAYBACK_CHANNEL(channel)) {
        if (debug)
            g_log(nullptr, G_LOG_LEVEL_DEBUG, "%s zap audio channel", "spiceclient:237");
    }
    // Nothing may use a channel, or the pixels it owns, once it is gone.
    if (!agent)
        return;
    agent->channelSignals.drop(channel);
    if (agent->devices)
        agent->devices->channelGone(channel);
    if (agent->main == reinterpret_cast<SpiceMainChannel*>(channel)) {
        if (agent->guest)
            agent->guest->detach();
        if (agent->monitors)
            agent->monitors->detachMain();
        agent->main = nullptr;
    }
    if (agent->inputs == reinterpret_cast<SpiceInputsChannel*>(channel)) {
        agent->inputs = nullptr;
        agent->inputsOpen = false;
    }
    if (SPICE_IS_DISPLAY_CHANNEL(channel)) {
        otherDisplayGone(agent, SPICE_DISPLAY_CHANNEL(channel));
        if (agent->monitors)
            agent->monitors->removeDisplay(SPICE_DISPLAY_CHANNEL(channel));
    }
    if (agent->playback == reinterpret_cast<SpicePlaybackChannel*>(channel))
        agent->playback = nullptr;
    agent->displayIds.remove(reinterpret_cast<SpiceDisplayChannel*>(channel));
    if (agent->display == reinterpret_cast<SpiceDisplayChannel*>(channel)) {
        agent->display = nullptr;
        agent->imgdata = nullptr;
    }
}

void on_channel_event(SpiceChannel* channel, SpiceChannelEvent event, void* user_data)
{
    Logger(INFO) << "on_channel_event invoked" << int(event);
    auto* agent = static_cast<SpiceAgent*>(user_data);
    if (!agent) {
        Logger(ERROR) << "on_channel_event function data is NULL";
        return;
    }
    // A late event of a channel that is no longer the session's says nothing about the session.
    if (reinterpret_cast<SpiceMainChannel*>(channel) != agent->main)
        return;
    if (event == SPICE_CHANNEL_OPENED) {
        Logger(INFO) << "连接已建立";
        agent->phase = SessionPhase::Open;
        flushPendingInput(agent);
        if (agent->viewer)
            agent->viewer->opened();
    } else if (event == SPICE_CHANNEL_CLOSED) {
        Logger(INFO) << "连接已关闭";
        agent->phase = SessionPhase::Closed;
        forgetPressed(agent);
        if (agent->viewer) {
            agent->viewer->clearDisplay();
            agent->viewer->closeWindow();
        }
    } else if (event >= SPICE_CHANNEL_ERROR_CONNECT) {
        agent->phase = SessionPhase::Failed;
        forgetPressed(agent);
        // Asked first, so that a kiosk waits for the answer instead of retrying the same password.
        if (event == SPICE_CHANNEL_ERROR_AUTH && agent->viewer)
            agent->viewer->passwordRefused();
        reportConnectionFailure(channel, event, agent->viewer);
    }
}

void inputsChannelEvent(SpiceChannel* channel, SpiceChannelEvent event, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    if (!agent || reinterpret_cast<SpiceInputsChannel*>(channel) != agent->inputs)
        return;
    agent->inputsOpen = event == SPICE_CHANNEL_OPENED;
    Logger(INFO) << "inputs channel " << (agent->inputsOpen ? "open" : "not open") << " (event " << int(event)
                 << ")";
    if (agent->inputsOpen) {
        flushPendingInput(agent);
    } else {
        forgetPressed(agent);
    }
}

void allowSound(SpiceAgent* agent)
{
    // After the paint the picture asked for, and whatever else is ready.
    agent->soundStart.reset(g_idle_add_full(
        G_PRIORITY_LOW,
        [](gpointer data) -> gboolean {
            auto* agent = static_cast<SpiceAgent*>(data);
            agent->soundStart.forget();
            agent->soundMayStart = true;
            startSound(agent);
            return G_SOURCE_REMOVE;
        },
        agent, nullptr));
}

void startSound(SpiceAgent* agent)
{
    if (!agent->soundMayStart || !agent->playback || !agent->session)
        return;
    SpiceChannel* channel = SPICE_CHANNEL(std::exchange(agent->playback, nullptr));
    spice_audio_get(agent->session.get(), nullptr);
    spice_channel_connect(channel);
    if (agent->devices)
        agent->devices->audioStarted();
}

void mainMouseUpdate(SpiceChannel* channel, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    if (!agent || reinterpret_cast<SpiceMainChannel*>(channel) != agent->main)
        return;
    int mode = 0;
    g_object_get(channel, "mouse-mode", &mode, nullptr);
    if (mode == agent->mouseMode)
        return;
    agent->mouseMode = mode;
    const bool server = mode == SPICE_MOUSE_MODE_SERVER;
    Logger(INFO) << "Mouse mode: "
                 << (server                            ? "server"
                     : mode == SPICE_MOUSE_MODE_CLIENT ? "client"
                                                       : "unknown");
    if (agent->viewer)
        agent->viewer->mouseModeChanged(server);
}
