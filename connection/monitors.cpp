#include "monitors.h"

#include "log.h"

#include <QStringList>
#include <spice/vd_agent.h>
#include <utility>

namespace
{
// A drag delivers a size every few milliseconds; the guest is asked once the size holds this long.
constexpr int kSettleMs = 120;
// The library keeps this many monitors.
constexpr int kMaxMonitorId = 16;

// The agent may round a size (spice-vdagent rounds widths down to a multiple of 8).
bool near(const QSize& a, const QSize& b)
{
    return qAbs(a.width() - b.width()) < 8 && qAbs(a.height() - b.height()) < 8;
}

QString describe(const MonitorPlan& plan)
{
    QStringList parts;
    for (auto it = plan.monitors.begin(); it != plan.monitors.end(); ++it) {
        const QRect& r = it.value();
        parts << (r.isNull() ? QStringLiteral("#%1 off").arg(it.key())
                             : QStringLiteral("#%1 %2x%3+%4+%5")
                                   .arg(it.key())
                                   .arg(r.width())
                                   .arg(r.height())
                                   .arg(r.x())
                                   .arg(r.y()));
    }
    return parts.join(QStringLiteral(", "));
}
} // namespace

MonitorConfig::MonitorConfig(bool autoResize, QObject* parent) : QObject(parent), autoResize(autoResize)
{
    settle.setSingleShot(true);
    settle.setInterval(kSettleMs);
    connect(&settle, &QTimer::timeout, this, &MonitorConfig::send);
}

MonitorConfig::~MonitorConfig()
{
    reset();
}

void MonitorConfig::attachMain(SpiceMainChannel* channel)
{
    detachMain();
    main = channel;
    mainSignals.connect(main, "main-agent-update", G_CALLBACK(onAgentUpdate), this);
    updateFollowing();
}

void MonitorConfig::detachMain()
{
    mainSignals.clear();
    main = nullptr;
    sent = MonitorPlan{};
    updateFollowing();
}

void MonitorConfig::addDisplay(SpiceDisplayChannel* channel, int id)
{
    removeDisplay(channel);
    auto* display = new Display;
    display->id = id;
    display->signals_.connect(channel, "notify::monitors", G_CALLBACK(onMonitors), this);
    displays.insert(channel, display);
}

void MonitorConfig::removeDisplay(SpiceDisplayChannel* channel)
{
    if (Display* display = displays.take(channel)) {
        delete display;
        refresh();
    }
}

void MonitorConfig::setSurface(SpiceDisplayChannel* channel, const QSize& size)
{
    if (Display* display = displays.value(channel)) {
        display->surface = size;
        refresh();
    }
}

void MonitorConfig::reset()
{
    detachMain();
    qDeleteAll(displays);
    displays.clear();
    refresh();
}

void MonitorConfig::setClientLayout(const ClientLayout& layout)
{
    client = layout;
    haveClient = true;
    // Which client screen each guest monitor is meant for changes with full screen.
    refresh();
    if (following)
        settle.start();
}

void MonitorConfig::onMonitors(SpiceDisplayChannel*, GParamSpec*, gpointer self)
{
    static_cast<MonitorConfig*>(self)->refresh();
}

void MonitorConfig::onAgentUpdate(SpiceMainChannel*, gpointer self)
{
    static_cast<MonitorConfig*>(self)->updateFollowing();
}

void MonitorConfig::updateFollowing()
{
    gboolean agent = FALSE;
    if (main)
        g_object_get(main, "agent-connected", &agent, nullptr);
    const bool able =
        main && agent && spice_main_channel_agent_test_capability(main, VD_AGENT_CAP_MONITORS_CONFIG);
    const bool now = autoResize && able;
    if (able && !std::exchange(agentAble, true))
        Logger(INFO) << (autoResize ? "The remote machine's resolution follows the window"
                                    : "The remote machine's resolution stays as it is (--auto-resize never)");
    agentAble = able;
    if (now == following)
        return;
    following = now;
    Q_EMIT followsChanged(now);
    if (now && haveClient)
        settle.start();
}

