#pragma once

#include <QMap>
#include <QRect>
#include <QSize>
#include <QVector>

// One monitor of the remote machine: where its picture lies in a display channel's surface.
struct GuestMonitor {
    int id = 0;      // the guest's monitor number: its display channel's id plus its number there
    int display = 0; // the display channel whose surface holds it
    QRect rect;      // within that surface
    int screen = -1; // the client screen it was asked for (full screen on several), or -1

    bool operator==(const GuestMonitor& o) const
    {
        return id == o.id && display == o.display && rect == o.rect && screen == o.screen;
    }
};

// One window of the viewer as the guest's monitors configuration sees it.
struct ClientWindow {
    enum State { Shown, Minimised, Hidden, Closed };
    int monitor = 0; // the guest monitor it shows
    QSize size;      // its picture area in device pixels; empty: no wish, the guest's size stays
    State state = Hidden;
};

// What the window side knows about the client: its monitors and its windows.
struct ClientLayout {
    QVector<QRect> screens;  // the client's monitors, in device pixels
    int screen = 0;          // the one the first window is on
    bool fullScreen = false; // the first window covers its monitor
    QVector<ClientWindow> windows;
};

// One display channel's surface and the monitors its server lists on it.
struct DisplayMonitors {
    int display = 0;
    QSize surface;        // empty while it has none
    QVector<QRect> rects; // by the server's monitor number; an empty rectangle is off
};

// The guest's monitors, by id: each listed monitor clipped to its surface, a surface without a list
// as one monitor. Monitors off or outside their surface are left out.
QVector<GuestMonitor> guestMonitors(const QVector<DisplayMonitors>& displays);

// The monitors configuration the client asks for: guest monitor id -> its place on the guest's
// desktop, a null rectangle turning it off; and, in full screen, the client screen of each.
struct MonitorPlan {
    QMap<int, QRect> monitors;
    QMap<int, int> screens;
    bool operator==(const MonitorPlan& o) const { return monitors == o.monitors && screens == o.screens; }
};

// In a window, each shown window's size, the others keeping `kept` (the guest's sizes by id); a
// closed window's monitor off; placed left to right by id. In full screen, one monitor per client
// screen, up to `maxMonitors`: the first window's screen first, then the others left to right,
// each at its screen's size and position; every other monitor off. Empty: nothing to ask.
MonitorPlan planMonitors(const ClientLayout& client, const QMap<int, QSize>& kept, int maxMonitors);
