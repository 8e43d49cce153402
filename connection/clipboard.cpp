#include "clipboard.h"

#include "log.h"
#include "session.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <limits>
#include <spice/vd_agent.h>

namespace
{

constexpr guint32 kText = VD_AGENT_CLIPBOARD_UTF8_TEXT;
// The remote image types asked for, best first.
const guint32 kImages[] = {VD_AGENT_CLIPBOARD_IMAGE_PNG, VD_AGENT_CLIPBOARD_IMAGE_BMP,
                           VD_AGENT_CLIPBOARD_IMAGE_JPG};

// The reader of each remote image type; null for types the viewer does not read (TIFF: Qt reads
// it only with an extra plugin).
const char* readerOf(guint32 type)
{
    switch (type) {
    case VD_AGENT_CLIPBOARD_IMAGE_PNG:
        return "png";
    case VD_AGENT_CLIPBOARD_IMAGE_BMP:
        return "bmp";
    case VD_AGENT_CLIPBOARD_IMAGE_JPG:
        return "jpeg";
    default:
        return nullptr;
    }
}

bool readable(guint32 type)
{
    const char* reader = readerOf(type);
    return reader && QImageReader::supportedImageFormats().contains(reader);
}

QByteArray pngOf(const QImage& image)
{
    QByteArray png;
    QBuffer buffer(&png);
    if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return {};
    return png;
}

// The agent's type for one of the local side's.
guint32 agentType(const QString& type)
{
    if (type == QLatin1String(SharedClipboard::Text))
        return kText;
    if (type == QLatin1String(SharedClipboard::Image))
        return VD_AGENT_CLIPBOARD_IMAGE_PNG;
    return VD_AGENT_CLIPBOARD_NONE;
}

} // namespace

QByteArray toGuestLineEnds(const QByteArray& utf8, bool crlf)
{
    if (!crlf)
        return utf8;
    QByteArray out;
    out.reserve(utf8.size() + utf8.count('\n'));
    for (int i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\n' && (i == 0 || utf8[i - 1] != '\r'))
            out += '\r';
        out += utf8[i];
    }
    return out;
}

QByteArray fromGuestLineEnds(const QByteArray& utf8, bool crlf)
{
    if (!crlf)
        return utf8;
    QByteArray out = utf8;
    return out.replace("\r\n", "\n");
}

QByteArray guestImageToPng(guint32 type, const QByteArray& data, QString* why)
{
    auto refuse = [why](const QString& text) {
        if (why)
            *why = text;
        return QByteArray();
    };
    if (!readable(type))
        return refuse(QStringLiteral("an image type the viewer does not read (%1)").arg(type));
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    // The announced type's reader alone: a guessed one would let the bytes pick the decoder.
    QImageReader reader(&buffer, readerOf(type));
    reader.setAutoDetectImageFormat(false);
    if (!reader.canRead())
        return refuse(QStringLiteral("not a %1 image").arg(QString::fromLatin1(readerOf(type))));
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaxClipboardImageSide || size.height() > kMaxClipboardImageSide)
        return refuse(QStringLiteral("%1x%2 pixels, over the limit of %3x%3")
                          .arg(size.width())
                          .arg(size.height())
                          .arg(kMaxClipboardImageSide));
    if (type == VD_AGENT_CLIPBOARD_IMAGE_PNG)
        return data;
    QImage image;
    if (!reader.read(&image))
        return refuse(reader.errorString());
    return pngOf(image);
}

ClipboardBridge::ClipboardBridge(bool sharePrimary, QObject* parent)
    : QObject(parent), sharePrimary(sharePrimary)
{
}

ClipboardBridge::~ClipboardBridge()
{
    detach();
}

void ClipboardBridge::attach(SpiceMainChannel* mainChannel)
{
    detach();
    channel = mainChannel;
    signals_.connect(channel, "main-clipboard-selection-grab", G_CALLBACK(onRemoteGrab), this);
    signals_.connect(channel, "main-clipboard-selection-request", G_CALLBACK(onRemoteRequest), this);
    signals_.connect(channel, "main-clipboard-selection-release", G_CALLBACK(onRemoteRelease), this);
    signals_.connect(channel, "main-clipboard-selection", G_CALLBACK(onRemoteData), this);
}

void ClipboardBridge::detach()
{
    signals_.clear();
    channel = nullptr;
    agentChanged(false);
}

void ClipboardBridge::agentChanged(bool connected)
{
    agentUp = connected && channel;
    for (int selection : {SharedClipboard::Clipboard, SharedClipboard::Primary}) {
        dropRemote(selection);
        Selection& s = selections[selection];
        s.owner = Owner::None;
        s.guestAsked = 0;
        offerLocal(selection);
    }
}

