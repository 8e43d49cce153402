#pragma once

#include "gobject_ref.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <spice-client.h>

class ClipboardBridge;
class FileCopy;
struct OpenedFile;

// What users may share with the remote machine through its agent.
struct AgentOptions {
    bool clipboard = true;
    bool fileCopy = true;
    bool sharePrimary = false;
};

// The guest agent as seen through one main channel at a time: whether it is there, the clipboard
// and file copy that go through it. The session owns it and forwards its signals to the window.
class GuestAgent : public QObject
{
    Q_OBJECT

public:
    explicit GuestAgent(const AgentOptions& options, QObject* parent = nullptr);
    ~GuestAgent() override;

    void attach(SpiceMainChannel* channel);
    void detach();
    bool copying() const;
    // Copies local files as one batch; false when it cannot start, the words coming as
    // transferFinished(false, words).
    bool copyFiles(const QVector<OpenedFile>& files);
    void cancelCopy();
    // The clipboard's agent side; null when the clipboard is not shared.
    ClipboardBridge* clipboardBridge() const { return clipboard; }

Q_SIGNALS:
    void transferProgress(qint64 done, qint64 total);
    void transferFinished(bool ok, const QString& text);

private:
    static void onAgentUpdate(SpiceMainChannel* channel, gpointer self);
    static void onChannelEvent(SpiceChannel* channel, SpiceChannelEvent event, gpointer self);
    void update();

    const AgentOptions options;
    SpiceMainChannel* channel = nullptr; // borrowed; set between attach() and detach()
    SignalConnections signals_;
    int state = -1; // -1 not known yet, 0 absent, 1 connected
    int caps = 0;   // the agent's first 32 capability bits, as last seen
    ClipboardBridge* clipboard = nullptr;
    FileCopy* files = nullptr;
    QTimer absence; // from the channel's opening until its lack of an agent is said
};
