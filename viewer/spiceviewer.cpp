#include "spiceviewer.h"

#include "agent.h"
#include "input.h"
#include "keycodes.h"
#include "log.h"
#include "scaler.h"
#include "surface_format.h"
#include "transferstrip.h"
#include "ui_spiceviewer.h"
#include "x11keyboard.h"

#include <QBitmap>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QDropEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <exception>

namespace
{

// Every typed key, passwords included: off unless QT_LOGGING_RULES="spice-client.keys.debug=true".
Q_LOGGING_CATEGORY(lcKeys, "spice-client.keys", QtInfoMsg)

// Changes are gathered for one frame of a 60 Hz display: longer would drop frames of a
// 30 frames-per-second stream, shorter would only repaint more often than anyone can see.
constexpr int kRepaintBatchMs = 16;
// Changed rectangles are kept rounded out to a grid of this many surface pixels. The regions then
// stay small: their bands follow the grid instead of every rectangle's edges (a hundred scattered
// rectangles made a region of hundreds of slivers, each rescaled on its own with its filter
// margin), for the price of rescaling and repainting a little around each change.
constexpr int kRegionGrid = 16;
// Past this many rectangles a region costs more to walk than its bounding box costs to rescale.
constexpr int kMaxStaleRects = 512;

QRect onGrid(const QRect& r, const QSize& surface)
{
    const QPoint topLeft(r.left() & ~(kRegionGrid - 1), r.top() & ~(kRegionGrid - 1));
    const QPoint bottomRight(r.right() | (kRegionGrid - 1), r.bottom() | (kRegionGrid - 1));
    return QRect(topLeft, bottomRight) & QRect(QPoint(0, 0), surface);
}

// Shown in the title while the pointer is held; the combination is the one remote viewers use.
const char* const kGrabHint = " (Press Shift+F12 to release pointer)";

// Splits a key from keyForEvent() into the Qt key and the keypad flag that picks its table.
void setKey(KM_EVENT& event, int key)
{
    event.key = key & ~int(Qt::KeypadModifier);
    event.keypad = (key & int(Qt::KeypadModifier)) != 0;
}

} // namespace

SpiceViewer::SpiceViewer(QWidget* parent) : QWidget(parent), ui(new Ui::SpiceViewer)
{
    ui->setupUi(this);

    setAttribute(Qt::WA_NativeWindow);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_MouseTracking);
    // Every paint covers its whole rectangle, picture or black.
    setAttribute(Qt::WA_OpaquePaintEvent);
    installEventFilter(this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    overlayFrame = new QFrame(this);
    overlayFrame->setStyleSheet(QStringLiteral("background: rgba(255, 255, 255, 0.75);"));
    overlayFrame->setFixedHeight(152);
    overlayFrame->setSizePolicy(QSizePolicy::MinimumExpanding, QSizePolicy::Fixed);
    layout->addWidget(overlayFrame, 0, Qt::AlignTop);
    // The bar has no actions yet; it stays hidden so that it never covers the remote screen.
    overlayFrame->setVisible(false);

    auto* barLayout = new QHBoxLayout(overlayFrame);
    barLayout->setContentsMargins(0, 0, 0, 0);
    barLayout->setSpacing(28);
    barLayout->setAlignment(Qt::AlignCenter);
    for (int i = 0; i < 2; ++i) {
        auto* button = new QPushButton(this);
        button->setFixedSize(214, 120);
        barLayout->addWidget(button);
    }

    setAcceptDrops(true);
    transferStrip = new TransferStrip(this);

    updateTimer = new QTimer(this);
    updateTimer->setSingleShot(true);
    connect(updateTimer, &QTimer::timeout, this, &SpiceViewer::processDirtyRegion);

    physicalKeys = x11KeycodesAreEvdev();
    if (physicalKeys)
        Logger(INFO) << "Keys are sent by physical position";
    else
        Logger(INFO) << "Keys are sent by their symbols: no evdev keycodes";
}

SpiceViewer::~SpiceViewer()
{
    picture = QImage();
    delete surfaceImage;
    surfaceImage = nullptr;
    // The session record owns the block; it is unmapped there, exactly once.
    if (agent)
        release_surface_block(agent);
    shmData = nullptr;
    delete ui;
}

void SpiceViewer::setTitle(const QString& title)
{
    sessionTitle = title;
    setWindowTitle(grabbed ? title + kGrabHint : title);
}

void SpiceViewer::mouseModeChanged(bool server)
{
    serverMouse = server;
    if (!server)
        releasePointer();
}

void SpiceViewer::closeWindow()
{
    close();
}

