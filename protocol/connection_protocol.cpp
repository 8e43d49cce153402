#include "connection_protocol.h"

#include "connection_settings.h"

#include "fdpass.h"
#include "memshare.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

namespace wire
{

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    const int held = fd;
    fd = -1;
    return held;
}

void UniqueFd::reset(int replacement)
{
    if (fd >= 0)
        close(fd);
    fd = replacement;
}

bool validText(const char* text, size_t length)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length;) {
        const unsigned char c = s[i];
        if (c == 0)
            return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t n;
        uint32_t point;
        if (c >= 0xC2 && c <= 0xDF)
            n = 1, point = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF)
            n = 2, point = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4)
            n = 3, point = c & 0x07;
        else
            return false;
        if (length - i <= n)
            return false;
        for (size_t k = 1; k <= n; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            point = point << 6 | (s[i + k] & 0x3F);
        }
        const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (point < least[n] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

namespace
{

// Bytes per pixel of the surface formats a block may hold; 0 for codes shown black.
int bytesPerPixel(int32_t format)
{
    switch (format) {
    case 32: // 32_xRGB
    case 96: // 32_ARGB
        return 4;
    case 16: // 16_555
    case 80: // 16_565
        return 2;
    default:
        return 0;
    }
}

struct Header {
    uint32_t magic;
    uint16_t version;
    uint16_t type;
    uint32_t length;
};
static_assert(sizeof(Header) == kHeaderSize, "the header has no padding");

// Lays a message's fields out; a field over its bound makes the message fail, except texts, which
// are cut (titles and words from the server may be of any length).
class Writer
{
public:
    QByteArray out;
    std::vector<int> fds;
    std::vector<UniqueFd> owned;
    const char* error = nullptr;

    template <class T> void operator()(const T& value)
    {
        static_assert(std::is_arithmetic_v<T>);
        if constexpr (std::is_same_v<T, bool>)
            put(uint8_t(value));
        else
            put(value);
    }
    void enumeration(uint8_t value, uint8_t) { put(value); }
    void flags(uint32_t value, uint32_t) { put(value); }
    void text(const QString& value, int bound)
    {
        QByteArray utf8 = value.toUtf8();
        utf8.replace('\0', QByteArray());
        if (utf8.size() > bound) {
            int end = bound;
            while (end > 0 && (uint8_t(utf8[end]) & 0xC0) == 0x80)
                --end;
            utf8.truncate(end);
        }
        put(uint32_t(utf8.size()));
        out.append(utf8);
    }
    void bytes(const QByteArray& value, int bound)
    {
        if (value.size() > bound)
            return fail("a field is longer than its bound");
        put(uint32_t(value.size()));
        out.append(value);
    }
    template <class T> void list(const QVector<T>& items, int bound)
    {
        if (items.size() > bound)
            return fail("a list is longer than its bound");
        put(uint32_t(items.size()));
        for (const T& item : items) {
            if constexpr (std::is_arithmetic_v<T>)
                (*this)(item);
            else
                this->item(item);
        }
    }
    void textList(const QVector<QString>& items, int bound, int textBound)
    {
        if (items.size() > bound)
            return fail("a list is longer than its bound");
        put(uint32_t(items.size()));
        for (const QString& item : items)
            text(item, textBound);
    }
    template <class T> void item(const T& value) { const_cast<T&>(value).fields(*this); }
    void descriptor(const UniqueFd& fd)
    {
        if (!fd)
            return fail("a descriptor is missing");
        fds.push_back(fd.get());
    }
    void bulk(const QByteArray& data, size_t bound)
    {
        if (size_t(data.size()) > bound)
            return fail("the data is larger than its bound");
        UniqueFd file(memfd_create("clipboard", MFD_CLOEXEC));
        if (!file)
            return fail("no memory file for the data");
        for (qsizetype done = 0; done < data.size();) {
            const ssize_t n = write(file.get(), data.constData() + done, size_t(data.size() - done));
            if (n <= 0 && errno != EINTR)
                return fail("the data could not be written");
            done += n > 0 ? n : 0;
        }
        put(uint64_t(data.size()));
        fds.push_back(file.get());
        owned.push_back(std::move(file));
    }

private:
    template <class T> void put(T value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); }
    void fail(const char* why)
    {
        if (!error)
            error = why;
    }
};

// Reads a message's fields back, checking each against its bound; the first fault stops it.
class Decoder
{
public:
    Decoder(const unsigned char* data, size_t size, std::vector<UniqueFd>& fds)
        : data(data), size(size), fds(fds)
    {
    }
    const char* error = nullptr;

    template <class T> void operator()(T& value)
    {
        if constexpr (std::is_same_v<T, bool>) {
            uint8_t b = 0;
            take(b);
            if (b > 1)
                fail("a yes-or-no field holds another value");
            value = b == 1;
        } else {
            take(value);
        }
    }
    void enumeration(uint8_t& value, uint8_t count)
    {
        take(value);
        if (value >= count)
            fail("an enumeration holds an unknown value");
    }
    void flags(uint32_t& value, uint32_t known)
    {
        take(value);
        if (value & ~known)
            fail("unknown flags are set");
    }
    void text(QString& value, int bound)
    {
        const QByteArray utf8 = chunk(bound);
        if (!error && !validText(utf8.constData(), size_t(utf8.size())))
            fail("a text is not valid UTF-8");
        value = QString::fromUtf8(utf8);
    }
    void bytes(QByteArray& value, int bound) { value = chunk(bound); }
    template <class T> void list(QVector<T>& items, int bound)
    {
        const uint32_t count = listSize(bound);
        items.resize(int(count));
        for (T& entry : items) {
            if constexpr (std::is_arithmetic_v<T>)
                (*this)(entry);
            else
                item(entry);
        }
    }
    void textList(QVector<QString>& items, int bound, int textBound)
    {
        items.resize(int(listSize(bound)));
        for (QString& entry : items)
            text(entry, textBound);
    }
    template <class T> void item(T& value) { value.fields(*this); }
    void descriptor(UniqueFd& fd)
    {
        if (nextFd >= fds.size())
            return fail("a descriptor is missing");
        fd = std::move(fds[nextFd++]);
    }
    void bulk(QByteArray& data, size_t bound)
    {
        uint64_t length = 0;
        take(length);
        UniqueFd file;
        descriptor(file);
        if (error)
            return;
        struct stat info {
        };
        if (length > bound)
            return fail("the data is larger than its bound");
        if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || uint64_t(info.st_size) != length)
            return fail("the data's file does not hold the announced count");
        data.resize(qsizetype(length));
        for (uint64_t done = 0; done < length;) {
            const ssize_t n = pread(file.get(), data.data() + done, size_t(length - done), off_t(done));
            if (n <= 0 && errno != EINTR)
                return fail("the data's file is shorter than announced");
            done += uint64_t(n > 0 ? n : 0);
        }
    }
    bool finished() const { return !error && used == size && nextFd == fds.size(); }

    void fail(const char* why)
    {
        if (!error)
            error = why;
    }

private:
    template <class T> void take(T& value)
    {
        if (error || size - used < sizeof value)
            return fail("the message ends inside a field");
        std::memcpy(&value, data + used, sizeof value);
        used += sizeof value;
    }
    uint32_t listSize(int bound)
    {
        uint32_t count = 0;
        take(count);
        if (count > uint32_t(bound))
            fail("a list is longer than its bound");
        return error ? 0 : count;
    }
    QByteArray chunk(int bound)
    {
        uint32_t length = 0;
        take(length);
        if (!error && length > uint32_t(bound))
            fail("a field is longer than its bound");
        else if (!error && size - used < length)
            fail("the message ends inside a field");
        if (error)
            return {};
        QByteArray value(reinterpret_cast<const char*>(data + used), int(length));
        used += length;
        return value;
    }

    const unsigned char* data;
    size_t size;
    size_t used = 0;
    std::vector<UniqueFd>& fds;
    size_t nextFd = 0;
};

