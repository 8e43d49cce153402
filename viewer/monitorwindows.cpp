#include "monitorwindows.h"

#include "monitorwindow.h"
#include "spiceviewer.h"

#include <QGuiApplication>
#include <QResizeEvent>
#include <QScreen>
#include <QWindow>
#include <utility>

namespace
{

// How long a window outlives its monitor, in case the monitor comes back.
constexpr int kGoneMs = 1000;

QSize devicePixels(const QWidget* window)
{
    return window->size() * window->devicePixelRatioF();
}

QRect devicePixels(const QScreen* screen)
{
    const qreal ratio = screen->devicePixelRatio();
    const QRect g = screen->geometry();
    return QRect(g.topLeft() * ratio, g.size() * ratio);
}

ClientWindow::State stateOf(const QWidget* window)
{
    if (window->isMinimized())
        return ClientWindow::Minimised;
    return window->isVisible() ? ClientWindow::Shown : ClientWindow::Hidden;
}

// The size that shows `picture` (device pixels) 1:1 in a window on `screen`, or as large as fits.
QSize fittingSize(const QSize& picture, const QWidget* window)
{
    const qreal ratio = window->devicePixelRatioF();
    const QSize wanted = picture / ratio;
    QSize room = window->screen() ? window->screen()->availableGeometry().size() : wanted;
    if (window->isVisible())
        room -= window->frameGeometry().size() - window->size();
    if (wanted.width() <= room.width() && wanted.height() <= room.height())
        return wanted;
    return wanted.scaled(room, Qt::KeepAspectRatio);
}

} // namespace

MonitorWindows::MonitorWindows(SpiceViewer* first, SessionClient* session)
    : QObject(first), first(first), session(session)
{
    reportTimer.setSingleShot(true);
    reportTimer.setInterval(0);
    connect(&reportTimer, &QTimer::timeout, this, &MonitorWindows::report);
    goneTimer.setSingleShot(true);
    goneTimer.setInterval(kGoneMs);
    connect(&goneTimer, &QTimer::timeout, this, [this] {
        qDeleteAll(gone);
        gone.clear();
    });
    connect(session, &SessionClient::surfaceCreated, this,
            [this](const SurfacePixels& pixels, ScreenInitInfo info) { firstSurfaceCreated(pixels, info); });
    connect(session, &SessionClient::surfaceChanged, this, [this](Rect rect) {
        for (MonitorWindow* window : qAsConst(windows))
            if (window->monitor().display == firstDisplay)
                window->surfaceChanged(rect);
    });
    connect(session, &SessionClient::otherSurfaceCreated, this,
            [this](int display, const SurfacePixels& pixels, ScreenInitInfo info) {
                surfaceCreated(display, pixels, info);
            });
    connect(session, &SessionClient::otherSurfaceChanged, this, [this](int display, Rect rect) {
        for (MonitorWindow* window : qAsConst(windows))
            if (window->monitor().display == display)
                window->surfaceChanged(rect);
    });
    connect(session, &SessionClient::guestMonitorsChanged, this, &MonitorWindows::monitorsChanged);
    connect(session, &SessionClient::followsWindowChanged, this, &MonitorWindows::followsChanged);
    connect(session, &SessionClient::serverMouseChanged, this, [this](bool server) {
        serverMouse = server;
        for (MonitorWindow* window : qAsConst(windows))
            window->setServerMouse(server);
    });
    connect(first, &QWidget::windowTitleChanged, this, [this](const QString& title) {
        for (MonitorWindow* window : qAsConst(windows))
            window->setWindowTitle(QStringLiteral("%1 (%2)").arg(title).arg(window->monitor().id + 1));
    });
    auto screens = [this](QScreen*) { reportTimer.start(); };
    connect(qApp, &QGuiApplication::screenAdded, this, screens);
    connect(qApp, &QGuiApplication::screenRemoved, this, screens);
    first->installEventFilter(this);
}

MonitorWindows::~MonitorWindows()
{
    qDeleteAll(windows);
    qDeleteAll(gone);
}

void MonitorWindows::firstSurfaceCreated(const SurfacePixels& pixels, const ScreenInitInfo& info)
{
    firstDisplay = info.display;
    surfaceCreated(info.display, pixels, info);
    // At connection the window takes the guest's size again.
    if (info.fresh) {
        firstSized = fitted = false;
        startSize = QSize(info.width, info.height);
        fitFirst();
    }
}