void SpiceViewer::showConnectionError(const QString& text)
{
    connectionError = text;
    update();
}

void SpiceViewer::screenSettingsChanged(void* pixels, ScreenInitInfo& info)
{
    shmData = static_cast<uchar*>(pixels);
    screenInfo = info;
    delete surfaceImage;
    surfaceImage = nullptr;
    picture = QImage();
    scaledPicture = QImage();
    staleRegion = QRegion();
    dirtyRegion = QRegion();
    geometry = PictureGeometry{};

    if (shmData && (info.width <= 0 || info.height <= 0))
        shmData = nullptr;
    if (shmData) {
        QImage::Format format = qtImageFormat(info.pixelFormat);
        if (format == QImage::Format_Invalid)
            Logger(ERROR) << "Unsupported surface format " << info.pixelFormat << ", shown black";
        else
            surfaceImage = new QImage(shmData, info.width, info.height, info.stride, format);
    }
    update();
}

void SpiceViewer::updateImage(Rect* rect)
{
    if (!shmData)
        return;

    if (!surfaceImage)
        return;

    if (!rect || picture.isNull()) {
        if (surfaceImage->format() == QImage::Format_RGB32)
            picture =
                QImage(shmData, screenInfo.width, screenInfo.height, screenInfo.stride, QImage::Format_RGB32);
        else
            picture = surfaceImage->convertToFormat(QImage::Format_RGB32);
        connectionError.clear();
        scaledPicture = QImage();
        staleRegion = QRegion();
        update();
        return;
    }

    const qint64 right = qint64(rect->x) + rect->width;
    const qint64 bottom = qint64(rect->y) + rect->height;
    if (rect->x < 0 || rect->y < 0 || rect->width <= 0 || rect->height <= 0 || right > screenInfo.width ||
        bottom > screenInfo.height) {
        qWarning() << "Invalid rect coordinates:" << rect->x << rect->y << rect->width << rect->height;
        return;
    }
    const QRect changed(rect->x, rect->y, rect->width, rect->height);

    if (surfaceImage->format() != QImage::Format_RGB32) {
        const int bpp = surfaceImage->depth() / 8;
        const QImage part(shmData + qint64(changed.y()) * screenInfo.stride + qint64(changed.x()) * bpp,
                          changed.width(), changed.height(), screenInfo.stride, surfaceImage->format());
        QPainter painter(&picture);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(changed.topLeft(), part);
    }

    const QRect tiles = onGrid(changed, picture.size());
    const bool quiet = !lastChange.isValid() || lastChange.elapsed() >= kRepaintBatchMs;
    lastChange.start();
    if (quiet) {
        // What the last burst of changes was: a whole frame tells that more frames are coming.
        wholeFrames = burstRegion.rectCount() == 1 && burstRegion.boundingRect() == picture.rect();
        burstRegion = QRegion();
    }
    burstRegion += tiles;
    if (burstRegion.rectCount() > kMaxStaleRects)
        burstRegion = burstRegion.boundingRect();
    dirtyRegion += tiles;
    staleRegion += tiles;
    if (staleRegion.rectCount() > kMaxStaleRects)
        staleRegion = staleRegion.boundingRect();
    // Once a batch covers the whole surface (a full-screen frame has arrived, in bands), waiting
    // longer only delays it: it goes out now, unless the last batch went out less than a batch ago.
    if (dirtyRegion.rectCount() == 1 && dirtyRegion.boundingRect() == picture.rect() &&
        (!lastFlush.isValid() || lastFlush.elapsed() >= kRepaintBatchMs)) {
        updateTimer->stop();
        processDirtyRegion();
        return;
    }
    if (updateTimer->isActive())
        return;
    // A change after a quiet spell (a typed character, a click's response) is shown at once: as
    // soon as the changes that arrived with it are in (the timer fires once the event loop has
    // handled what is already waiting). What follows within the batch time joins the next batch.
    // While whole frames keep coming, the first band of the next one is held instead: it alone
    // would show a torn frame.
    updateTimer->start(quiet && !wholeFrames ? 0 : kRepaintBatchMs);
}

void SpiceViewer::processDirtyRegion()
{
    if (dirtyRegion.isEmpty())
        return;
    // Before the first paint there is no scale to map with; that paint covers everything anyway.
    for (const QRect& r : repaintRects(dirtyRegion, geometry))
        update(r);
    dirtyRegion = QRegion();
    lastFlush.start();
}

