#include "channel_sockets.h"

#include "agent.h"
#include "connection.h"
#include "connection_settings.h"
#include "log.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QSslSocket>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

// What one direction of a TLS link holds before it stops taking more.
constexpr qint64 kRelayBuffer = 1 << 20;
constexpr int kChunk = 64 * 1024;

// "K=V,K=V" as a certificate subject is written (a comma in a value escaped as "\,").
QList<QPair<QString, QString>> subjectParts(const QString& subject)
{
    QList<QPair<QString, QString>> parts;
    QString part;
    const auto add = [&] {
        const int equals = part.indexOf('=');
        if (equals > 0)
            parts.append({part.left(equals).trimmed(), part.mid(equals + 1).trimmed()});
        part.clear();
    };
    for (int i = 0; i < subject.size(); ++i) {
        if (subject[i] == '\\' && i + 1 < subject.size())
            part += subject[++i];
        else if (subject[i] == ',')
            add();
        else
            part += subject[i];
    }
    add();
    return parts;
}

// The certificate's subject holds exactly the parts written, no more and no fewer.
bool subjectIs(const QSslCertificate& certificate, const QString& subject)
{
    QList<QPair<QString, QString>> want = subjectParts(subject), have;
    for (const QByteArray& attribute : certificate.subjectInfoAttributes())
        for (const QString& value : certificate.subjectInfo(attribute))
            have.append({QString::fromLatin1(attribute), value});
    std::sort(want.begin(), want.end());
    std::sort(have.begin(), have.end());
    return !want.isEmpty() && want == have;
}

// TLS over the window's socket, the library on the plain end of a socket pair. The handshake and
// the certificate's checks come first; then bytes pass both ways until either side closes.
class TlsLink : public QObject
{
public:
    std::function<void(int)> ready;              // the plain end, the receiver's
    std::function<void(const QString&)> refused; // why there is no link, in words

    TlsLink(int tcp, const ConnectionSettings& settings, QObject* parent) : QObject(parent)
    {
        subject = settings.hostSubject;
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setProtocol(QSsl::TlsV1_2OrLater);
        config.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!settings.ca.isEmpty() || !settings.caFile.isEmpty()) {
            QList<QSslCertificate> anchors = QSslCertificate::fromData(settings.ca, QSsl::Pem);
            if (!settings.caFile.isEmpty())
                anchors += QSslCertificate::fromPath(settings.caFile, QSsl::Pem,
                                                     QSslCertificate::PatternSyntax::FixedString);
            config.setCaCertificates(anchors);
        }
        ssl.setSslConfiguration(config);
        // With a subject to check the host name is not looked at, as the library did.
        ssl.setPeerVerifyName(settings.host);
        connect(&ssl, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
                [this](const QList<QSslError>& errors) {
                    QList<QSslError> ignored;
                    for (const QSslError& e : errors) {
                        if (!subject.isEmpty() && e.error() == QSslError::HostNameMismatch)
                            ignored.append(e);
                        else if (untrusted.isEmpty())
                            untrusted = e.errorString();
                    }
                    ssl.ignoreSslErrors(ignored);
                });
        connect(&ssl, &QSslSocket::encrypted, this, &TlsLink::encrypted);
        connect(&ssl, &QAbstractSocket::errorOccurred, this, &TlsLink::closing);
        connect(&ssl, &QAbstractSocket::disconnected, this, &TlsLink::closing);
        if (!ssl.setSocketDescriptor(tcp)) {
            close(tcp);
            QMetaObject::invokeMethod(
                this, [this] { fail(QStringLiteral("TLS failed: %1").arg(ssl.errorString())); },
                Qt::QueuedConnection);
            return;
        }
        ssl.startClientEncryption();
    }

    ~TlsLink() override
    {
        if (plain >= 0)
            close(plain);
    }

