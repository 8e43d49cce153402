#pragma once

#include "gobject_ref.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QVector>
#include <spice-client.h>

// Text for a guest that wants CRLF line ends, and back to LF from it; unchanged when crlf is false.
QByteArray toGuestLineEnds(const QByteArray& utf8, bool crlf);
QByteArray fromGuestLineEnds(const QByteArray& utf8, bool crlf);

// The largest clipboard image taken from the remote side: at most this many pixels a side, so at
// most 256 MiB once decoded (4 bytes a pixel).
constexpr int kMaxClipboardImageSide = 8192;

// A remote clipboard image of the agent's type `type` (VD_AGENT_CLIPBOARD_IMAGE_*) as PNG. It is
// read only by that type's own reader, never one guessed from the bytes, and only when its header
// gives a size within kMaxClipboardImageSide; PNG passes unchanged once its header is checked.
// Empty, with the reason in `why`, when it is not taken.
QByteArray guestImageToPng(guint32 type, const QByteArray& data, QString* why = nullptr);

// The agent's side of clipboard sharing on one main channel: what the remote side offers, asks for
// and sends, turned into plain data (selection, types of SharedClipboard, bytes) for the local side,
// which answers through the calls below. Remote data is fetched only when the local side asks.
class ClipboardBridge : public QObject
{
    Q_OBJECT

public:
    explicit ClipboardBridge(bool sharePrimary, QObject* parent = nullptr);
    ~ClipboardBridge() override;

    void attach(SpiceMainChannel* channel);
    void detach();
    // The agent came or went: what the local side holds is offered again, or forgotten.
    void agentChanged(bool connected);
    // While no window of the viewer is shown nothing crosses; once one shows, the local side's
    // offer goes out again.
    void setShown(bool shown);
    bool shared(int selection) const;

    // From the local side.
    void localOffered(int selection, const QStringList& types);
    void localAnswered(int selection, const QString& type, const QByteArray& data);
    void remoteWanted(int selection, const QString& type);

Q_SIGNALS:
    void remoteOffered(int selection, const QStringList& types);
    void remoteData(int selection, const QString& type, const QByteArray& data);
    void localWanted(int selection, const QString& type);

private:
    enum class Owner { None, Local, Remote };
    struct Selection {
        Owner owner = Owner::None;
        QStringList local;       // what the local side offers, as it last said
        QVector<guint32> remote; // the types the remote side offers while it owns the selection
        QVector<guint32> asked;  // types asked of the remote side, not answered yet
        guint32 guestAsked = 0;  // the type the remote side asked of us; 0 when none is pending
    };

    static gboolean onRemoteGrab(SpiceMainChannel* channel, guint selection, guint32* types, guint count,
                                 gpointer self);
    static gboolean onRemoteRequest(SpiceMainChannel* channel, guint selection, guint type, gpointer self);
    static void onRemoteRelease(SpiceMainChannel* channel, guint selection, gpointer self);
    static void onRemoteData(SpiceMainChannel* channel, guint selection, guint type, const guchar* data,
                             guint size, gpointer self);

    void remoteGrab(guint selection, const guint32* types, guint count);
    void remoteRequest(guint selection, guint type);
    void remoteRelease(guint selection);
    void remoteArrived(guint selection, guint type, const guchar* data, guint size);
    // Offers the local side's types to the agent when it may have them.
    void offerLocal(int selection);
    // Requests of the local side waiting on the remote side get nothing.
    void answerAsked(int selection);
    // The remote side's offer ends: the local side forgets it, waiting requests get nothing.
    void dropRemote(int selection);
    void answerGuest(int selection, guint32 type, const QByteArray& data);
    bool live(int selection) const;
    bool agentHas(guint32 capability) const;
    int maxClipboard() const;

    const bool sharePrimary;
    SpiceMainChannel* channel = nullptr; // borrowed; set between attach() and detach()
    SignalConnections signals_;
    Selection selections[2];  // VD_AGENT_CLIPBOARD_SELECTION_CLIPBOARD, _PRIMARY
    bool agentUp = false;     // the guest agent is connected
    bool shown = false;       // some window of the viewer is shown
    bool ignoredSaid = false; // an ignored remote offer was logged since the windows hid
};