void MonitorWindows::surfaceCreated(int display, const SurfacePixels& pixels, const ScreenInitInfo& info)
{
    // Each window holds what it shows: a replaced block goes once the last of them has moved on.
    if (pixels)
        surfaces.insert(display, {pixels, info});
    else
        surfaces.remove(display);
    for (MonitorWindow* window : windows.values() + gone.values())
        if (window->monitor().display == display)
            window->setSurface(pixels, info);
}

void MonitorWindows::monitorsChanged(const QVector<GuestMonitor>& list)
{
    monitors = list;
    // The guest's first monitor as a window showed it: full screen's sizes are not the window's.
    if (!list.isEmpty() && !first->isFullScreen())
        startSize = list.first().rect.size();
    // The only monitor of its surface is all of it: a new surface shows whole before the guest's
    // list of monitors follows it.
    bool alone = true;
    for (int i = 1; i < list.size(); ++i)
        alone = alone && list[i].display != list.first().display;
    first->setMonitorRect(alone ? QRect() : list.first().rect);
    QMap<int, MonitorWindow*> kept;
    for (int i = 1; i < list.size(); ++i) {
        const GuestMonitor& monitor = list[i];
        if (kept.contains(monitor.id))
            continue; // one window per monitor, whatever the list says
        MonitorWindow* window = windows.take(monitor.id);
        if (!window)
            window = gone.take(monitor.id);
        if (!window) {
            window = new MonitorWindow(session, first);
            window->setWindowTitle(QStringLiteral("%1 (%2)").arg(first->windowTitle()).arg(monitor.id + 1));
            window->setWindowIcon(first->windowIcon());
            window->setSnapToFit(follows);
            window->setServerMouse(serverMouse);
            window->installEventFilter(this);
            connect(window, &MonitorWindow::closedByUserChanged, &reportTimer, qOverload<>(&QTimer::start));
        }
        window->setMonitor(monitor);
        const Surface surface = surfaces.value(monitor.display);
        window->setSurface(surface.pixels, surface.info);
        kept.insert(monitor.id, window);
        place(window);
    }
    // Monitors the guest turned off take their windows along, unless they come back at once: a
    // guest that applies a configuration may turn its outputs off and on again.
    for (auto it = windows.begin(); it != windows.end(); ++it)
        gone.insert(it.key(), it.value());
    windows = kept;
    if (!gone.isEmpty())
        goneTimer.start();
    // A guest that changes its size by itself is followed by a window the user has not sized.
    if (!firstSized)
        fitFirst();
    reportTimer.start();
}

void MonitorWindows::place(MonitorWindow* window)
{
    const GuestMonitor& monitor = window->monitor();
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (first->isFullScreen() && monitor.screen >= 0 && monitor.screen < screens.size()) {
        if (window->closedByUser)
            return;
        QScreen* screen = screens[monitor.screen];
        window->fullScreenPlaced = true;
        if (window->isFullScreen() && window->screen() == screen)
            return;
        window->setGeometry(screen->geometry());
        if (window->windowHandle())
            window->windowHandle()->setScreen(screen);
        if (first->isVisible())
            window->showFullScreen();
        return;
    }
    if (window->closedByUser || window->isVisible() || !first->isVisible())
        return;
    window->fitSize = fittingSize(monitor.rect.size(), window);
    window->resize(window->fitSize);
    window->move(besideFirst(monitor, window->fitSize));
    window->show();
}

QPoint MonitorWindows::besideFirst(const GuestMonitor& monitor, const QSize& size) const
{
    // Where the guest has the monitor from its first one, at the first window's scale.
    const QRect firstMonitor = monitors.isEmpty() ? QRect() : monitors.first().rect;
    const QRect firstPlace = first->QWidget::geometry();
    QPointF offset = monitor.rect.topLeft() - firstMonitor.topLeft();
    if (!firstMonitor.isEmpty())
        offset = QPointF(offset.x() * firstPlace.width() / firstMonitor.width(),
                         offset.y() * firstPlace.height() / firstMonitor.height());
    // Positions of top-level windows include the frame, assumed the same as the first window's.
    const QPoint frame = firstPlace.topLeft() - first->frameGeometry().topLeft();
    const QSize outer = size + first->frameGeometry().size() - firstPlace.size();
    QPoint at = firstPlace.topLeft() + offset.toPoint() - frame;
    if (const QScreen* screen = first->screen()) {
        const QRect room = screen->availableGeometry();
        at.setX(qMax(room.left(), qMin(at.x(), room.right() + 1 - outer.width())));
        at.setY(qMax(room.top(), qMin(at.y(), room.bottom() + 1 - outer.height())));
    }
    return at;
}

