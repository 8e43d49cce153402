#include "channel_connector.h"

#include "connection_settings.h"
#include "log.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// A proxy's answer ends at its first empty line; more than this is no answer to CONNECT.
constexpr int kMaxProxyAnswer = 16 * 1024;

QString causeOf(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return QStringLiteral("connection refused");
    case EHOSTUNREACH:
    case ENETUNREACH:
        return QStringLiteral("host unreachable");
    case ETIMEDOUT:
        return QStringLiteral("timed out");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// HOST:PORT as a request line writes it: an IPv6 address in brackets.
QString authority(const QString& host, const QString& port)
{
    const bool v6 = QHostAddress(host).protocol() == QAbstractSocket::IPv6Protocol;
    return (v6 ? '[' + host + ']' : host) + ':' + port;
}

} // namespace

// One connection: the name resolved, each of its addresses tried in turn, then, through a proxy,
// CONNECT and its answer read up to its end and no further.
class ChannelConnector::Attempt : public QObject
{
public:
    Attempt(ChannelConnector* owner, uint32_t request, const ConnectionSettings& settings, bool tls)
        : owner(owner), request(request)
    {
        const QString port = tls ? settings.tlsPort : settings.port;
        if (port.isEmpty()) {
            fail(tls ? QStringLiteral("the server has no TLS port")
                     : QStringLiteral("the server has no plain port"));
            return;
        }
        host = settings.host;
        this->port = port.toUShort();
        if (!settings.proxy.isEmpty()) {
            ProxyAddress proxy;
            QString error;
            if (!parseProxy(settings.proxy, proxy, error)) {
                fail(error);
                return;
            }
            // The TLS to the proxy itself would wrap the socket the connection process gets.
            if (proxy.scheme != "http") {
                fail(QStringLiteral("only an http:// proxy can be used, not %1://").arg(proxy.scheme));
                return;
            }
            target = authority(settings.host, port);
            if (!proxy.user.isEmpty())
                credentials = (proxy.user + ':' + proxy.password).toUtf8().toBase64();
            host = proxy.host;
            this->port = quint16(proxy.port);
        }
        bound.setSingleShot(true);
        connect(&bound, &QTimer::timeout, this, [this] {
            fail(answering ? QStringLiteral("no answer through the proxy")
                           : viaProxy(QStringLiteral("timed out")));
        });
        bound.start(kBoundMs);
        lookup = QHostInfo::lookupHost(host, this, [this](const QHostInfo& info) { resolved(info); });
    }

    ~Attempt() override
    {
        if (lookup >= 0)
            QHostInfo::abortHostLookup(lookup);
        if (fd >= 0)
            close(fd);
    }

private:
    QString viaProxy(const QString& cause) const
    {
        return target.isEmpty() ? cause : QStringLiteral("proxy unreachable: ") + cause;
    }

    void resolved(const QHostInfo& info)
    {
        lookup = -1;
        addresses = info.addresses();
        if (info.error() != QHostInfo::NoError || addresses.isEmpty())
            return fail(viaProxy(info.error() == QHostInfo::HostNotFound || addresses.isEmpty()
                                     ? QStringLiteral("host name not found")
                                     : info.errorString()));
        tryNext();
    }