void SpiceViewer::refreshScaledPicture()
{
    geometry = fitPicture(picture.size(), size());
    // At 1:1 the picture is shown as it is: no scaled copy to keep up to date.
    if (!geometry.isValid() || geometry.scaledSize == picture.size()) {
        scaledPicture = QImage();
        staleRegion = QRegion();
        return;
    }
    if (scaledPicture.size() != geometry.scaledSize) {
        scaledPicture = QImage(geometry.scaledSize, QImage::Format_RGB32);
        scaleRegion(picture, scaledPicture, scaledPicture.rect());
    } else {
        for (const QRect& r : staleRegion)
            scaleRegion(picture, scaledPicture, affectedTargetRect(r, picture.size(), scaledPicture.size()));
    }
    staleRegion = QRegion();
}

bool SpiceViewer::pictureShown() const
{
    return !picture.isNull() && geometry.isValid();
}

void SpiceViewer::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    const QRect area = event->rect();
    if (picture.isNull()) {
        painter.fillRect(area, Qt::black);
        painter.setPen(Qt::white);
        painter.drawText(rect().adjusted(16, 16, -16, -16), Qt::AlignCenter | Qt::TextWordWrap,
                         connectionError);
        return;
    }
    refreshScaledPicture();
    const QImage& shownImage = scaledPicture.isNull() ? picture : scaledPicture;
    const QRect target = geometry.isValid() ? geometry.pictureRect() : QRect();
    const QRect shown = area & target;
    // Only the bars need black; the picture covers the rest.
    for (const QRect& bar : QRegion(area).subtracted(shown))
        painter.fillRect(bar, Qt::black);
    if (!shown.isEmpty())
        painter.drawImage(shown.topLeft(), shownImage,
                          shown.translated(-geometry.xOffset, -geometry.yOffset));
}

void SpiceViewer::clearDisplay()
{
    Logger(INFO) << "Clearing display content";
    picture = QImage();
    scaledPicture = QImage();
    staleRegion = QRegion();
    geometry = PictureGeometry{}; // nothing to point at until a picture is painted again
    update();
}

void SpiceViewer::updateMask(const QPoint& point)
{
    QBitmap bitmap(size());
    QPainter painter(&bitmap);
    painter.fillRect(bitmap.rect(), Qt::black);
    painter.fillRect(QRect(point, point), Qt::white);
    painter.end();
    setMask(bitmap);
}

void SpiceViewer::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    event->ignore();
    hide();
}

void SpiceViewer::showEvent(QShowEvent* event)
{
    setAttribute(Qt::WA_NativeWindow);
    QWidget::showEvent(event);
}

void SpiceViewer::hideEvent(QHideEvent* event)
{
    releasePointer();
    releaseButtons();
    releaseHeldKeys();
    QWidget::hideEvent(event);
}

void SpiceViewer::forward(KM_EVENT& event)
{
    if (agent)
        syncKeyMouse(event, agent);
}

int SpiceViewer::keyForEvent(QKeyEvent* keyEvent, bool press)
{
    const quint32 scanCode = keyEvent->nativeScanCode();
    // Keypad keys share Qt's key codes with the main block; the flag rides along with the key
    // (as QKeySequence packs it) so that the release goes through the same table as the press.
    const int key = keyEvent->key() | int(keyEvent->modifiers() & Qt::KeypadModifier);
    if (scanCode == 0)
        return key;
    // A release must undo what its press sent, even when the layout now reads the key differently
    // (Shift let go before the key, a dead key, a layout switch).
    if (press) {
        auto held = heldKeys.constFind(scanCode);
        if (held != heldKeys.constEnd())
            return *held;
        heldKeys.insert(scanCode, key);
        return key;
    }
    if (keyEvent->isAutoRepeat())
        return heldKeys.value(scanCode, key);
    auto held = heldKeys.find(scanCode);
    if (held == heldKeys.end())
        return key;
    int pressed = *held;
    heldKeys.erase(held);
    return pressed;
}

void SpiceViewer::keyRecord(QKeyEvent* keyEvent, bool press, KM_EVENT& record)
{
    record.type = press ? QEvent::KeyPress : QEvent::KeyRelease;
    record.modifiers = uint32_t(keyEvent->modifiers());
    // The physical key, whatever the local layout makes of it: the remote layout decides.
    record.scancode = physicalKeys ? x11KeycodeToScancode(keyEvent->nativeScanCode()) : 0;
    if (record.scancode)
        setKey(record, keyEvent->key());
    else
        setKey(record, keyForEvent(keyEvent, press));
}

void SpiceViewer::releaseHeldKeys()
{
    // The session knows which keys the server saw pressed; the window only forgets its own memory.
    heldKeys.clear();
    release_pressed_keys(agent);
}

