#include "monitor_layout.h"

#include <algorithm>

QVector<GuestMonitor> guestMonitors(const QVector<DisplayMonitors>& displays)
{
    QVector<GuestMonitor> result;
    for (const DisplayMonitors& display : displays) {
        if (display.surface.isEmpty())
            continue;
        const QRect surface(QPoint(0, 0), display.surface);
        if (display.rects.isEmpty()) {
            result.append({display.display, display.display, surface, -1});
            continue;
        }
        for (int i = 0; i < display.rects.size(); ++i) {
            const QRect rect = display.rects[i] & surface;
            if (!display.rects[i].isEmpty() && !rect.isEmpty())
                result.append({display.display + i, display.display, rect, -1});
        }
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const GuestMonitor& a, const GuestMonitor& b) { return a.id < b.id; });
    // A second display channel's monitor numbers may meet the first one's: the first one stays.
    result.erase(std::unique(result.begin(), result.end(),
                             [](const GuestMonitor& a, const GuestMonitor& b) { return a.id == b.id; }),
                 result.end());
    return result;
}

namespace
{

MonitorPlan fullScreenPlan(const ClientLayout& client, const QMap<int, QSize>& kept, int maxMonitors)
{
    MonitorPlan plan;
    QVector<int> order;
    for (int i = 0; i < client.screens.size(); ++i)
        if (i != client.screen)
            order.append(i);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        const QPoint pa = client.screens[a].topLeft(), pb = client.screens[b].topLeft();
        return pa.x() != pb.x() ? pa.x() < pb.x() : pa.y() < pb.y();
    });
    if (client.screen >= 0 && client.screen < client.screens.size())
        order.prepend(client.screen);
    order.resize(qMin(order.size(), qMax(maxMonitors, 1)));
    QRect bounds;
    for (int screen : order)
        bounds |= client.screens[screen];
    for (int id = 0; id < order.size(); ++id) {
        plan.monitors.insert(id, client.screens[order[id]].translated(-bounds.topLeft()));
        plan.screens.insert(id, order[id]);
    }
    for (auto it = kept.begin(); it != kept.end(); ++it)
        if (!plan.monitors.contains(it.key()))
            plan.monitors.insert(it.key(), QRect());
    return plan;
}

} // namespace

MonitorPlan planMonitors(const ClientLayout& client, const QMap<int, QSize>& kept, int maxMonitors)
{
    if (client.fullScreen && !client.screens.isEmpty())
        return fullScreenPlan(client, kept, maxMonitors);
    QMap<int, QSize> sizes = kept;
    QMap<int, bool> off;
    for (const ClientWindow& window : client.windows) {
        if (window.state == ClientWindow::Closed) {
            off.insert(window.monitor, true);
            sizes.remove(window.monitor);
        } else if (window.state == ClientWindow::Shown && !window.size.isEmpty()) {
            sizes.insert(window.monitor, window.size);
        }
    }
    MonitorPlan plan;
    int x = 0;
    for (auto it = sizes.begin(); it != sizes.end(); ++it) {
        if (it.value().isEmpty())
            continue;
        plan.monitors.insert(it.key(), QRect(QPoint(x, 0), it.value()));
        x += it.value().width();
    }
    if (plan.monitors.isEmpty())
        return MonitorPlan{};
    for (auto it = off.begin(); it != off.end(); ++it)
        if (kept.contains(it.key()))
            plan.monitors.insert(it.key(), QRect());
    return plan;
}
