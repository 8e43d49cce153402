#pragma once

#include "geometry.h"
#include "inputmap.h"
#include "session_client.h"

#include <QImage>
#include <QWidget>

// A window of its own for one further guest monitor: shows that monitor's part of its display
// channel's surface, scaled as the first window does, sends the pointer there and hands keys to
// the first window, which owns the hotkeys and the keys menu.
class MonitorWindow : public QWidget
{
    Q_OBJECT

public:
    MonitorWindow(SessionClient* session, QWidget* keys);

    void setMonitor(const GuestMonitor& monitor);
    const GuestMonitor& monitor() const { return shown; }
    // The surface that holds the monitor, held while shown; null pixels: none (black).
    void setSurface(const SurfacePixels& pixels, const ScreenInitInfo& info);
    // A changed rectangle of that surface, in its pixels.
    void surfaceChanged(const Rect& rect);
    void setSnapToFit(bool on);
    void setServerMouse(bool on) { serverMouse = on; }

    // The size given to show the monitor 1:1 (or as large as fits); other sizes are the user's.
    QSize fitSize;
    bool sizedByUser = false;
    bool closedByUser = false;
    bool fullScreenPlaced = false; // put over a client monitor by full screen

Q_SIGNALS:
    void closedByUserChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void rebuild();
    void followPointer();
    void pointer(QEvent::Type type, int button, const QPoint& position);

    SessionClient* session;
    QWidget* keys;
    GuestMonitor shown;
    SurfacePixels pixels; // mapped read-only
    ScreenInitInfo info{};
    QImage picture; // the monitor's part of the surface, as 32-bit pixels
    PictureGeometry geometry;
    bool snap = false;
    bool serverMouse = false;
    WheelSteps wheelSteps;
};
