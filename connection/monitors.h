#pragma once

#include "gobject_ref.h"
#include "monitor_layout.h"

#include <QMap>
#include <QObject>
#include <QTimer>
#include <spice-client.h>

// The guest's monitors and the client's wishes for them: reads each display channel's monitors,
// and, while the guest agent takes monitors configurations, asks the guest for the client's
// layout once it has settled. The session owns it and forwards its signals to the window.
class MonitorConfig : public QObject
{
    Q_OBJECT

public:
    explicit MonitorConfig(bool autoResize, QObject* parent = nullptr);
    ~MonitorConfig() override;

    void attachMain(SpiceMainChannel* channel);
    void detachMain();
    void addDisplay(SpiceDisplayChannel* channel, int id);
    void removeDisplay(SpiceDisplayChannel* channel);
    // A display channel's surface size; empty when it has none.
    void setSurface(SpiceDisplayChannel* channel, const QSize& size);
    // Every channel gone: a new session starts from nothing.
    void reset();

    void setClientLayout(const ClientLayout& layout);
    bool follows() const { return following; }
    const QVector<GuestMonitor>& monitors() const { return current; }

Q_SIGNALS:
    void monitorsChanged(const QVector<GuestMonitor>& monitors);
    // The guest takes the windows' sizes (an agent with monitors configurations, auto-resize on).
    void followsChanged(bool on);

private:
    struct Display {
        int id = 0;
        QSize surface;
        SignalConnections signals_;
    };
    static void onMonitors(SpiceDisplayChannel* channel, GParamSpec*, gpointer self);
    static void onAgentUpdate(SpiceMainChannel* channel, gpointer self);
    void refresh();
    void updateFollowing();
    int maxMonitors() const;
    void send();

    const bool autoResize;
    SpiceMainChannel* main = nullptr; // borrowed; set between attachMain() and detachMain()
    SignalConnections mainSignals;
    QMap<SpiceDisplayChannel*, Display*> displays;
    QVector<GuestMonitor> current;
    ClientLayout client;
    bool haveClient = false;
    bool following = false;
    bool agentAble = false; // the agent takes monitors configurations
    int lastMax = 1;        // monitors the guest may have, as last seen
    MonitorPlan sent;       // the last configuration asked for in this session
    QTimer settle;          // a drag sends once the size has settled
};