template <size_t I = 0> bool decodeAs(uint16_t type, Decoder& decoder, Message& out, Side& from)
{
    if constexpr (I < std::variant_size_v<Message>) {
        using T = std::variant_alternative_t<I, Message>;
        if (uint16_t(T::type) != type)
            return decodeAs<I + 1>(type, decoder, out, from);
        T message;
        message.fields(decoder);
        from = T::from;
        out = std::move(message);
        return true;
    } else {
        return false;
    }
}

// Why `fd` is not a TCP socket connected to a peer; empty when it is one.
QString notConnectedStream(int fd)
{
    int type = 0, domain = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
        return QStringLiteral("a socket answer whose descriptor is no socket");
    length = sizeof domain;
    if (type != SOCK_STREAM || getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 ||
        (domain != AF_INET && domain != AF_INET6))
        return QStringLiteral("a socket answer whose socket is not a TCP one");
    sockaddr_storage peer{};
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return QStringLiteral("a socket answer whose socket is not connected");
    return {};
}

bool inside(const Rect& r, int32_t width, int32_t height)
{
    return r.x >= 0 && r.y >= 0 && r.width >= 0 && r.height >= 0 && int64_t(r.x) + r.width <= width &&
           int64_t(r.y) + r.height <= height;
}

} // namespace