int MonitorConfig::maxMonitors() const
{
    int most = 1;
    for (auto it = displays.begin(); it != displays.end(); ++it) {
        int max = 0;
        g_object_get(it.key(), "monitors-max", &max, nullptr);
        most = qMax(most, it.value()->id + qMax(max, 1));
    }
    return qMin(most, kMaxMonitorId);
}

void MonitorConfig::refresh()
{
    QVector<DisplayMonitors> lists;
    for (auto it = displays.begin(); it != displays.end(); ++it) {
        DisplayMonitors list{it.value()->id, it.value()->surface, {}};
        GArray* monitors = nullptr;
        g_object_get(it.key(), "monitors", &monitors, nullptr);
        if (monitors) {
            for (guint i = 0; i < monitors->len; ++i) {
                const auto& m = g_array_index(monitors, SpiceDisplayMonitorConfig, i);
                if (int(m.id) >= list.rects.size())
                    list.rects.resize(int(m.id) + 1);
                list.rects[int(m.id)] = QRect(int(m.x), int(m.y), int(m.width), int(m.height));
            }
            g_array_unref(monitors);
        }
        lists.append(list);
    }
    QVector<GuestMonitor> now = guestMonitors(lists);
    // The server tells how many monitors the guest may have once its first surface is up: full
    // screen on several client monitors then asks again.
    const int most = maxMonitors();
    if (most != lastMax && following && client.fullScreen)
        settle.start();
    lastMax = most;
    if (client.fullScreen) {
        const MonitorPlan plan = planMonitors(client, {}, most);
        for (GuestMonitor& monitor : now)
            monitor.screen = plan.screens.value(monitor.id, -1);
    }
    if (now == current)
        return;
    current = now;
    Q_EMIT monitorsChanged(current);
}

void MonitorConfig::send()
{
    if (!following || !main)
        return;
    QMap<int, QSize> guest;
    for (const GuestMonitor& monitor : current)
        guest.insert(monitor.id, monitor.rect.size());
    // What was asked last stands while the guest shows it (rounded) or has not applied it yet.
    QMap<int, QSize> kept = guest;
    for (auto it = sent.monitors.begin(); it != sent.monitors.end(); ++it) {
        if (it.value().isNull())
            continue;
        if (!guest.contains(it.key()) || near(guest.value(it.key()), it.value().size()))
            kept.insert(it.key(), it.value().size());
    }
    MonitorPlan plan = planMonitors(client, kept, maxMonitors());
    for (auto it = plan.monitors.begin(); it != plan.monitors.end();)
        it = it.key() < kMaxMonitorId ? it + 1 : plan.monitors.erase(it);
    if (plan.monitors.isEmpty() || plan.monitors == sent.monitors)
        return;
    // Nothing new when the guest shows each monitor so or was asked for it already: a monitor that
    // comes by the guest's own doing, placed another way, changes nothing for the others.
    bool same = true;
    for (auto it = plan.monitors.begin(); it != plan.monitors.end(); ++it) {
        const bool asked =
            sent.monitors.contains(it.key()) && sent.monitors.value(it.key()).size() == it.value().size();
        same = same && (asked || (it.value().isNull() ? !guest.contains(it.key())
                                                      : guest.value(it.key()) == it.value().size()));
    }
    for (auto it = guest.begin(); it != guest.end(); ++it)
        same = same && plan.monitors.contains(it.key());
    if (same) {
        sent = plan;
        return;
    }
    // Our positions stand: the library would otherwise line the monitors up itself.
    g_object_set(main, "disable-display-align", TRUE, nullptr);
    for (auto it = plan.monitors.begin(); it != plan.monitors.end(); ++it) {
        const QRect& r = it.value();
        spice_main_channel_update_display_enabled(main, it.key(), !r.isNull(), FALSE);
        if (!r.isNull())
            spice_main_channel_update_display(main, it.key(), r.x(), r.y(), r.width(), r.height(), FALSE);
    }
    if (spice_main_channel_send_monitor_config(main)) {
        sent = plan;
        Logger(INFO) << "Monitors configuration asked: " << describe(plan);
    }
}
