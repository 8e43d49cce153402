#include "message_link.h"

#include "fdpass.h"
#include "log.h"

#include <QPointer>
#include <fcntl.h>
#include <unistd.h>

namespace
{
// Messages read per wake-up, so that a flood from the peer cannot starve the event loop.
constexpr int kReadsPerWakeUp = 64;
} // namespace

MessageLink::MessageLink(int socket, wire::Side peer, QObject* parent)
    : QObject(parent), fd(socket), in(peer),
      readNotifier(new QSocketNotifier(socket, QSocketNotifier::Read, this)),
      writeNotifier(new QSocketNotifier(socket, QSocketNotifier::Write, this))
{
    setnoblocking(fd);
    writeNotifier->setEnabled(false);
    connect(readNotifier, &QSocketNotifier::activated, this, &MessageLink::readable);
    connect(writeNotifier, &QSocketNotifier::activated, this, &MessageLink::writable);
}

MessageLink::~MessageLink()
{
    shutDown();
}

void MessageLink::shutDown()
{
    readNotifier->setEnabled(false);
    writeNotifier->setEnabled(false);
    queue.clear();
    queued = 0;
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void MessageLink::fail(bool violation, const QString& reason)
{
    shutDown();
    if (violation)
        Q_EMIT violated(reason);
    else
        Q_EMIT peerClosed();
}

bool MessageLink::send(const wire::Message& message)
{
    if (!up())
        return false;
    if (!in.sending(message)) {
        Logger(ERROR) << "A socket request or answer was not sent: its number is open already, or is not";
        return false;
    }
    wire::Encoded encoded = wire::encode(message);
    if (encoded.datagram.isEmpty()) {
        Logger(ERROR) << "A message to the other process was not sent: " << encoded.error;
        return false;
    }
    if (queue.empty()) {
        switch (wire::sendEncoded(fd, encoded)) {
        case wire::SendResult::Sent:
            return true;
        case wire::SendResult::Failed:
            fail(false, QString());
            return false;
        case wire::SendResult::WouldBlock:
            break;
        }
    }
    // The sender may close its descriptors once this returns: the queue keeps copies.
    std::vector<wire::UniqueFd> copies;
    for (int& descriptor : encoded.fds) {
        copies.emplace_back(fcntl(descriptor, F_DUPFD_CLOEXEC, 0));
        descriptor = copies.back().get();
    }
    encoded.owned = std::move(copies);
    queued += size_t(encoded.datagram.size());
    queue.push_back(std::move(encoded));
    if (queued > kMaxQueuedBytes) {
        fail(true, QStringLiteral("the other process reads nothing"));
        return false;
    }
    writeNotifier->setEnabled(true);
    return true;
}

void MessageLink::writable()
{
    while (!queue.empty()) {
        switch (wire::sendEncoded(fd, queue.front())) {
        case wire::SendResult::Sent:
            queued -= size_t(queue.front().datagram.size());
            queue.pop_front();
            continue;
        case wire::SendResult::Failed:
            return fail(false, QString());
        case wire::SendResult::WouldBlock:
            return;
        }
    }
    writeNotifier->setEnabled(false);
}

void MessageLink::readable()
{
    // The handler may delete this link (the window ends the process it talks to).
    QPointer<MessageLink> alive(this);
    for (int i = 0; i < kReadsPerWakeUp && alive && up(); ++i) {
        wire::ReadOutcome outcome = in.read(fd);
        switch (outcome.kind) {
        case wire::ReadOutcome::Received:
            if (receive)
                receive(outcome.message);
            continue;
        case wire::ReadOutcome::WouldBlock:
            return;
        case wire::ReadOutcome::PeerClosed:
        case wire::ReadOutcome::Failed:
            return fail(false, outcome.reason);
        case wire::ReadOutcome::Violation:
            return fail(true, outcome.reason);
        }
    }
}