Encoded encode(const Message& message)
{
    Encoded encoded;
    Writer writer;
    Header header{kMagic, kVersion, 0, 0};
    writer.out.append(reinterpret_cast<const char*>(&header), sizeof header);
    std::visit(
        [&](const auto& m) {
            header.type = uint16_t(m.type);
            writer.item(m);
        },
        message);
    if (!writer.error && size_t(writer.out.size()) > kMaxMessage)
        writer.error = "the message is longer than a datagram may be";
    if (writer.error) {
        encoded.error = writer.error;
        return encoded;
    }
    header.length = uint32_t(size_t(writer.out.size()) - kHeaderSize);
    std::memcpy(writer.out.data(), &header, sizeof header);
    encoded.datagram = std::move(writer.out);
    encoded.fds = std::move(writer.fds);
    encoded.owned = std::move(writer.owned);
    return encoded;
}

SendResult sendEncoded(int socket, const Encoded& message)
{
    if (message.datagram.isEmpty())
        return SendResult::Failed;
    iovec segment{const_cast<char*>(message.datagram.constData()), size_t(message.datagram.size())};
    msghdr header{};
    header.msg_iov = &segment;
    header.msg_iovlen = 1;
    std::vector<unsigned char> control;
    if (!message.fds.empty()) {
        // operator new aligns the vector's storage well enough for cmsghdr.
        control.assign(CMSG_SPACE(sizeof(int) * message.fds.size()), 0);
        header.msg_control = control.data();
        header.msg_controllen = control.size();
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int) * message.fds.size());
        std::memcpy(CMSG_DATA(rights), message.fds.data(), sizeof(int) * message.fds.size());
    }
    for (;;) {
        if (sendmsg(socket, &header, MSG_NOSIGNAL) >= 0)
            return SendResult::Sent;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? SendResult::WouldBlock : SendResult::Failed;
    }
}

ReadOutcome Reader::read(int socket)
{
    ReadOutcome outcome;
    const auto refuse = [&](const QString& why) {
        outcome.kind = ReadOutcome::Violation;
        outcome.reason = why;
        outcome.message = Message{}; // what it carried is closed here
        return std::move(outcome);
    };

    iovec segment{buffer.data(), buffer.size()};
    // Room for more descriptors than any message takes, to see a message that brings too many.
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int) * 8)];
    msghdr header{};
    header.msg_iov = &segment;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        outcome.kind =
            errno == EAGAIN || errno == EWOULDBLOCK ? ReadOutcome::WouldBlock : ReadOutcome::Failed;
        outcome.reason = QString::fromLocal8Bit(std::strerror(errno));
        return outcome;
    }

    // Every descriptor the kernel installed is ours now: owned here until a message takes it.
    std::vector<UniqueFd> fds;
    bool foreign = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
            foreign = true;
            continue;
        }
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            fds.emplace_back(fd);
        }
    }

    if (n == 0 && fds.empty() && !(header.msg_flags & MSG_CTRUNC)) {
        outcome.kind = ReadOutcome::PeerClosed;
        return outcome;
    }
    if ((header.msg_flags & MSG_TRUNC) || size_t(n) > kMaxMessage) // the buffer holds one byte more
        return refuse(QStringLiteral("a message longer than %1 bytes").arg(kMaxMessage));
    if (header.msg_flags & MSG_CTRUNC)
        return refuse(QStringLiteral("a message with too many descriptors"));
    if (foreign)
        return refuse(QStringLiteral("a message with foreign control data"));
    if (size_t(n) < kHeaderSize)
        return refuse(QStringLiteral("a message shorter than its header"));
    Header head;
    std::memcpy(&head, buffer.data(), sizeof head);
    if (head.magic != kMagic)
        return refuse(QStringLiteral("a message without the protocol's mark"));
    if (head.version != kVersion)
        return refuse(QStringLiteral("a message of protocol version %1").arg(head.version));
    if (head.length != size_t(n) - kHeaderSize)
        return refuse(QStringLiteral("a message of type %1 whose length says %2 bytes, not %3")
                          .arg(head.type)
                          .arg(head.length)
                          .arg(size_t(n) - kHeaderSize));

    Decoder decoder(buffer.data() + kHeaderSize, size_t(n) - kHeaderSize, fds);
    Side from = Side::Either;
    if (!decodeAs(head.type, decoder, outcome.message, from))
        return refuse(QStringLiteral("a message of unknown type %1").arg(head.type));
    if (from != Side::Either && from != peer)
        return refuse(QStringLiteral("a message of type %1 that only the other side sends").arg(head.type));
    if (!decoder.finished())
        return refuse(QStringLiteral("a message of type %1: %2")
                          .arg(head.type)
                          .arg(decoder.error ? decoder.error : "more bytes or descriptors than it takes"));
    const QString fault = check(outcome.message);
    if (!fault.isEmpty())
        return refuse(QStringLiteral("a message of type %1: %2").arg(head.type).arg(fault));
    outcome.kind = ReadOutcome::Received;
    return outcome;
}

