#include "monitorwindow.h"

#include "x11keyboard.h"
#include "x11window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWheelEvent>
#include <utility>

MonitorWindow::MonitorWindow(SessionClient* session, QWidget* keys)
    : QWidget(nullptr), session(session), keys(keys)
{
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_MouseTracking);
    setFocusPolicy(Qt::StrongFocus);
}

void MonitorWindow::setMonitor(const GuestMonitor& monitor)
{
    const bool moved = monitor.display != shown.display || monitor.rect != shown.rect;
    shown = monitor;
    if (moved)
        rebuild();
}

void MonitorWindow::setSurface(const SurfacePixels& block, const ScreenInitInfo& surface)
{
    // The old block goes only once the picture reads the new one.
    const SurfacePixels old = std::exchange(pixels, block);
    info = surface;
    rebuild();
}

void MonitorWindow::setSnapToFit(bool on)
{
    snap = on;
    update();
}

void MonitorWindow::rebuild()
{
    picture = QImage();
    const QRect part = shown.rect & QRect(0, 0, info.width, info.height);
    const QImage::Format format = qtImageFormat(info.pixelFormat);
    if (pixels && !part.isEmpty() && format != QImage::Format_Invalid) {
        const QImage surface(pixels.get(), info.width, info.height, info.stride, format);
        if (format == QImage::Format_RGB32)
            picture = QImage(pixels.get() + qint64(part.y()) * info.stride + qint64(part.x()) * 4,
                             part.width(), part.height(), info.stride, QImage::Format_RGB32);
        else
            picture = surface.copy(part).convertToFormat(QImage::Format_RGB32);
    }
    update();
}

void MonitorWindow::surfaceChanged(const Rect& rect)
{
    const QRect changed = QRect(rect.x, rect.y, rect.width, rect.height) & shown.rect;
    if (picture.isNull() || changed.isEmpty())
        return;
    const QRect local = changed.translated(-shown.rect.topLeft());
    const QImage::Format format = qtImageFormat(info.pixelFormat);
    if (format != QImage::Format_RGB32) {
        const QImage part(pixels.get() + qint64(changed.y()) * info.stride +
                              qint64(changed.x()) * (QImage::toPixelFormat(format).bitsPerPixel() / 8),
                          changed.width(), changed.height(), info.stride, format);
        QPainter painter(&picture);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(local.topLeft(), part);
    }
    if (!geometry.isValid()) {
        update();
        return;
    }
    for (const QRect& r : repaintRects(QRegion(local), geometry))
        update(r);
}

void MonitorWindow::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    geometry = fitPicture(picture.size(), size(), snap);
    const QRect target = geometry.isValid() ? geometry.pictureRect() : QRect();
    for (const QRect& bar : QRegion(event->rect()).subtracted(target))
        painter.fillRect(bar, Qt::black);
    if (target.isEmpty())
        return;
    if (target.size() == picture.size()) {
        painter.drawImage(target.topLeft(), picture);
        return;
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, picture);
}

void MonitorWindow::closeEvent(QCloseEvent* event)
{
    // The guest monitor goes off; the window goes once the guest says so.
    event->ignore();
    hide();
    closedByUser = true;
    Q_EMIT closedByUserChanged();
}

void MonitorWindow::hideEvent(QHideEvent* event)
{
    session->releaseAll();
    QWidget::hideEvent(event);
}

void MonitorWindow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange) {
        if (isActiveWindow()) {
            // After the window that lost activation has let go of the keyboard.
            QTimer::singleShot(0, this, &MonitorWindow::followPointer);
        } else {
            session->releaseAll();
            wheelSteps.reset();
            if (!QGuiApplication::focusWindow())
                x11UngrabKeyboard();
        }
    }
    QWidget::changeEvent(event);
}

bool MonitorWindow::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        // The first window's hotkeys, menu and key ledger serve every window.
        QCoreApplication::sendEvent(keys, event);
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        pointer(event->type(), int(mouse->button()), mouse->pos());
        return true;
    }
    case QEvent::Wheel:
        session->wheel(wheelSteps.add(static_cast<QWheelEvent*>(event)->angleDelta()));
        return true;
    case QEvent::Enter:
    case QEvent::Leave:
        followPointer();
        return QWidget::event(event);
    default:
        return QWidget::event(event);
    }
}

void MonitorWindow::followPointer()
{
    if (!isActiveWindow())
        return;
    // As the first window: held in full screen, in a window while the pointer is over it, so
    // that the window manager can move and resize it by its frame.
    if (isFullScreen() || x11PointerOver(this))
        x11GrabKeyboard(winId());
    else
        x11UngrabKeyboard();
}

void MonitorWindow::pointer(QEvent::Type type, int button, const QPoint& position)
{
    PointerState state;
    state.pictureShown = !picture.isNull() && geometry.isValid();
    const QRect target = state.pictureShown ? geometry.pictureRect() : QRect();
    state.inside = target.contains(position);
    state.serverMouse = serverMouse;
    state.heldButtons = session->heldButtons();
    const auto at = [&] {
        const QPoint clamped(qBound(target.left(), position.x(), target.right()),
                             qBound(target.top(), position.y(), target.bottom()));
        return windowToSurface(clamped, geometry) + shown.rect.topLeft();
    };
    switch (pointerAction(type, button, state)) {
    case PointerAction::PositionAt:
        session->pointerAt(at(), shown.display);
        return;
    case PointerAction::Press:
        session->button(button, true, type == QEvent::MouseButtonDblClick);
        return;
    case PointerAction::ReleaseAtEdge:
        session->pointerAt(at(), shown.display);
        session->button(button, false);
        return;
    case PointerAction::Release:
        session->button(button, false);
        return;
    default:
        // The pointer is held by the first window only (server mouse mode).
        return;
    }
}
