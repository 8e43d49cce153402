#pragma once

#include "gobject_ref.h"

#include <QByteArray>
#include <QClipboard>
#include <QObject>
#include <QPointer>
#include <QVector>
#include <spice-client.h>

class QMimeData;

// Text for a guest that wants CRLF line ends, and back to LF from it; unchanged when crlf is false.
QByteArray toGuestLineEnds(const QByteArray& utf8, bool crlf);
QByteArray fromGuestLineEnds(const QByteArray& utf8, bool crlf);

// Shares the local CLIPBOARD (and PRIMARY when asked) with the guest agent on one main channel:
// UTF-8 text and PNG images. Data taken from the remote side is fetched once it is announced, so a
// local paste never waits on the network and never sees what was there before the remote copy.
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

private:
    enum class Owner { None, Local, Remote };
    struct Selection {
        Owner owner = Owner::None;
        QPointer<QMimeData> ours; // what we put on the local clipboard (Qt owns it)
        guint32 requested = 0;    // the type asked of the remote side, 0 when nothing is pending
    };

    static gboolean onRemoteGrab(SpiceMainChannel* channel, guint selection, guint32* types, guint count,
                                 gpointer self);
    static gboolean onRemoteRequest(SpiceMainChannel* channel, guint selection, guint type, gpointer self);
    static void onRemoteRelease(SpiceMainChannel* channel, guint selection, gpointer self);
    static void onRemoteData(SpiceMainChannel* channel, guint selection, guint type, const guchar* data,
                             guint size, gpointer self);

    void localChanged(QClipboard::Mode mode);
    void remoteGrab(guint selection, const guint32* types, guint count);
    void remoteRequest(guint selection, guint type);
    void remoteRelease(guint selection);
    void remoteData(guint selection, guint type, const QByteArray& data);
    QByteArray localData(QClipboard::Mode mode, guint type) const;
    void setLocal(QClipboard::Mode mode, QMimeData* data);
    bool shared(guint selection) const;
    bool agentHas(guint32 capability) const;
    static QClipboard::Mode modeOf(guint selection);
    static guint selectionOf(QClipboard::Mode mode);

    const bool sharePrimary;
    SpiceMainChannel* channel = nullptr; // borrowed; set between attach() and detach()
    SignalConnections signals_;
    Selection selections[2];   // VD_AGENT_CLIPBOARD_SELECTION_CLIPBOARD, _PRIMARY
    bool settingLocal = false; // our own change of the local clipboard is under way
    bool agentUp = false;      // the guest agent is connected
};
