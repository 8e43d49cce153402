#include "localclipboard.h"

#include "log.h"
#include "session_client.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QMimeData>
#include <QTimer>
#include <xcb/xproto.h>

namespace
{

const QString kLocalText = QStringLiteral("text/plain");
const QString kLocalImage = QStringLiteral("image/png");

QClipboard::Mode modeOf(int selection)
{
    return selection == SharedClipboard::Primary ? QClipboard::Selection : QClipboard::Clipboard;
}

int selectionOf(QClipboard::Mode mode)
{
    return mode == QClipboard::Selection ? SharedClipboard::Primary : SharedClipboard::Clipboard;
}

// The shared type behind a local format; empty for others.
QString sharedType(const QString& format)
{
    if (format == kLocalText)
        return SharedClipboard::Text;
    if (format == kLocalImage)
        return SharedClipboard::Image;
    return {};
}

QByteArray pngOf(const QImage& image)
{
    QByteArray png;
    QBuffer buffer(&png);
    if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return {};
    return png;
}

} // namespace

// One offer of the remote side on a local selection; its data is asked for when a local program
// reads it, once.
class RemoteMimeData : public QMimeData
{
public:
    RemoteMimeData(LocalClipboard* owner, int selection, const QStringList& types)
        : owner(owner), selection(selection), types(types)
    {
    }

    QStringList formats() const override
    {
        QStringList local;
        if (types.contains(SharedClipboard::Text))
            local << kLocalText;
        if (types.contains(SharedClipboard::Image))
            local << kLocalImage;
        return local;
    }
    bool hasFormat(const QString& format) const override { return formats().contains(format); }

    QPointer<LocalClipboard> owner;
    const int selection;
    const QStringList types;
    QStringList asked;              // types asked of the remote side
    QHash<QString, QByteArray> got; // their answers
    bool withdrawn = false;         // the remote side offers something else now

protected:
    QVariant retrieveData(const QString& format, QVariant::Type) const override
    {
        const QString type = sharedType(format);
        if (!types.contains(type))
            return {};
        if (got.contains(type) || !owner)
            return got.value(type);
        return owner->fetch(const_cast<RemoteMimeData*>(this), type);
    }
};

LocalClipboard::LocalClipboard(bool sharePrimary, QObject* parent)
    : QObject(parent), sharePrimary(sharePrimary)
{
    connect(QGuiApplication::clipboard(), &QClipboard::changed, this, &LocalClipboard::localChanged);
}

LocalClipboard::~LocalClipboard()
{
    for (Side& side : sides)
        if (side.latest != side.installed)
            delete side.latest;
}

LocalClipboard* LocalClipboard::share(SessionClient* session, QObject* parent)
{
    if (!session->clipboardShared(SharedClipboard::Clipboard))
        return nullptr;
    auto* local = new LocalClipboard(session->clipboardShared(SharedClipboard::Primary), parent);
    connect(local, &LocalClipboard::offered, session, &SessionClient::offerLocalClipboard);
    connect(local, &LocalClipboard::answered, session, &SessionClient::answerClipboardRequest);
    connect(local, &LocalClipboard::wanted, session, &SessionClient::requestRemoteClipboard);
    connect(session, &SessionClient::remoteClipboardOffered, local, &LocalClipboard::remoteOffered);
    connect(session, &SessionClient::remoteClipboardData, local, &LocalClipboard::remoteData);
    connect(session, &SessionClient::localClipboardRequested, local, &LocalClipboard::dataRequested);
    local->offerAll();
    return local;
}

void LocalClipboard::offerAll()
{
    localChanged(QClipboard::Clipboard);
    if (sharePrimary)
        localChanged(QClipboard::Selection);
}

void LocalClipboard::localChanged(QClipboard::Mode mode)
{
    const int selection = selectionOf(mode);
    if (settingLocal || mode == QClipboard::FindBuffer || !shared(selection))
        return;
    const QMimeData* now = QGuiApplication::clipboard()->mimeData(mode);
    // Our own copy of the remote side's offer: announcing it would bounce it back.
    if (now && now == sides[selection].installed)
        return;
    QStringList types;
    if (now && now->hasText())
        types << SharedClipboard::Text;
    if (now && (now->hasImage() || now->hasFormat(kLocalImage)))
        types << SharedClipboard::Image;
    Q_EMIT offered(selection, types);
}

bool LocalClipboard::shared(int selection) const
{
    return selection == SharedClipboard::Clipboard || (selection == SharedClipboard::Primary && sharePrimary);
}