void ClipboardBridge::setShown(bool now)
{
    if (now == shown)
        return;
    shown = now;
    ignoredSaid = false;
    if (!shown && agentUp)
        Logger(INFO) << "No window shown: the clipboard is not shared until one shows";
    for (int selection : {SharedClipboard::Clipboard, SharedClipboard::Primary}) {
        Selection& s = selections[selection];
        if (shown) {
            offerLocal(selection);
            continue;
        }
        // What the viewer holds on either side is let go.
        if (s.owner == Owner::Local && live(selection))
            spice_main_channel_clipboard_selection_release(channel, selection);
        dropRemote(selection);
        if (s.guestAsked)
            answerGuest(selection, s.guestAsked, {});
        s.owner = Owner::None;
    }
}

bool ClipboardBridge::shared(int selection) const
{
    return selection == SharedClipboard::Clipboard || (selection == SharedClipboard::Primary && sharePrimary);
}

bool ClipboardBridge::live(int selection) const
{
    return channel && agentUp && shared(selection);
}

bool ClipboardBridge::agentHas(guint32 capability) const
{
    return channel && spice_main_channel_agent_test_capability(channel, capability);
}

int ClipboardBridge::maxClipboard() const
{
    int limit = -1;
    if (channel)
        g_object_get(channel, "max-clipboard", &limit, nullptr);
    return limit < 0 ? std::numeric_limits<int>::max() : limit;
}

gboolean ClipboardBridge::onRemoteGrab(SpiceMainChannel*, guint selection, guint32* types, guint count,
                                       gpointer self)
{
    static_cast<ClipboardBridge*>(self)->remoteGrab(selection, types, count);
    return TRUE;
}

gboolean ClipboardBridge::onRemoteRequest(SpiceMainChannel*, guint selection, guint type, gpointer self)
{
    static_cast<ClipboardBridge*>(self)->remoteRequest(selection, type);
    return TRUE;
}

void ClipboardBridge::onRemoteRelease(SpiceMainChannel*, guint selection, gpointer self)
{
    static_cast<ClipboardBridge*>(self)->remoteRelease(selection);
}

void ClipboardBridge::onRemoteData(SpiceMainChannel*, guint selection, guint type, const guchar* data,
                                   guint size, gpointer self)
{
    static_cast<ClipboardBridge*>(self)->remoteArrived(selection, type, data, size);
}

void ClipboardBridge::offerLocal(int selection)
{
    Selection& s = selections[selection];
    // The agent's capabilities arrive after it connects; agentChanged() comes again then.
    if (!shown || !live(selection) || !agentHas(VD_AGENT_CAP_CLIPBOARD_BY_DEMAND) ||
        (selection == SharedClipboard::Primary && !agentHas(VD_AGENT_CAP_CLIPBOARD_SELECTION)))
        return;
    QVector<guint32> types;
    for (const QString& type : s.local)
        if (guint32 agent = agentType(type))
            types << agent;
    Logger(DEBUG) << "local clipboard " << selection << ": " << types.size() << " type(s) to offer";
    if (types.isEmpty()) {
        if (s.owner == Owner::Local)
            spice_main_channel_clipboard_selection_release(channel, selection);
        if (s.owner != Owner::Remote)
            s.owner = Owner::None;
        return;
    }
    dropRemote(selection);
    s.owner = Owner::Local;
    spice_main_channel_clipboard_selection_grab(channel, selection, types.data(), types.size());
}

void ClipboardBridge::localOffered(int selection, const QStringList& types)
{
    if (!shared(selection))
        return;
    selections[selection].local = types;
    offerLocal(selection);
}

void ClipboardBridge::answerAsked(int selection)
{
    for (guint32 type : std::exchange(selections[selection].asked, {}))
        Q_EMIT remoteData(selection, type == kText ? SharedClipboard::Text : SharedClipboard::Image, {});
}

void ClipboardBridge::dropRemote(int selection)
{
    Selection& s = selections[selection];
    answerAsked(selection);
    s.remote.clear();
    if (s.owner == Owner::Remote) {
        s.owner = Owner::None;
        Q_EMIT remoteOffered(selection, {});
    }
}

void ClipboardBridge::remoteGrab(guint selection, const guint32* types, guint count)
{
    if (!live(int(selection)))
        return;
    if (!shown) {
        if (!ignoredSaid)
            Logger(INFO) << "The remote machine's clipboard is not taken while no window is shown";
        ignoredSaid = true;
        return;
    }
    dropRemote(int(selection));
    Selection& s = selections[selection];
    s.owner = Owner::Remote;
    s.local.clear(); // the local selection now holds the remote side's offer
    s.remote = QVector<guint32>(types, types + count);
    QStringList offered;
    if (s.remote.contains(kText))
        offered << SharedClipboard::Text;
    if (std::any_of(s.remote.begin(), s.remote.end(), readable))
        offered << SharedClipboard::Image;
    Logger(DEBUG) << "remote clipboard " << selection << " grabbed: " << count << " type(s), "
                  << offered.size() << " taken";
    Q_EMIT remoteOffered(int(selection), offered);
}