void MonitorWindows::fitFirst()
{
    if (!follows || firstSized || first->isFullScreen() || monitors.isEmpty())
        return;
    fitSize = fittingSize(monitors.first().rect.size(), first);
    if (first->size() != fitSize)
        first->resize(fitSize);
    // From now on the window's size is what the guest is asked for, whatever the window system
    // makes of it (a window manager's decorations and placement, a screen too small).
    fitted = true;
}

void MonitorWindows::followsChanged(bool on)
{
    follows = on;
    first->setSnapToFit(on);
    for (MonitorWindow* window : qAsConst(windows))
        window->setSnapToFit(on);
    fitFirst();
    reportTimer.start();
}

void MonitorWindows::fullScreenLeft()
{
    // One window and one guest monitor again: those full screen gave go off.
    for (MonitorWindow* window : qAsConst(windows)) {
        if (window->fullScreenPlaced && !window->closedByUser) {
            window->closedByUser = true;
            window->hide();
        }
    }
}

bool MonitorWindows::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Resize:
        // A window's own fitting is not a wish of the user's. The window's size, not the event's:
        // when the window system reports several changes at once, Qt delivers the first one's size
        // with the window already at the last one, and sends nothing for the others.
        if (watched == first) {
            if (restoreSize.isValid() && !first->isFullScreen() && first->size() != restoreSize)
                first->resize(std::exchange(restoreSize, QSize()));
            else if (first->size() == restoreSize)
                restoreSize = QSize();
            if (static_cast<QResizeEvent*>(event)->oldSize().isValid() && first->size() != fitSize)
                firstSized = true;
        } else if (auto* window = qobject_cast<MonitorWindow*>(watched)) {
            if (static_cast<QResizeEvent*>(event)->oldSize().isValid() && window->size() != window->fitSize &&
                !window->isFullScreen())
                window->sizedByUser = true;
        }
        // At once: the guest is asked once the size has settled, counted from now, not from after
        // the paint at this size.
        report();
        break;
    case QEvent::Show:
        if (watched == first) {
            shownWindowed = shownWindowed || !first->isFullScreen();
            for (MonitorWindow* window : qAsConst(windows))
                place(window);
            if (first->windowHandle())
                connect(first->windowHandle(), &QWindow::screenChanged, &reportTimer,
                        qOverload<>(&QTimer::start), Qt::UniqueConnection);
        }
        reportTimer.start();
        break;
    case QEvent::Hide:
        if (watched == first)
            for (MonitorWindow* window : qAsConst(windows))
                window->hide();
        reportTimer.start();
        break;
    case QEvent::WindowStateChange:
        if (watched == first) {
            const bool full = first->isFullScreen();
            if (wasFullScreen && !full) {
                fullScreenLeft();
                // A start in full screen has no earlier window to go back to: the guest's size
                // as it was before full screen, where the screen has room.
                if (!shownWindowed && startSize.isValid()) {
                    fitSize = fittingSize(startSize, first);
                    first->resize(fitSize);
                    // A window manager that restores its own idea of the earlier size may do so
                    // after this: the size is asked for once more after its first resize.
                    restoreSize = fitSize;
                }
                // The guest comes back to the window's size, and does not lead it meanwhile.
                firstSized = true;
            }
            wasFullScreen = full;
            shownWindowed = shownWindowed || (first->isVisible() && !full);
        }
        reportTimer.start();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void MonitorWindows::report()
{
    ClientLayout layout;
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (const QScreen* screen : screens)
        layout.screens.append(devicePixels(screen));
    layout.screen = qMax(0, screens.indexOf(first->screen()));
    const ClientWindow::State state = stateOf(first);
    layout.fullScreen = first->isFullScreen() && state == ClientWindow::Shown;
    const int firstId = monitors.isEmpty() ? 0 : monitors.first().id;
    const bool wish = firstSized || fitted || layout.fullScreen;
    layout.windows.append({firstId, wish ? devicePixels(first) : QSize(), state});
    for (MonitorWindow* window : qAsConst(windows)) {
        const ClientWindow::State shown = window->closedByUser ? ClientWindow::Closed : stateOf(window);
        layout.windows.append(
            {window->monitor().id, window->sizedByUser ? devicePixels(window) : QSize(), shown});
    }
    session->setClientLayout(layout);
}
