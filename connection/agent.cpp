#include "agent.h"

#include "channel_sockets.h"
#include "connection.h"
#include "connection_settings.h"
#include "devices.h"
#include "guestagent.h"
#include "log.h"
#include "monitors.h"
#include "session_viewer.h"
#include "sigpipe.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

GObjectRef<SpiceSession> newWiredSession(SpiceAgent* agent)
{
    GObjectRef<SpiceSession> session = GObjectRef<SpiceSession>::adopt(spice_session_new());
    applyConnectionSettings(session.get(), currentConnection());
    // Before the session connects: the USB manager links the USB channels itself.
    if (agent->devices)
        agent->devices->attach(session.get(), currentConnection());
    // First: channel_new links some channels at once, and their requests for a socket come then.
    if (agent->sockets)
        g_signal_connect_data(session.get(), "channel-new", G_CALLBACK(ChannelSockets::channelNew),
                              agent->sockets, nullptr, GConnectFlags(0));
    g_signal_connect_data(session.get(), "channel-new", G_CALLBACK(channel_new), agent, nullptr,
                          GConnectFlags(0));
    g_signal_connect_data(session.get(), "channel-destroy", G_CALLBACK(channel_destroy), agent, nullptr,
                          GConnectFlags(0));
    g_signal_connect_data(session.get(), "disconnected", G_CALLBACK(connection_destroy), agent, nullptr,
                          GConnectFlags(0));
    return session;
}

void disconnectHandler(gpointer instance, gpointer function, gpointer data)
{
    g_signal_handlers_disconnect_matched(
        instance, GSignalMatchType(G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA), 0, 0, nullptr, function, data);
}

// A new session starts from nothing: no channel is open and it has shown nothing yet.
void beginSession(SpiceAgent* agent)
{
    agent->phase = SessionPhase::Connecting;
    agent->inputsOpen = false;
    agent->updated = false;
    agent->soundMayStart = false;
    agent->soundStart.reset();
    forgetPressed(agent);
    agent->mouseMode = 0;
    agent->connectingSince.start();
    // A server that takes the connection and never answers gets no error from the library.
    agent->connectingTimeout.reset(g_timeout_add(
        kConnectingBoundMs,
        [](gpointer data) -> gboolean {
            auto* agent = static_cast<SpiceAgent*>(data);
            agent->connectingTimeout.forget();
            if (agent->phase == SessionPhase::Connecting) {
                agent->phase = SessionPhase::Failed;
                reportConnectionFailure(noAnswerMessage(currentConnection(), kConnectingBoundMs / 1000),
                                        agent->viewer);
            }
            return G_SOURCE_REMOVE;
        },
        agent));
}

// Every channel, the main one first, asks for its socket (channel_sockets.h): the library opens
// none itself.
bool openSession(SpiceAgent* agent)
{
    return spice_session_open_fd(agent->session.get(), -1);
}

// Input typed for the old session means nothing to the new one; injected keys still go out.
void carryPendingInput(SpiceAgent* agent)
{
    int dropped = 0;
    std::deque<PendingInput> kept;
    for (size_t i = 0; i < agent->pending.size(); ++i) {
        const PendingInput& input = agent->pending[i];
        const bool injectedPress =
            i + 1 < agent->pending.size() && !agent->pending[i + 1].injectedKey.isEmpty();
        if (!input.injectedKey.isEmpty() || injectedPress) {
            if (!input.injectedKey.isEmpty())
                Logger(INFO) << "Key " << input.injectedKey << " now waits for the new session";
            kept.push_back(input);
        } else {
            ++dropped;
        }
    }
    // Typed for a server that never took it: nothing anyone needs to act on.
    if (dropped > 0)
        Logger(DEBUG) << "Dropped " << dropped << " input events that waited for the old session";
    agent->pending = std::move(kept);
}

} // namespace