    // The next address, until one takes the connection; the last one's refusal is the cause.
    void tryNext()
    {
        while (next < addresses.size()) {
            const QHostAddress address = addresses[next++];
            sockaddr_storage to{};
            socklen_t length = 0;
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                auto* in = reinterpret_cast<sockaddr_in*>(&to);
                in->sin_family = AF_INET;
                in->sin_port = htons(port);
                in->sin_addr.s_addr = htonl(address.toIPv4Address());
                length = sizeof *in;
            } else {
                auto* in6 = reinterpret_cast<sockaddr_in6*>(&to);
                in6->sin6_family = AF_INET6;
                in6->sin6_port = htons(port);
                const Q_IPV6ADDR bytes = address.toIPv6Address();
                std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
                in6->sin6_scope_id = address.scopeId().toUInt();
                length = sizeof *in6;
            }
            fd = socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                lastError = errno;
                continue;
            }
            if (::connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0 || errno == EINPROGRESS) {
                notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
                connect(notifier, &QSocketNotifier::activated, this, &Attempt::connectDone);
                return;
            }
            lastError = errno;
            close(std::exchange(fd, -1));
        }
        fail(viaProxy(causeOf(lastError)));
    }

    void connectDone()
    {
        dropNotifier();
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error) {
            lastError = error;
            close(std::exchange(fd, -1));
            return tryNext();
        }
        if (target.isEmpty())
            return succeed();
        // A request this short fits a new socket's buffer whole.
        QByteArray request = "CONNECT " + target.toUtf8() + " HTTP/1.0\r\nHost: " + target.toUtf8() + "\r\n";
        if (!credentials.isEmpty())
            request += "Proxy-Authorization: Basic " + credentials + "\r\n";
        request += "\r\n";
        if (send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size())
            return fail(QStringLiteral("the proxy failed: the request could not be sent"));
        answering = true;
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &Attempt::proxyAnswered);
    }

    // Reads the answer's lines: what is there is looked at first, and only the answer is taken, so
    // that the server's first bytes stay in the socket.
    void proxyAnswered()
    {
        char peeked[kMaxProxyAnswer];
        const ssize_t n = recv(fd, peeked, sizeof peeked, MSG_PEEK);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0)
            return fail(QStringLiteral("the proxy failed: it closed the connection without an answer"));
        const int end = (answer + QByteArray(peeked, int(n))).indexOf("\r\n\r\n");
        const int take = end < 0 ? int(n) : end + 4 - answer.size();
        QByteArray taken(take, Qt::Uninitialized);
        if (recv(fd, taken.data(), size_t(take), 0) != take)
            return fail(QStringLiteral("the proxy failed: its answer could not be read"));
        answer += taken;
        if (end < 0) {
            if (answer.size() >= kMaxProxyAnswer)
                fail(QStringLiteral("the proxy failed: its answer is too long"));
            return;
        }
        const QList<QByteArray> status = answer.left(answer.indexOf("\r\n")).split(' ');
        const int code = status.size() >= 2 && status[0].startsWith("HTTP/") ? status[1].toInt() : 0;
        switch (code) {
        case 200:
            return succeed();
        case 407:
            return fail(credentials.isEmpty()
                            ? QStringLiteral("the proxy asks for a user name and password (HTTP 407)")
                            : QStringLiteral("the proxy refused the user name and password (HTTP 407)"));
        case 403:
            return fail(QStringLiteral("the proxy refused the connection (HTTP 403)"));
        default:
            return fail(QStringLiteral("the proxy failed: ") +
                        QString::fromUtf8(status.mid(1).join(' ')).trimmed().left(200));
        }
    }

    // Never deleted inside its own signal.
    void dropNotifier()
    {
        if (notifier) {
            notifier->setEnabled(false);
            std::exchange(notifier, nullptr)->deleteLater();
        }
    }
    void succeed()
    {
        dropNotifier();
        owner->finish(request, std::exchange(fd, -1), {});
    }
    void fail(const QString& words)
    {
        // Called from the constructor too: the owner hears of it once the caller has returned, unless
        // the attempt was cancelled meanwhile.
        QTimer::singleShot(0, this, [this, words] { owner->finish(request, -1, words); });
        dropNotifier();
        bound.stop();
    }

    ChannelConnector* owner;
    uint32_t request;
    QString host; // where the socket goes: the server, or its proxy
    quint16 port = 0;
    QString target;         // through a proxy: HOST:PORT asked of it
    QByteArray credentials; // the proxy's user:password, base64
    QList<QHostAddress> addresses;
    int next = 0;
    int lookup = -1;
    int fd = -1;
    int lastError = ECONNREFUSED;
    bool answering = false; // the proxy has the request
    QByteArray answer;
    QSocketNotifier* notifier = nullptr;
    QTimer bound;
};

ChannelConnector::ChannelConnector(QObject* parent) : QObject(parent) {}

ChannelConnector::~ChannelConnector() = default;

void ChannelConnector::open(uint32_t request, const ConnectionSettings& settings, bool tls)
{
    attempts[request].reset(new Attempt(this, request, settings, tls));
}

void ChannelConnector::cancelAll()
{
    attempts.clear();
}

void ChannelConnector::finish(uint32_t request, int fd, const QString& words)
{
    auto attempt = attempts.find(request);
    if (attempt == attempts.end()) { // cancelled meanwhile
        if (fd >= 0)
            close(fd);
        return;
    }
    // It may be inside its own handler.
    attempt->second.release()->deleteLater();
    attempts.erase(attempt);
    if (fd >= 0)
        Q_EMIT opened(request, fd);
    else
        Q_EMIT failed(request, words);
}
