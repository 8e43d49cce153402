#include "channel_sockets.h"

#include "agent.h"
#include "connection.h"
#include "connection_settings.h"
#include "log.h"
#include "tls_link.h"

#include <QPointer>
#include <unistd.h>

namespace
{

const char* channelName(SpiceChannel* channel)
{
    int type = 0;
    g_object_get(channel, "channel-type", &type, nullptr);
    return spice_channel_type_to_string(type);
}

} // namespace

struct ChannelSockets::Pending {
    GWeakRef channel;
    bool tls = false;
    QPointer<TlsLink> link; // the handshake under way
    explicit Pending(SpiceChannel* c, bool tls) : tls(tls) { g_weak_ref_init(&channel, c); }
    ~Pending()
    {
        g_weak_ref_clear(&channel);
        delete link;
    }
};

ChannelSockets::ChannelSockets(SpiceAgent* agent, QObject* parent) : QObject(parent), agent(agent) {}

ChannelSockets::~ChannelSockets() = default;

void ChannelSockets::channelNew(SpiceSession*, SpiceChannel* channel, void* self)
{
    auto* sockets = static_cast<ChannelSockets*>(self);
    sockets->agent->channelSignals.connect(channel, "open-fd", G_CALLBACK(openFd), sockets);
}

void ChannelSockets::openFd(SpiceChannel* channel, int withTls, void* self)
{
    static_cast<ChannelSockets*>(self)->ask(channel, withTls != 0);
}

void ChannelSockets::ask(SpiceChannel* channel, bool withTls)
{
    // The library links plain unless the server said otherwise; the settings may say more.
    const ConnectionSettings& settings = currentConnection();
    const QString name = QString::fromUtf8(channelName(channel));
    const bool tls = withTls || settings.port.isEmpty() ||
                     (!settings.tlsPort.isEmpty() &&
                      (settings.secureChannels.contains(name) || settings.secureChannels.contains("all")));
    // A channel asks twice as it is linked (spice_channel_connect, then the session's open_fd): the
    // request still open serves both. One that asks for something else has given up on it.
    for (auto p = pending.begin(); p != pending.end();) {
        SpiceChannel* earlier = SPICE_CHANNEL(g_weak_ref_get(&p->second->channel));
        if (earlier)
            g_object_unref(earlier);
        if (earlier == channel && p->second->tls == tls && !p->second->link)
            return;
        p = earlier == channel ? pending.erase(p) : std::next(p);
    }
    const uint32_t request = ++lastRequest;
    pending[request].reset(new Pending(channel, tls));
    Logger(DEBUG) << "The " << name << " channel asks for a socket (" << request << (tls ? ", TLS)" : ")");
    Q_EMIT wanted(request, tls);
}

SpiceChannel* ChannelSockets::waiting(uint32_t request, Pending** found)
{
    auto p = pending.find(request);
    if (p == pending.end())
        return nullptr;
    if (found)
        *found = p->second.get();
    return SPICE_CHANNEL(g_weak_ref_get(&p->second->channel));
}

void ChannelSockets::given(uint32_t request, int fd)
{
    Pending* p = nullptr;
    SpiceChannel* channel = waiting(request, &p);
    if (!channel) {
        close(fd);
        pending.erase(request);
        return;
    }
    g_object_unref(channel);
    if (!p->tls)
        return link(request, fd);
    auto* tls = new TlsLink(fd, currentConnection(), this);
    p->link = tls;
    tls->ready = [this, request](int plain) { link(request, plain); };
    tls->refused = [this, request](const QString& words) {
        Pending* q = nullptr;
        SpiceChannel* c = waiting(request, &q);
        if (q)
            q->link = nullptr; // it ends by itself
        pending.erase(request);
        if (c) {
            fail(c, SPICE_CHANNEL_ERROR_TLS, words);
            g_object_unref(c);
        }
    };
}

void ChannelSockets::link(uint32_t request, int fd)
{
    Pending* p = nullptr;
    SpiceChannel* channel = waiting(request, &p);
    if (p)
        p->link = nullptr; // it relays for the channel from now on
    pending.erase(request);
    if (!channel) {
        close(fd);
        return;
    }
    spice_channel_open_fd(channel, fd);
    g_object_unref(channel);
}

void ChannelSockets::failed(uint32_t request, const QString& words)
{
    SpiceChannel* channel = waiting(request);
    pending.erase(request);
    if (!channel)
        return;
    fail(channel, SPICE_CHANNEL_ERROR_CONNECT, words);
    g_object_unref(channel);
}

void ChannelSockets::fail(SpiceChannel* channel, SpiceChannelEvent event, const QString& words)
{
    const bool main = reinterpret_cast<SpiceMainChannel*>(channel) == agent->main;
    if (main && agent->phase != SessionPhase::Connecting) {
        // Said already: the session was given up on while the answer was on its way.
        Logger(INFO) << "The main channel's connection failed late: " << words;
        spice_channel_disconnect(channel, SPICE_CHANNEL_NONE);
        return;
    }
    if (!main)
        Logger(WARN) << "The " << channelName(channel) << " channel cannot connect: " << words;
    // The channel's handlers say it as the library's own failures.
    setConnectFailure(channel, words);
    spice_channel_disconnect(channel, event);
}

void ChannelSockets::forget()
{
    pending.clear();
}
