#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <spice-client.h>

struct SpiceAgent;

// The sockets of the session's channels. The connection process opens no connection: each channel
// that wants one (the library's "open-fd", the main channel's too, as the session is opened with
// spice_session_open_fd) is asked for by number and linked once the window's socket comes.
//
// What spice-client-glib 0.42 does with a handed socket: a session opened by spice_session_open_fd
// turns "client-sockets" on, and every channel then asks through "open-fd" (spice_session_connect
// turns it off again: the library would connect by itself). A channel waits for its answer as long
// as it takes. The library never runs TLS on a socket it is handed (spice_channel_open_fd links
// plain, whatever with_tls said), and asks with with_tls only after a plain link was answered "needs
// TLS"; nor does it look at secure-channels or at a missing plain port. So the TLS port is chosen
// here, and TLS, with the checks of the server's certificate (the CA, then its subject or the host
// name), runs here on the window's socket: the library gets the plain end of a socket pair.
class ChannelSockets : public QObject
{
    Q_OBJECT

public:
    explicit ChannelSockets(SpiceAgent* agent, QObject* parent = nullptr);
    ~ChannelSockets() override;

    // Connected to the session's "channel-new" before any other handler, so that a channel's first
    // request is heard.
    static void channelNew(SpiceSession* session, SpiceChannel* channel, void* self);

    // The window's answers. A socket for a channel that has gone, or has asked again since, is closed.
    void given(uint32_t request, int fd);
    void failed(uint32_t request, const QString& words);
    // The session is closed: what its channels asked for is answered to nobody.
    void forget();

Q_SIGNALS:
    void wanted(uint32_t request, bool tls);

private:
    struct Pending;
    static void openFd(SpiceChannel* channel, int withTls, void* self);
    void ask(SpiceChannel* channel, bool withTls);
    // The channel, if it still waits for `request`'s answer; a new reference.
    SpiceChannel* waiting(uint32_t request, Pending** found = nullptr);
    void link(uint32_t request, int fd);
    void fail(SpiceChannel* channel, SpiceChannelEvent event, const QString& words);

    SpiceAgent* agent;
    uint32_t lastRequest = 0;
    std::map<uint32_t, std::unique_ptr<Pending>> pending;
};