bool SpiceViewer::eventFilter(QObject* watched, QEvent* event)
{
    // The filter is installed early in the constructor: child events arrive before the bar exists.
    if (watched != this || !overlayFrame)
        return QObject::eventFilter(watched, event);

    KM_EVENT record{};
    enum { None, Pointer, Plain } kind = None;
    QPoint position;

    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        record.type = event->type();
        record.buttons = int(mouse->buttons());
        record.button = int(mouse->button());
        position = mouse->pos();
        kind = Pointer;
        break;
    }
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        position = mouse->pos();
        if (!position.isNull() && position.y() > 16 && position.y() > overlayFrame->height() &&
            overlayFrame->isVisible())
            overlayFrame->setVisible(false);
        record.type = event->type();
        record.buttons = int(mouse->buttons());
        const QPoint surfacePoint = windowToSurface(position, geometry);
        record.x = surfacePoint.x();
        record.y = surfacePoint.y();
        kind = Pointer;
        break;
    }
    case QEvent::Wheel: {
        auto* wheel = static_cast<QWheelEvent*>(event);
        record.type = event->type();
        record.wheel_up = wheel->angleDelta().y() > 0;
        record.buttons = int(QGuiApplication::mouseButtons());
        wheel->accept();
        kind = Plain;
        break;
    }
    case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        qCDebug(lcKeys) << "keyEvent->key() " << key->key() << key->modifiers();
        if (grabbed && key->key() == Qt::Key_F12 && (key->modifiers() & Qt::ShiftModifier)) {
            releasePointer();
            swallowF12 = true;
            return true;
        }
        if (key->key() == Qt::Key_Escape && transferStrip->copying()) {
            Q_EMIT cancelCopyRequested();
            swallowEscape = true;
            return true;
        }
        keyRecord(key, true, record);
        kind = Plain;
        break;
    }
    case QEvent::KeyRelease: {
        auto* key = static_cast<QKeyEvent*>(event);
        if (swallowF12 && key->key() == Qt::Key_F12) {
            swallowF12 = key->isAutoRepeat();
            return true;
        }
        if (swallowEscape && key->key() == Qt::Key_Escape) {
            swallowEscape = key->isAutoRepeat();
            return true;
        }
        // A held key repeats its press only, as a PC keyboard does.
        if (key->isAutoRepeat())
            return true;
        keyRecord(key, false, record);
        kind = Plain;
        break;
    }
    case QEvent::Leave:
        overlayFrame->setVisible(false);
        break;
    default:
        break;
    }

    if (overlayFrame->isVisible())
        return QObject::eventFilter(watched, event);
    if (kind == Pointer) {
        forwardPointer(record, position);
        return true;
    }
    if (kind == Plain) {
        forward(record);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void SpiceViewer::forwardPointer(KM_EVENT& record, const QPoint& position)
{
    // Clicks and moves on the black bars belong to no remote pixel; but a drag that started on
    // the picture goes on at its edge, and its release is never lost.
    const bool inside = pictureShown() && geometry.pictureRect().contains(position);
    const int button = record.button;
    record.buttons &= ~grabbingButtons; // held for the viewer, not for the guest
    switch (record.type) {
    case QEvent::MouseMove:
        if (grabbed) {
            // Server mode: motion as the distance from the centre, where the pointer is kept.
            const QPoint delta = position - rect().center();
            if (delta.isNull())
                return; // the warp's own motion
            QCursor::setPos(mapToGlobal(rect().center()));
            record.relative = true;
            record.x = delta.x();
            record.y = delta.y();
            forward(record);
        } else if (!serverMouse && (inside || (forwardedButtons && pictureShown()))) {
            setSurfacePoint(record, position);
            forward(record);
        }
        return;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (serverMouse && !grabbed) {
            // The click that takes the pointer is the viewer's, not the guest's.
            if (inside) {
                grabPointer();
                grabbingButtons |= button;
            }
            return;
        }
        if (inside || grabbed) {
            forwardedButtons |= button;
            forward(record);
        }
        return;
    case QEvent::MouseButtonRelease:
        if (grabbingButtons & button) {
            grabbingButtons &= ~button;
            return;
        }
        if (!(forwardedButtons & button))
            return;
        forwardedButtons &= ~button;
        if (!inside && !grabbed && !serverMouse && pictureShown()) {
            KM_EVENT move{};
            move.type = QEvent::MouseMove;
            move.buttons = record.buttons | button;
            setSurfacePoint(move, position);
            forward(move);
        }
        forward(record);
        return;
    }
}

void SpiceViewer::setSurfacePoint(KM_EVENT& record, const QPoint& position) const
{
    const QRect picture = geometry.pictureRect();
    const QPoint clamped(qBound(picture.left(), position.x(), picture.right()),
                         qBound(picture.top(), position.y(), picture.bottom()));
    const QPoint surfacePoint = windowToSurface(clamped, geometry);
    record.x = surfacePoint.x();
    record.y = surfacePoint.y();
}

void SpiceViewer::releaseButtons()
{
    for (int button : {int(Qt::LeftButton), int(Qt::RightButton), int(Qt::MiddleButton)}) {
        if (!(forwardedButtons & button))
            continue;
        forwardedButtons &= ~button;
        KM_EVENT release{};
        release.type = QEvent::MouseButtonRelease;
        release.button = button;
        release.buttons = forwardedButtons;
        forward(release);
    }
    grabbingButtons = 0;
}

void SpiceViewer::grabPointer()
{
    grabbed = true;
    setCursor(Qt::BlankCursor);
    grabMouse();
    QCursor::setPos(mapToGlobal(rect().center()));
    setWindowTitle(sessionTitle + kGrabHint);
    Logger(INFO) << "Pointer held by the window; Shift+F12 releases it";
}

void SpiceViewer::releasePointer()
{
    if (!grabbed)
        return;
    grabbed = false;
    releaseMouse();
    unsetCursor();
    setWindowTitle(sessionTitle);
    Logger(INFO) << "Pointer released";
}

void SpiceViewer::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange) {
        if (isActiveWindow()) {
            grabKeyboard();
        } else {
            releasePointer();
            releaseButtons();
            ungrabKeyboard();
        }
    }
    QWidget::changeEvent(event);
}

