#pragma once

#include "session_client.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QSize>
#include <QTimer>

class MonitorWindow;
class SpiceViewer;

// The guest's monitors on the client: the first window shows the first of them, a window of its own
// each further one (full screen on the client monitor the session asked it for). Tells the session
// the client's side as facts: its monitors, each window's picture area in device pixels and whether
// it is shown, minimised, hidden or closed. With a guest that follows, the first window opens at the
// guest's size at connection.
class MonitorWindows : public QObject
{
    Q_OBJECT

public:
    MonitorWindows(SpiceViewer* first, SessionClient* session);
    ~MonitorWindows() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Surface {
        SurfacePixels pixels;
        ScreenInitInfo info{};
    };
    void firstSurfaceCreated(const SurfacePixels& pixels, const ScreenInitInfo& info);
    void surfaceCreated(int display, const SurfacePixels& pixels, const ScreenInitInfo& info);
    void monitorsChanged(const QVector<GuestMonitor>& list);
    void followsChanged(bool on);
    void place(MonitorWindow* window);
    // The place of a further monitor's window: as the guest lays the monitor out beside its first
    // one, within the first window's screen.
    QPoint besideFirst(const GuestMonitor& monitor, const QSize& size) const;
    void fitFirst();
    void fullScreenLeft();
    void report();

    SpiceViewer* first;
    SessionClient* session;
    int firstDisplay = -1;             // the display channel of the first monitor's surface
    QHash<int, Surface> surfaces;      // by display channel id
    QMap<int, MonitorWindow*> windows; // by guest monitor id
    QMap<int, MonitorWindow*> gone;    // of monitors just turned off, kept a moment
    QTimer goneTimer;
    QVector<GuestMonitor> monitors;
    bool follows = false;
    bool serverMouse = false;
    QSize fitSize;           // the size the first window was given to show the guest 1:1
    bool firstSized = false; // its size since is the user's (or full screen's)
    bool fitted = false;     // fitted to the guest since the connection: its size is what is asked
    bool wasFullScreen = false;
    bool shownWindowed = false; // the first window has been shown other than full screen
    QSize restoreSize; // asked for on leaving full screen, until the window has it or was asked twice
    QSize startSize;   // the guest's first monitor when the connection opened, or as a window last showed it
    QTimer reportTimer;
};