private:
    void fail(const QString& words)
    {
        // Taken first: the abort says its own end, which is not the cause.
        auto report = std::exchange(refused, nullptr);
        ssl.abort();
        if (report)
            report(words);
        deleteLater();
    }

    void encrypted()
    {
        if (!subject.isEmpty() && !subjectIs(ssl.peerCertificate(), subject))
            return fail(QStringLiteral("certificate not trusted (its subject is not %1)").arg(subject));
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return fail(QStringLiteral("no socket pair: %1").arg(std::strerror(errno)));
        plain = pair[0];
        fcntl(plain, F_SETFL, fcntl(plain, F_GETFL) | O_NONBLOCK);
        ssl.setReadBufferSize(kRelayBuffer);
        fromLibrary = new QSocketNotifier(plain, QSocketNotifier::Read, this);
        toLibrary = new QSocketNotifier(plain, QSocketNotifier::Write, this);
        toLibrary->setEnabled(false);
        connect(fromLibrary, &QSocketNotifier::activated, this, &TlsLink::up);
        connect(toLibrary, &QSocketNotifier::activated, this, &TlsLink::down);
        connect(&ssl, &QIODevice::readyRead, this, &TlsLink::down);
        connect(&ssl, &QSslSocket::encryptedBytesWritten, this, [this] {
            if (fromLibrary && ssl.bytesToWrite() + ssl.encryptedBytesToWrite() < kRelayBuffer)
                fromLibrary->setEnabled(true);
        });
        refused = nullptr;
        std::exchange(ready, nullptr)(pair[1]);
        down();
    }

    // The server's bytes to the library, as fast as it takes them. Reading from the TLS socket may
    // emit readyRead again from inside: that call leaves the work to the loop under way.
    void down()
    {
        if (plain < 0 || inDown)
            return;
        inDown = true;
        for (;;) {
            if (heldAt == held.size()) {
                held.resize(size_t(kChunk));
                const qint64 got = ssl.bytesAvailable() > 0 ? ssl.read(held.data(), kChunk) : 0;
                held.resize(size_t(qMax<qint64>(got, 0)));
                heldAt = 0;
                if (held.empty())
                    break;
            }
            const ssize_t n =
                send(plain, held.data() + heldAt, held.size() - heldAt, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                toLibrary->setEnabled(true);
                inDown = false;
                return;
            }
            if (n < 0) {
                inDown = false;
                return finish();
            }
            heldAt += size_t(n);
        }
        inDown = false;
        if (toLibrary)
            toLibrary->setEnabled(false);
        if (serverGone)
            finish();
    }

    // The library's bytes to the server; it waits while the server is slow to take them.
    void up()
    {
        char chunk[kChunk];
        const ssize_t n = recv(plain, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) { // the library closed its channel
            ssl.disconnectFromHost();
            return finish();
        }
        ssl.write(chunk, n); // may relay the server's bytes from inside, and end the link
        if (fromLibrary && ssl.bytesToWrite() + ssl.encryptedBytesToWrite() >= kRelayBuffer)
            fromLibrary->setEnabled(false);
    }

    // The server closed, or the handshake failed: what the server sent still reaches the library,
    // then its end closes.
    void closing()
    {
        if (plain < 0) // in the handshake
            return fail(untrusted.isEmpty()
                            ? QStringLiteral("no TLS on that port (%1)").arg(ssl.errorString())
                            : QStringLiteral("certificate not trusted (%1)").arg(untrusted));
        serverGone = true;
        down();
    }

    void finish()
    {
        if (plain < 0)
            return;
        delete fromLibrary;
        delete toLibrary;
        fromLibrary = toLibrary = nullptr;
        close(std::exchange(plain, -1));
        deleteLater();
    }

    QSslSocket ssl;
    QString subject;
    QString untrusted; // the first certificate error that was not let pass
    int plain = -1;    // this side of the pair, once linked
    QSocketNotifier* fromLibrary = nullptr;
    QSocketNotifier* toLibrary = nullptr;
    std::vector<char> held; // read from the server; the library has taken it up to heldAt
    size_t heldAt = 0;
    bool inDown = false;
    bool serverGone = false;
};

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
