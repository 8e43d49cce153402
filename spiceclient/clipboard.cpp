#include "clipboard.h"

#include "log.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <algorithm>
#include <spice/vd_agent.h>

namespace
{

constexpr guint kClipboard = VD_AGENT_CLIPBOARD_SELECTION_CLIPBOARD;
constexpr guint kPrimary = VD_AGENT_CLIPBOARD_SELECTION_PRIMARY;
const char kPng[] = "image/png";

// What we ask for when the remote side offers several types: text first, then images, PNG first.
const guint32 kPreferred[] = {VD_AGENT_CLIPBOARD_UTF8_TEXT, VD_AGENT_CLIPBOARD_IMAGE_PNG,
                              VD_AGENT_CLIPBOARD_IMAGE_BMP, VD_AGENT_CLIPBOARD_IMAGE_JPG,
                              VD_AGENT_CLIPBOARD_IMAGE_TIFF};

QByteArray pngOf(const QImage& image)
{
    QByteArray png;
    QBuffer buffer(&png);
    if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return {};
    return png;
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

ClipboardBridge::ClipboardBridge(bool sharePrimary, QObject* parent)
    : QObject(parent), sharePrimary(sharePrimary)
{
    connect(QGuiApplication::clipboard(), &QClipboard::changed, this, &ClipboardBridge::localChanged);
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
    for (Selection& s : selections) {
        s.owner = Owner::None;
        s.requested = 0;
    }
    if (agentUp) {
        localChanged(QClipboard::Clipboard);
        if (sharePrimary)
            localChanged(QClipboard::Selection);
    }
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
    static_cast<ClipboardBridge*>(self)->remoteData(
        selection, type, QByteArray(reinterpret_cast<const char*>(data), int(size)));
}

bool ClipboardBridge::shared(guint selection) const
{
    return channel && (selection == kClipboard || (selection == kPrimary && sharePrimary));
}

bool ClipboardBridge::agentHas(guint32 capability) const
{
    return channel && spice_main_channel_agent_test_capability(channel, capability);
}

QClipboard::Mode ClipboardBridge::modeOf(guint selection)
{
    return selection == kPrimary ? QClipboard::Selection : QClipboard::Clipboard;
}

guint ClipboardBridge::selectionOf(QClipboard::Mode mode)
{
    return mode == QClipboard::Selection ? kPrimary : kClipboard;
}

void ClipboardBridge::localChanged(QClipboard::Mode mode)
{
    const guint selection = selectionOf(mode);
    if (settingLocal || mode == QClipboard::FindBuffer || !shared(selection))
        return;
    // The agent's capabilities arrive after it connects; agentChanged() comes again then.
    if (!agentUp || !agentHas(VD_AGENT_CAP_CLIPBOARD_BY_DEMAND) ||
        (selection == kPrimary && !agentHas(VD_AGENT_CAP_CLIPBOARD_SELECTION)))
        return;
    Selection& s = selections[selection];
    const QMimeData* now = QGuiApplication::clipboard()->mimeData(mode);
    // Our own copy of the remote side's data: announcing it would bounce the grab back.
    if (s.ours && now == s.ours)
        return;
    QVector<guint32> types;
    if (now && now->hasText())
        types << VD_AGENT_CLIPBOARD_UTF8_TEXT;
    if (now && (now->hasImage() || now->hasFormat(kPng)))
        types << VD_AGENT_CLIPBOARD_IMAGE_PNG;
    Logger(DEBUG) << "local clipboard " << selection << " changed: " << types.size() << " type(s) to offer";
    if (types.isEmpty()) {
        if (s.owner == Owner::Local)
            spice_main_channel_clipboard_selection_release(channel, selection);
        s.owner = Owner::None;
        return;
    }
    s.owner = Owner::Local;
    s.requested = 0;
    spice_main_channel_clipboard_selection_grab(channel, selection, types.data(), types.size());
}

void ClipboardBridge::remoteGrab(guint selection, const guint32* types, guint count)
{
    if (!shared(selection))
        return;
    Selection& s = selections[selection];
    guint32 wanted = 0;
    for (guint32 type : kPreferred) {
        if (std::find(types, types + count, type) != types + count) {
            wanted = type;
            break;
        }
    }
    Logger(DEBUG) << "remote clipboard " << selection << " grabbed: " << count << " type(s), asking for "
                  << wanted;
    s.owner = Owner::Remote;
    s.requested = wanted;
    // Until the data is here a local paste gets nothing rather than what was there before.
    setLocal(modeOf(selection), new QMimeData);
    if (wanted)
        spice_main_channel_clipboard_selection_request(channel, selection, wanted);
}

void ClipboardBridge::remoteData(guint selection, guint type, const QByteArray& data)
{
    if (!shared(selection))
        return;
    Selection& s = selections[selection];
    if (s.owner != Owner::Remote || !s.requested || type != s.requested)
        return;
    s.requested = 0;
    auto* mime = new QMimeData;
    if (type == VD_AGENT_CLIPBOARD_UTF8_TEXT) {
        QByteArray text = fromGuestLineEnds(data, agentHas(VD_AGENT_CAP_GUEST_LINEEND_CRLF));
        while (text.endsWith('\0'))
            text.chop(1);
        mime->setText(QString::fromUtf8(text));
    } else if (type == VD_AGENT_CLIPBOARD_IMAGE_PNG) {
        mime->setData(kPng, data);
    } else if (!data.isEmpty()) {
        QByteArray png = pngOf(QImage::fromData(data));
        if (png.isEmpty())
            Logger(WARN) << "Clipboard image from the remote machine could not be converted; not pasted";
        else
            mime->setData(kPng, png);
    }
    Logger(DEBUG) << "remote clipboard " << selection << ": " << data.size() << " bytes of type " << type;
    setLocal(modeOf(selection), mime);
}

void ClipboardBridge::remoteRelease(guint selection)
{
    if (!shared(selection))
        return;
    Selection& s = selections[selection];
    if (s.owner != Owner::Remote)
        return;
    s.owner = Owner::None;
    s.requested = 0;
    setLocal(modeOf(selection), nullptr);
}

void ClipboardBridge::remoteRequest(guint selection, guint type)
{
    if (!shared(selection))
        return;
    QByteArray data;
    if (selections[selection].owner == Owner::Local)
        data = localData(modeOf(selection), type);
    int limit = -1;
    g_object_get(channel, "max-clipboard", &limit, nullptr);
    if (limit >= 0 && data.size() >= limit) {
        Logger(WARN) << "Clipboard content of " << data.size() << " bytes is over the limit of " << limit
                     << " bytes; not sent";
        data.clear();
    }
    Logger(DEBUG) << "remote side asks clipboard " << selection << " for type " << type << ": " << data.size()
                  << " bytes";
    // An empty answer tells the agent there is nothing, instead of leaving its paste waiting.
    static const guchar none = 0;
    if (data.isEmpty())
        spice_main_channel_clipboard_selection_notify(channel, selection, VD_AGENT_CLIPBOARD_NONE, &none, 0);
    else
        spice_main_channel_clipboard_selection_notify(
            channel, selection, type, reinterpret_cast<const guchar*>(data.constData()), size_t(data.size()));
}

QByteArray ClipboardBridge::localData(QClipboard::Mode mode, guint type) const
{
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData(mode);
    if (!mime)
        return {};
    if (type == VD_AGENT_CLIPBOARD_UTF8_TEXT)
        return toGuestLineEnds(mime->text().toUtf8(), agentHas(VD_AGENT_CAP_GUEST_LINEEND_CRLF));
    if (type != VD_AGENT_CLIPBOARD_IMAGE_PNG)
        return {};
    if (mime->hasFormat(kPng))
        return mime->data(kPng);
    return pngOf(qvariant_cast<QImage>(mime->imageData()));
}

void ClipboardBridge::setLocal(QClipboard::Mode mode, QMimeData* data)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    settingLocal = true;
    selections[selectionOf(mode)].ours = data;
    if (data)
        clipboard->setMimeData(data, mode);
    else
        clipboard->clear(mode);
    settingLocal = false;
}