bool Reader::sending(const Message& message)
{
    if (const auto* request = std::get_if<SocketRequest>(&message)) {
        if (openRequests.size() >= size_t(kMaxSocketRequests) || openRequests.count(request->request))
            return false;
        openRequests.insert(request->request);
    } else if (const auto* given = std::get_if<SocketGiven>(&message)) {
        return openRequests.erase(given->request) == 1;
    } else if (const auto* failed = std::get_if<SocketFailed>(&message)) {
        return openRequests.erase(failed->request) == 1;
    }
    return true;
}

bool Reader::surfaceSize(uint32_t surface, int32_t* width, int32_t* height) const
{
    if (surface >= uint32_t(kMaxSurfaces) || !surfaces[surface].present)
        return false;
    *width = surfaces[surface].width;
    *height = surfaces[surface].height;
    return true;
}

// The checks that need more than one field, or what the reader knows of earlier messages.
QString Reader::check(Message& message)
{
    int32_t width = 0, height = 0;
    if (auto* s = std::get_if<SurfaceCreated>(&message)) {
        if (s->surface >= uint32_t(kMaxSurfaces))
            return QStringLiteral("surface %1 is beyond the %2 a window shows")
                .arg(s->surface)
                .arg(kMaxSurfaces);
        if (s->width <= 0 || s->height <= 0 || s->width > kMaxSurfaceSide || s->height > kMaxSurfaceSide)
            return QStringLiteral("a surface of %1x%2 pixels").arg(s->width).arg(s->height);
        if (s->stride <= 0 || int64_t(s->stride) < int64_t(s->width) * bytesPerPixel(s->pixelFormat))
            return QStringLiteral("a stride of %1 bytes for %2 pixels of format %3")
                .arg(s->stride)
                .arg(s->width)
                .arg(s->pixelFormat);
        const uint64_t needed = uint64_t(s->height) * uint64_t(s->stride);
        if (needed > kMaxSurfaceBytes)
            return QStringLiteral("a surface of %1 bytes").arg(needed);
        struct stat info {
        };
        if (fstat(s->block.get(), &info) != 0 || !S_ISREG(info.st_mode))
            return QStringLiteral("a surface block that is not a memory file");
        if (uint64_t(info.st_size) < needed || uint64_t(info.st_size) > kMaxSurfaceBytes)
            return QStringLiteral("a surface block of %1 bytes for %2").arg(info.st_size).arg(needed);
        const int seals = fcntl(s->block.get(), F_GET_SEALS);
        if (seals == -1 || !(seals & F_SEAL_SHRINK))
            return QStringLiteral("a surface block that may still shrink");
        surfaces[s->surface] = {true, s->width, s->height};
    } else if (auto* c = std::get_if<SurfaceChanged>(&message)) {
        if (!surfaceSize(c->surface, &width, &height))
            return QStringLiteral("a change of unknown surface %1").arg(c->surface);
        for (const Rect& r : qAsConst(c->rects))
            if (!inside(r, width, height))
                return QStringLiteral("a rectangle %1,%2 %3x%4 outside surface %5 of %6x%7")
                    .arg(r.x)
                    .arg(r.y)
                    .arg(r.width)
                    .arg(r.height)
                    .arg(c->surface)
                    .arg(width)
                    .arg(height);
    } else if (auto* g = std::get_if<SurfaceGone>(&message)) {
        if (!surfaceSize(g->surface, &width, &height))
            return QStringLiteral("the end of unknown surface %1").arg(g->surface);
        surfaces[g->surface] = {};
    } else if (auto* m = std::get_if<MonitorsChanged>(&message)) {
        for (const Monitor& monitor : qAsConst(m->monitors)) {
            if (!surfaceSize(monitor.surface, &width, &height))
                return QStringLiteral("a monitor on unknown surface %1").arg(monitor.surface);
            if (monitor.area.width <= 0 || monitor.area.height <= 0 || !inside(monitor.area, width, height))
                return QStringLiteral("monitor %1 outside its surface").arg(monitor.id);
            if (monitor.screen < -1 || monitor.screen >= kMaxMonitors)
                return QStringLiteral("monitor %1 on client screen %2").arg(monitor.id).arg(monitor.screen);
        }
    } else if (auto* p = std::get_if<TransferProgress>(&message)) {
        if (p->done < 0 || p->done > p->total)
            return QStringLiteral("%1 of %2 bytes copied").arg(p->done).arg(p->total);
    } else if (auto* k = std::get_if<Scancodes>(&message)) {
        for (uint32_t code : qAsConst(k->codes))
            if (code >= 0x200 || (code & 0x80))
                return QStringLiteral("scan code %1").arg(code, 0, 16);
    } else if (auto* config = std::get_if<MonitorsConfig>(&message)) {
        for (const WindowState& w : qAsConst(config->windows))
            if (w.width < 0 || w.height < 0 || w.width > kMaxSurfaceSide || w.height > kMaxSurfaceSide)
                return QStringLiteral("a window of %1x%2").arg(w.width).arg(w.height);
    } else if (auto* usb = std::get_if<UsbRedirect>(&message)) {
        struct stat info {
        };
        if (usb->id >= 0x80000000u)
            return QStringLiteral("USB device number %1").arg(usb->id);
        if (fstat(usb->device.get(), &info) != 0 || !S_ISCHR(info.st_mode))
            return QStringLiteral("a USB device that is not a device node");
    } else if (auto* cd = std::get_if<CdShare>(&message)) {
        if (cd->id >= 0x80000000u || cd->path.isEmpty())
            return QStringLiteral("CD image %1 \"%2\"").arg(cd->id).arg(cd->path);
    } else if (auto* d = std::get_if<DevicesChanged>(&message)) {
        if (d->freeUsbChannels < 0 || d->freeUsbChannels > 64)
            return QStringLiteral("%1 USB channels").arg(d->freeUsbChannels);
    } else if (auto* given = std::get_if<SocketGiven>(&message)) {
        if (!openRequests.erase(given->request))
            return QStringLiteral("an answer to socket request %1, which is not open").arg(given->request);
        return notConnectedStream(given->socket.get());
    } else if (auto* failed = std::get_if<SocketFailed>(&message)) {
        if (!openRequests.erase(failed->request))
            return QStringLiteral("an answer to socket request %1, which is not open").arg(failed->request);
    } else if (auto* request = std::get_if<SocketRequest>(&message)) {
        if (openRequests.count(request->request))
            return QStringLiteral("socket request %1 while it is open").arg(request->request);
        if (openRequests.size() >= size_t(kMaxSocketRequests))
            return QStringLiteral("more than %1 socket requests open").arg(kMaxSocketRequests);
        openRequests.insert(request->request);
    } else if (auto* at = std::get_if<PointerAt>(&message)) {
        if (at->display < -1 || at->display >= kMaxSurfaces)
            return QStringLiteral("display %1").arg(at->display);
    }
    return {};
}