void LocalClipboard::dataRequested(int selection, const QString& type)
{
    if (!shared(selection))
        return;
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData(modeOf(selection));
    QByteArray data;
    if (mime && mime != sides[selection].installed) {
        if (type == QLatin1String(SharedClipboard::Text))
            data = mime->text().toUtf8();
        else if (type == QLatin1String(SharedClipboard::Image))
            data = mime->hasFormat(kLocalImage) ? mime->data(kLocalImage)
                                                : pngOf(qvariant_cast<QImage>(mime->imageData()));
    }
    Q_EMIT answered(selection, type, data);
}

void LocalClipboard::remoteOffered(int selection, const QStringList& types)
{
    if (!shared(selection))
        return;
    // Until a local program asks, nothing but text is fetched: the remote side's bytes are decoded
    // only for a paste.
    RemoteMimeData* offer = types.isEmpty() ? nullptr : new RemoteMimeData(this, selection, types);
    setLocal(selection, offer);
    if (offer && types.contains(SharedClipboard::Text)) {
        offer->asked << SharedClipboard::Text;
        Q_EMIT wanted(selection, SharedClipboard::Text);
    }
}

void LocalClipboard::remoteData(int selection, const QString& type, const QByteArray& data)
{
    RemoteMimeData* offer = shared(selection) ? sides[selection].latest : nullptr;
    if (offer && offer->asked.contains(type) && !offer->got.contains(type)) {
        offer->got.insert(type, data);
        wake();
    }
}

QByteArray LocalClipboard::fetch(RemoteMimeData* offer, const QString& type)
{
    QPointer<RemoteMimeData> guard(offer);
    if (!offer->asked.contains(type)) {
        offer->asked << type;
        Q_EMIT wanted(offer->selection, type);
    }
    // Qt deletes the offer it holds when another program takes the selection; the X events that
    // would make it do so while it is being read wait (see nativeEventFilter).
    if (waits.isEmpty())
        QCoreApplication::instance()->installNativeEventFilter(this);
    QElapsedTimer since;
    since.start();
    while (guard && !guard->got.contains(type) && !guard->withdrawn && since.elapsed() < kClipboardFetchMs) {
        QEventLoop loop;
        waits << &loop;
        QTimer::singleShot(kClipboardFetchMs - int(since.elapsed()), &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        waits.removeOne(&loop);
    }
    if (waits.isEmpty()) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
        // Changes held back meanwhile go in once Qt is done with the offer being read.
        QTimer::singleShot(0, this, [this] {
            for (int selection : {SharedClipboard::Clipboard, SharedClipboard::Primary})
                if (waits.isEmpty() && sides[selection].pending)
                    install(selection);
        });
    }
    if (!guard)
        return {};
    if (!guard->got.contains(type) && !guard->withdrawn) {
        // Still asked for: what comes later (a large copy on a slow link) is kept for the next paste.
        Logger(WARN) << "The remote machine's clipboard did not answer within " << kClipboardFetchMs
                     << " ms; nothing pasted this time";
        return {};
    }
    return guard->got.value(type);
}

bool LocalClipboard::nativeEventFilter(const QByteArray& eventType, void* message, long*)
{
    // While a local request waits for remote data, Qt may not learn that another program took a
    // selection: it would delete the offer under the request. What it would forget stays, harmless
    // (it still tells of the other program's data), and goes with our next change of the selection.
    return eventType == "xcb_generic_event_t" &&
           (static_cast<xcb_generic_event_t*>(message)->response_type & ~0x80) == XCB_SELECTION_CLEAR;
}

void LocalClipboard::setLocal(int selection, RemoteMimeData* offer)
{
    Side& side = sides[selection];
    if (side.latest && side.latest != side.installed)
        delete side.latest; // never shown
    else if (side.latest)
        side.latest->withdrawn = true;
    side.latest = offer;
    side.pending = true;
    wake();
    // Qt would delete the offer being read: the change waits for the request to end.
    if (waits.isEmpty())
        install(selection);
}

void LocalClipboard::install(int selection)
{
    Side& side = sides[selection];
    side.pending = false;
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QClipboard::Mode mode = modeOf(selection);
    settingLocal = true;
    if (side.latest)
        clipboard->setMimeData(side.latest, mode);
    else if (side.installed && clipboard->mimeData(mode) == side.installed)
        clipboard->clear(mode); // only while it is still ours
    settingLocal = false;
    side.installed = side.latest;
}

void LocalClipboard::wake()
{
    for (QEventLoop* loop : waits)
        loop->quit();
}