int connect_spice(SpiceAgent* agent)
{
    const QString& title = currentConnection().title;
    if (!title.isEmpty() && agent->viewer)
        agent->viewer->setTitle(title);
    agent->session = newWiredSession(agent);
    beginSession(agent);
    if (!openSession(agent)) {
        Logger(ERROR) << "spice_session_open_fd failed";
        agent->phase = SessionPhase::Failed;
        return -1;
    }
    // GLib sets SIGPIPE to SIG_IGN when its socket class is first used, in the event loop after
    // this; initialising that class now keeps it from replacing our handler later.
    g_type_class_ref(G_TYPE_SOCKET);
    installSigpipeHandler();
    return 0;
}

void closeSession(SpiceSession* session)
{
    // The library forgets a channel's session before it stops the channel; a channel still
    // linking would then write into a session it no longer has. Stopped first, each channel
    // winds down while it still knows its session.
    GList* channels = spice_session_get_channels(session);
    for (GList* l = channels; l; l = l->next)
        spice_channel_disconnect(SPICE_CHANNEL(l->data), SPICE_CHANNEL_NONE);
    g_list_free(channels);
    spice_session_disconnect(session);
}

int reconnect_spice(SpiceAgent* agent)
{
    Logger(INFO) << "Attempting to reconnect SPICE session";
    if (!agent || !agent->session) {
        Logger(ERROR) << "SPICE session not initialized";
        return 0;
    }
    Logger(INFO) << "Recreating SPICE session";
    SpiceSession* old = agent->session.get();
    disconnectHandler(old, reinterpret_cast<gpointer>(channel_new), agent);
    if (agent->sockets) {
        disconnectHandler(old, reinterpret_cast<gpointer>(ChannelSockets::channelNew), agent->sockets);
        agent->sockets->forget();
    }
    disconnectHandler(old, reinterpret_cast<gpointer>(channel_destroy), agent);
    disconnectHandler(old, reinterpret_cast<gpointer>(connection_destroy), agent);
    // The old session's channels go with it: none of their events may reach us any more.
    agent->channelSignals.clear();
    if (agent->devices)
        agent->devices->detach();
    forgetChannels(agent);
    carryPendingInput(agent);
    // Dropping our reference alone may leave a live connection behind when the library holds
    // another one; a server that serves one client at a time would then refuse the new session.
    closeSession(old);
    agent->session = newWiredSession(agent);
    beginSession(agent);
    if (!openSession(agent)) {
        Logger(ERROR) << "spice_session_open_fd failed during reconnection";
        agent->phase = SessionPhase::Failed;
        return 0;
    }
    // Whether it worked shows when the server answers: the main channel opens or fails.
    return 1;
}

void connection_destroy(SpiceSession*, void*)
{
    if (spice_util_get_debug())
        g_log(nullptr, G_LOG_LEVEL_DEBUG, "%s connection_destroy", "spiceclient:244");
}

SessionPhase sessionPhase(const SpiceAgent* agent)
{
    if (!agent)
        return SessionPhase::Idle;
    if (agent->phase == SessionPhase::Open && agent->inputsOpen && agent->inputs)
        return SessionPhase::InputsReady;
    return agent->phase;
}

bool sessionAlive(const SpiceAgent* agent)
{
    switch (sessionPhase(agent)) {
    case SessionPhase::Open:
    case SessionPhase::InputsReady:
        return true;
    case SessionPhase::Connecting:
        // Left alone while it may still come up; a server that never answers gets a new try.
        return agent->connectingSince.isValid() && agent->connectingSince.elapsed() < kConnectingBoundMs;
    default:
        return false;
    }
}

void forgetChannels(SpiceAgent* agent)
{
    // The guest agent lets go of the main channel while it is still there.
    if (agent->guest)
        agent->guest->detach();
    if (agent->monitors)
        agent->monitors->reset();
    while (!agent->otherSurfaces.isEmpty())
        otherDisplayGone(agent, agent->otherSurfaces.begin().key());
    agent->inputsOpen = false;
    agent->display = nullptr;
    agent->inputs = nullptr;
    agent->main = nullptr;
    agent->playback = nullptr;
    agent->imgdata = nullptr;
    agent->displayIds.clear();
}