QVector<Setting> settingsToWire(const ConnectionSettings& s)
{
    const auto flag = [](bool on) { return on ? QByteArray("1") : QByteArray(); };
    QVector<Setting> out = {{"host", s.host.toUtf8()},
                            {"port", s.port.toUtf8()},
                            {"tls-port", s.tlsPort.toUtf8()},
                            {"password", QByteArray::fromStdString(s.password)},
                            {"password-given", flag(s.hasPasswordSource)},
                            {"ca", s.ca},
                            {"ca-file", s.caFile.toUtf8()},
                            {"host-subject", s.hostSubject.toUtf8()},
                            {"proxy", s.proxy.toUtf8()},
                            {"proxy-from-environment", flag(s.proxyFromEnvironment)},
                            {"secure-channels", s.secureChannels.join(';').toUtf8()},
                            {"title", s.title.toUtf8()},
                            {"share-dir", s.sharedDir.toUtf8()},
                            {"share-dir-ro", flag(s.sharedDirReadOnly)},
                            {"no-microphone", flag(!s.microphone)},
                            {"no-usb", flag(!s.usb)},
                            {"smartcard", flag(s.smartcard)},
                            {"smartcard-db", s.smartcardDb.toUtf8()},
                            {"smartcard-certs", s.smartcardCerts.join(',').toUtf8()}};
    for (const QString& cd : s.sharedCds)
        out.append({"share-cd", cd.toUtf8()});
    return out;
}

