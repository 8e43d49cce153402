#include "spiceviewer.h"

#include "agent.h"
#include "input.h"
#include "log.h"
#include "scaler.h"
#include "surface_format.h"
#include "ui_spiceviewer.h"
#include "x11keyboard.h"

#include <QBitmap>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLoggingCategory>
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

    updateTimer = new QTimer(this);
    updateTimer->setSingleShot(true);
    connect(updateTimer, &QTimer::timeout, this, &SpiceViewer::processDirtyRegion);
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
    setWindowTitle(title);
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
    if (!updateTimer->isActive())
        updateTimer->start(kRepaintBatchMs);
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
        record.type = event->type();
        setKey(record, keyForEvent(key, true));
        record.modifiers = uint32_t(key->modifiers());
        qCDebug(lcKeys) << "keyEvent->key() " << key->key() << key->modifiers();
        kind = Plain;
        break;
    }
    case QEvent::KeyRelease: {
        auto* key = static_cast<QKeyEvent*>(event);
        record.type = event->type();
        setKey(record, keyForEvent(key, false));
        record.modifiers = uint32_t(key->modifiers());
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
        // Clicks and moves on the black bars are swallowed; nothing there belongs to the remote screen.
        if (pictureShown() && geometry.pictureRect().contains(position))
            forward(record);
        return true;
    }
    if (kind == Plain) {
        forward(record);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void SpiceViewer::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange) {
        if (isActiveWindow())
            grabKeyboard();
        else
            ungrabKeyboard();
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
