#include "tls_link.h"

#include "connection_settings.h"

#include <QSocketNotifier>
#include <QSslConfiguration>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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

} // namespace

TlsLink::TlsLink(int tcp, const ConnectionSettings& settings, QObject* parent) : QObject(parent)
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

TlsLink::~TlsLink()
{
    // The socket is destroyed after the members it would reach, and says "disconnected" as it goes.
    disconnect(&ssl, nullptr, this, nullptr);
    if (plain >= 0)
        close(std::exchange(plain, -1));
}

void TlsLink::fail(const QString& words)
{
    // Taken first: the abort says its own end, which is not the cause.
    auto report = std::exchange(refused, nullptr);
    ssl.abort();
    if (report)
        report(words);
    deleteLater();
}

void TlsLink::encrypted()
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
void TlsLink::down()
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
void TlsLink::up()
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
void TlsLink::closing()
{
    if (plain < 0) // in the handshake
        return fail(untrusted.isEmpty() ? QStringLiteral("no TLS on that port (%1)").arg(ssl.errorString())
                                        : QStringLiteral("certificate not trusted (%1)").arg(untrusted));
    serverGone = true;
    down();
}

void TlsLink::finish()
{
    if (plain < 0)
        return;
    delete fromLibrary;
    delete toLibrary;
    fromLibrary = toLibrary = nullptr;
    close(std::exchange(plain, -1));
    deleteLater();
}