ConnectionSettings settingsFromWire(const QVector<Setting>& settings)
{
    ConnectionSettings s;
    for (const Setting& setting : settings) {
        const QString text = QString::fromUtf8(setting.value);
        if (setting.name == "host")
            s.host = text;
        else if (setting.name == "port")
            s.port = text;
        else if (setting.name == "tls-port")
            s.tlsPort = text;
        else if (setting.name == "password")
            s.password = setting.value.toStdString();
        else if (setting.name == "password-given")
            s.hasPasswordSource = !setting.value.isEmpty();
        else if (setting.name == "ca")
            s.ca = setting.value;
        else if (setting.name == "ca-file")
            s.caFile = text;
        else if (setting.name == "host-subject")
            s.hostSubject = text;
        else if (setting.name == "proxy")
            s.proxy = text;
        else if (setting.name == "proxy-from-environment")
            s.proxyFromEnvironment = !setting.value.isEmpty();
        else if (setting.name == "secure-channels")
            s.secureChannels = text.split(';', Qt::SkipEmptyParts);
        else if (setting.name == "title")
            s.title = text;
        else if (setting.name == "share-dir")
            s.sharedDir = text;
        else if (setting.name == "share-dir-ro")
            s.sharedDirReadOnly = !setting.value.isEmpty();
        else if (setting.name == "no-microphone")
            s.microphone = setting.value.isEmpty();
        else if (setting.name == "no-usb")
            s.usb = setting.value.isEmpty();
        else if (setting.name == "smartcard")
            s.smartcard = !setting.value.isEmpty();
        else if (setting.name == "smartcard-db")
            s.smartcardDb = text;
        else if (setting.name == "smartcard-certs")
            s.smartcardCerts = text.split(',', Qt::SkipEmptyParts);
        else if (setting.name == "share-cd")
            s.sharedCds << text;
    }
    return s;
}

bool sealSurfaceBlock(int fd)
{
    return fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0;
}

SurfaceView::SurfaceView(SurfaceCreated& surface)
{
    const size_t needed = size_t(surface.height) * size_t(surface.stride);
    data = static_cast<const unsigned char*>(get_memshare(needed, surface.block.get()));
    length = data ? needed : 0;
    surface.block.reset(); // the mapping keeps the block
}

SurfaceView::SurfaceView(SurfaceView&& other) noexcept : data(other.data), length(other.length)
{
    other.data = nullptr;
    other.length = 0;
}

SurfaceView& SurfaceView::operator=(SurfaceView&& other) noexcept
{
    if (this != &other) {
        this->~SurfaceView();
        data = std::exchange(other.data, nullptr);
        length = std::exchange(other.length, 0);
    }
    return *this;
}

SurfaceView::~SurfaceView()
{
    if (data)
        free_memshare(const_cast<unsigned char*>(data), length);
}

} // namespace wire