void SpiceViewer::grabKeyboard()
{
    Logger(DEBUG) << "Window activated";
    int result = x11GrabKeyboard(winId());
    if (result == kNoX11Display)
        return;
    Logger(INFO) << "XGrabKeyboard result:" << result;
    switch (result) {
    case 0: // GrabSuccess
        break;
    case 1:
        Logger(INFO) << "Keyboard already grabbed by another client";
        break;
    case 2:
        Logger(INFO) << "Invalid time parameter";
        break;
    case 3:
        Logger(INFO) << "Window is not viewable";
        break;
    case 8:
        Logger(INFO) << "Bad match - window does not correspond to proper display";
        break;
    default:
        Logger(INFO) << "Unknown error grabbing keyboard:" << result;
        break;
    }
}

void SpiceViewer::ungrabKeyboard()
{
    Logger(DEBUG) << "Window deactivated";
    // Nothing may stay pressed on the remote machine while the user works elsewhere.
    releaseHeldKeys();
    if (x11UngrabKeyboard())
        Logger(INFO) << "XUngrabKeyboard called";
}

void SpiceViewer::sendKey(QString key)
{
    try {
        inject_key(agent, key);
    } catch (const std::exception& error) {
        Logger(INFO) << "sendKey error " << error.what();
    }
}

void SpiceViewer::onReactivate(QString key)
{
    Logger(INFO) << "onReactivate " << key;
    // The session sends it once its inputs channel is open; until then it waits there.
    sendKey(key);
}

int SpiceViewer::checkReconnect()
{
    Logger(INFO) << "Checking SPICE connection status";
    if (session_alive(agent)) {
        if (session_phase(agent) == SessionPhase::Connecting)
            Logger(INFO) << "SPICE session is still connecting; left alone";
        else
            Logger(INFO) << "SPICE connection is active";
        return 1;
    }
    Logger(INFO) << "SPICE connection is inactive, attempting to reconnect";
    if (!agent) {
        Logger(ERROR) << "SPICE agent not initialized";
        return 0;
    }
    clearDisplay();
    int result = reconnect_spice(agent);
    Logger(INFO) << "Reconnect result: " << result;
    return result;
}

namespace
{
// The local files among dropped URLs, as a file manager sends them (text/uri-list).
QStringList localFiles(const QMimeData* data)
{
    QStringList paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    return paths;
}
} // namespace

void SpiceViewer::dragEnterEvent(QDragEnterEvent* event)
{
    if (!localFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void SpiceViewer::dragMoveEvent(QDragMoveEvent* event)
{
    if (!localFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void SpiceViewer::dropEvent(QDropEvent* event)
{
    const QStringList paths = localFiles(event->mimeData());
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    if (transferStrip->copying()) {
        transferStrip->note(tr("A copy is running already; drop the files again when it has ended"));
        return;
    }
    transferStrip->started(paths.size());
    Q_EMIT filesDropped(paths);
}

void SpiceViewer::transferProgress(qint64 done, qint64 total)
{
    transferStrip->progress(done, total);
}

void SpiceViewer::transferFinished(bool ok, const QString& text)
{
    transferStrip->finished(ok, text);
}