void ClipboardBridge::remoteWanted(int selection, const QString& type)
{
    if (!shared(selection))
        return;
    Selection& s = selections[selection];
    guint32 wanted = VD_AGENT_CLIPBOARD_NONE;
    if (shown && live(selection) && s.owner == Owner::Remote) {
        if (type == QLatin1String(SharedClipboard::Text) && s.remote.contains(kText))
            wanted = kText;
        const auto best = std::find_if(std::begin(kImages), std::end(kImages), [&s](guint32 image) {
            return s.remote.contains(image) && readable(image);
        });
        if (type == QLatin1String(SharedClipboard::Image) && best != std::end(kImages))
            wanted = *best;
    }
    if (!wanted) {
        Q_EMIT remoteData(selection, type, {});
        return;
    }
    if (s.asked.contains(wanted))
        return; // the answer to the earlier request serves this one too
    Logger(DEBUG) << "remote clipboard " << selection << " asked for type " << wanted;
    s.asked << wanted;
    spice_main_channel_clipboard_selection_request(channel, guint(selection), wanted);
}

void ClipboardBridge::remoteArrived(guint selection, guint type, const guchar* bytes, guint size)
{
    if (!live(int(selection)))
        return;
    Selection& s = selections[selection];
    // The agent answers a request it cannot serve with no type: every waiting request gets nothing.
    if (type == VD_AGENT_CLIPBOARD_NONE) {
        answerAsked(int(selection));
        return;
    }
    if (!s.asked.removeOne(type))
        return;
    // A message over the limit the agent was told is refused before anything is copied.
    QByteArray data;
    const int limit = maxClipboard();
    if (size > guint(limit))
        Logger(WARN) << "Clipboard data of " << size << " bytes from the remote machine is over the limit of "
                     << limit << " bytes; not taken";
    else
        data = QByteArray(reinterpret_cast<const char*>(bytes), int(size));
    Logger(DEBUG) << "remote clipboard " << selection << ": " << data.size() << " bytes of type " << type;
    if (type == kText) {
        QByteArray text = fromGuestLineEnds(data, agentHas(VD_AGENT_CAP_GUEST_LINEEND_CRLF));
        while (text.endsWith('\0'))
            text.chop(1);
        Q_EMIT remoteData(int(selection), SharedClipboard::Text, text);
        return;
    }
    QString why;
    const QByteArray png = data.isEmpty() ? data : guestImageToPng(type, data, &why);
    if (!data.isEmpty() && png.isEmpty())
        Logger(WARN) << "Clipboard image from the remote machine not taken: " << why;
    Q_EMIT remoteData(int(selection), SharedClipboard::Image, png);
}

void ClipboardBridge::remoteRelease(guint selection)
{
    if (live(int(selection)))
        dropRemote(int(selection));
}

void ClipboardBridge::remoteRequest(guint selection, guint type)
{
    if (!live(int(selection)))
        return;
    Selection& s = selections[selection];
    const QString wanted = type == kText                          ? SharedClipboard::Text
                           : type == VD_AGENT_CLIPBOARD_IMAGE_PNG ? SharedClipboard::Image
                                                                  : QString();
    if (s.guestAsked)
        answerGuest(int(selection), s.guestAsked, {});
    s.guestAsked = type;
    if (!shown || s.owner != Owner::Local || wanted.isEmpty()) {
        answerGuest(int(selection), type, {});
        return;
    }
    Q_EMIT localWanted(int(selection), wanted);
}

void ClipboardBridge::localAnswered(int selection, const QString& type, const QByteArray& data)
{
    if (!shared(selection))
        return;
    const guint32 agent = agentType(type);
    if (agent && agent == selections[selection].guestAsked)
        answerGuest(selection, agent,
                    shown && selections[selection].owner == Owner::Local ? data : QByteArray());
}

void ClipboardBridge::answerGuest(int selection, guint32 type, const QByteArray& data)
{
    selections[selection].guestAsked = 0;
    if (!live(selection))
        return;
    QByteArray out = type == kText ? toGuestLineEnds(data, agentHas(VD_AGENT_CAP_GUEST_LINEEND_CRLF)) : data;
    const int limit = maxClipboard();
    if (out.size() >= limit) {
        Logger(WARN) << "Clipboard content of " << out.size() << " bytes is over the limit of " << limit
                     << " bytes; not sent";
        out.clear();
    }
    Logger(DEBUG) << "remote side asks clipboard " << selection << " for type " << type << ": " << out.size()
                  << " bytes";
    // An empty answer tells the agent there is nothing, instead of leaving its paste waiting.
    static const guchar none = 0;
    if (out.isEmpty())
        spice_main_channel_clipboard_selection_notify(channel, guint(selection), VD_AGENT_CLIPBOARD_NONE,
                                                      &none, 0);
    else
        spice_main_channel_clipboard_selection_notify(channel, guint(selection), type,
                                                      reinterpret_cast<const guchar*>(out.constData()),
                                                      size_t(out.size()));
}
