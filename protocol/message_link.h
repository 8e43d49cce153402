#pragma once

#include "connection_protocol.h"

#include <QObject>
#include <QSocketNotifier>
#include <functional>

// One end of the socket pair between the window and its connection process, on the event loop:
// checked messages in, messages out. Never blocks: what the socket cannot take now waits, in
// order, until it can (up to kMaxQueuedBytes; a peer that reads nothing for that long is taken
// for a stuck one). After a violation, a failure or the peer's end, the link is down for good.
class MessageLink : public QObject
{
    Q_OBJECT

public:
    static constexpr size_t kMaxQueuedBytes = size_t(16) * 1024 * 1024;

    // Takes `socket`, which becomes non-blocking; `peer` is the side expected at its other end.
    MessageLink(int socket, wire::Side peer, QObject* parent = nullptr);
    ~MessageLink() override;

    // Called for each checked message; it may take the message's descriptors.
    void setHandler(std::function<void(wire::Message&)> handler) { receive = std::move(handler); }
    // False when the link is down or the message cannot be encoded (the reason is logged).
    bool send(const wire::Message& message);
    bool up() const { return fd >= 0; }
    // Closes the socket: the peer reads its end.
    void shutDown();
    const wire::Reader& reader() const { return in; }

Q_SIGNALS:
    // The peer broke the protocol, in words; the link is down.
    void violated(const QString& reason);
    // The peer closed its end (or the socket failed); the link is down.
    void peerClosed();

private:
    void readable();
    void writable();
    void fail(bool violation, const QString& reason);

    int fd;
    wire::Reader in;
    QSocketNotifier* readNotifier;
    QSocketNotifier* writeNotifier;
    std::function<void(wire::Message&)> receive;
    std::deque<wire::Encoded> queue;
    size_t queued = 0;
};
