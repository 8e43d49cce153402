#include "guestagent.h"

#include "clipboard.h"
#include "filecopy.h"
#include "log.h"

#include <unistd.h>

namespace
{
constexpr int kAgentWaitMs = 3000;
} // namespace

GuestAgent::GuestAgent(const AgentOptions& options, QObject* parent)
    : QObject(parent), options(options), files(new FileCopy(this))
{
    // The local side of the clipboard is the window's, which talks to it through the session.
    if (options.clipboard)
        clipboard = new ClipboardBridge(options.sharePrimary, this);
    connect(files, &FileCopy::progress, this, &GuestAgent::transferProgress);
    connect(files, &FileCopy::finished, this, &GuestAgent::transferFinished);
    // An agent often reports itself a moment after the channel opens: its absence is said later.
    absence.setSingleShot(true);
    absence.setInterval(kAgentWaitMs);
    connect(&absence, &QTimer::timeout, this, [this] {
        if (channel && state != 1)
            Logger(INFO) << "No guest agent on the remote machine: no clipboard sharing or file copy until "
                            "one connects";
    });
}

GuestAgent::~GuestAgent()
{
    detach();
}

void GuestAgent::attach(SpiceMainChannel* mainChannel)
{
    detach();
    channel = mainChannel;
    // Without clipboard sharing the agent is told that nothing fits, so it sends no data.
    if (!options.clipboard)
        g_object_set(channel, "max-clipboard", 0, nullptr);
    signals_.connect(channel, "main-agent-update", G_CALLBACK(onAgentUpdate), this);
    signals_.connect(channel, "channel-event", G_CALLBACK(onChannelEvent), this);
    if (clipboard)
        clipboard->attach(channel);
    files->attach(channel);
    // Whether an agent is there is known once the channel is open; the library tells its changes.
}

void GuestAgent::detach()
{
    if (!channel)
        return;
    signals_.clear();
    absence.stop();
    if (clipboard)
        clipboard->detach();
    files->detach();
    channel = nullptr;
    if (state == 1)
        Logger(INFO) << "Guest agent disconnected";
    state = -1;
}

bool GuestAgent::copying() const
{
    return files->busy();
}

bool GuestAgent::copyFiles(const QVector<OpenedFile>& opened)
{
    QString why;
    if (!options.fileCopy) {
        why = tr("Files cannot be copied: file copy is turned off (--no-file-copy)");
        Logger(WARN) << why;
        for (const OpenedFile& file : opened)
            close(file.fd);
    } else if (files->start(opened, &why)) {
        return true;
    }
    Q_EMIT transferFinished(false, why);
    return false;
}

void GuestAgent::cancelCopy()
{
    files->cancel();
}

void GuestAgent::onAgentUpdate(SpiceMainChannel*, gpointer self)
{
    static_cast<GuestAgent*>(self)->update();
}

void GuestAgent::onChannelEvent(SpiceChannel*, SpiceChannelEvent event, gpointer self)
{
    auto* guest = static_cast<GuestAgent*>(self);
    if (event == SPICE_CHANNEL_OPENED) {
        guest->update();
        guest->absence.start();
    } else {
        guest->absence.stop();
    }
}

void GuestAgent::update()
{
    gboolean agent = FALSE;
    int nowCaps = 0;
    g_object_get(channel, "agent-connected", &agent, "agent-caps-0", &nowCaps, nullptr);
    const int now = agent ? 1 : 0;
    if (now == state) {
        // The same agent with its capabilities now known: the clipboard can be offered.
        if (agent && nowCaps != caps && clipboard)
            clipboard->agentChanged(true);
        caps = nowCaps;
        return;
    }
    const bool was = state == 1;
    state = now;
    if (agent)
        absence.stop();
    caps = nowCaps;
    if (agent)
        Logger(INFO) << "Guest agent connected: clipboard " << (clipboard ? "shared" : "off")
                     << ", file copy " << (options.fileCopy ? "on" : "off");
    else if (was)
        Logger(INFO) << "Guest agent disconnected";
    if (clipboard)
        clipboard->agentChanged(agent);
}
