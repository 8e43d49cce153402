#include "spiceviewer.h"

#include "connection_settings.h"
#include "devicesmenu.h"

#include "keybar.h"
#include "localclipboard.h"
#include "log.h"
#include "monitorwindows.h"
#include "scaler.h"
#include "transferstrip.h"
#include "ui_spiceviewer.h"
#include "x11keyboard.h"
#include "x11window.h"

#include <QApplication>
#include <QBitmap>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QDropEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWindow>
#include <exception>
#include <utility>

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
// How often a kiosk that was taken away tries to come back: well within a second, yet slow enough
// not to fight a window manager that is still carrying out what it was asked.
constexpr int kKioskWatchMs = 200;
// Full screen done by the window itself: frameless and out of the window manager's hands, so that
// it neither decorates nor places it.
constexpr Qt::WindowFlags kCoverFlags =
    Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::WindowStaysOnTopHint;

// The words on black while there is no picture: centred, wrapped, this far from the edges.
constexpr int kWordsMargin = 16;
constexpr int kWordsFlags = Qt::AlignCenter | Qt::TextWordWrap;

QRect onGrid(const QRect& r, const QSize& surface)
{
    const QPoint topLeft(r.left() & ~(kRegionGrid - 1), r.top() & ~(kRegionGrid - 1));
    const QPoint bottomRight(r.right() | (kRegionGrid - 1), r.bottom() | (kRegionGrid - 1));
    return QRect(topLeft, bottomRight) & QRect(QPoint(0, 0), surface);
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

    // Hidden until called: in full screen by the pointer resting at the top edge.
    overlayFrame = new KeyBar(this);
    connect(overlayFrame, &KeyBar::scancodesRequested, this, [this](const QVector<uint>& codes) {
        if (session)
            session->sendScancodes(codes);
    });
    connect(overlayFrame, &KeyBar::leaveFullScreenRequested, this, [this] { setFullScreen(false); });
    connect(overlayFrame, &KeyBar::releasePointerRequested, this, &SpiceViewer::releasePointer);
    // Nothing is forwarded while the bar is shown: what is held now would never be let go.
    connect(overlayFrame, &KeyBar::slidIn, this, &SpiceViewer::releaseInput);
    connect(overlayFrame, &KeyBar::menuClosed, this, [this] {
        hotkeys.clear(); // the hotkey's release went to the menu
        // The menu took the keyboard grab and gives it up once hidden: it comes back here then.
        QTimer::singleShot(0, this, [this] {
            keyboardHeld = false;
            followPointer();
        });
    });
    overlayFrame->menu()->installEventFilter(this);

    setAcceptDrops(true);
    transferStrip = new TransferStrip(this);
    connect(transferStrip, &TransferStrip::cancelRequested, this, [this] {
        if (session)
            session->cancelCopy();
    });
    // The keys menu offers to cancel a file copy while one runs, as the strip does.
    QMenu* menu = overlayFrame->menu();
    QAction* cancelCopy = menu->addAction(tr("Cancel file copy"), this, [this] {
        if (session)
            session->cancelCopy();
    });
    connect(menu, &QMenu::aboutToShow, this,
            [this, cancelCopy] { cancelCopy->setVisible(session && session->copying()); });

    // After a failed connection the words offer to try again: a button below them, Return or
    // Enter, and the keys menu's entry.
    tryAgainButton = new QPushButton(tr("Try again"), this);
    tryAgainButton->setObjectName(QStringLiteral("tryAgain"));
    tryAgainButton->setFocusPolicy(Qt::NoFocus); // the keyboard stays with the window
    // An X window of its own: it can be found and clicked from outside (the end-to-end tests do).
    tryAgainButton->setAttribute(Qt::WA_NativeWindow);
    tryAgainButton->hide();
    connect(tryAgainButton, &QPushButton::clicked, this, &SpiceViewer::tryAgain);
    QAction* tryAgainEntry = menu->addAction(tr("Try again"), this, &SpiceViewer::tryAgain);
    connect(menu, &QMenu::aboutToShow, this,
            [this, tryAgainEntry] { tryAgainEntry->setVisible(canTryAgain); });

    updateTimer = new QTimer(this);
    updateTimer->setSingleShot(true);
    connect(updateTimer, &QTimer::timeout, this, &SpiceViewer::processDirtyRegion);
    kioskWatch = new QTimer(this);
    kioskWatch->setInterval(kKioskWatchMs);
    connect(kioskWatch, &QTimer::timeout, this, &SpiceViewer::reclaimKiosk);

    // Over the picture's top right corner; the pointer goes through it to the remote machine.
    deviceSign = new QLabel(this);
    deviceSign->setObjectName(QStringLiteral("deviceSign"));
    deviceSign->setStyleSheet(
        QStringLiteral("background: rgba(160, 0, 0, 200); color: white; padding: 3px 8px;"
                       "border-radius: 4px;"));
    deviceSign->setAttribute(Qt::WA_TransparentForMouseEvents);
    deviceSign->hide();

    // The name from the form until the session gives one.
    sessionTitle = defaultTitle = windowTitle();
}

SpiceViewer::~SpiceViewer()
{
    picture = QImage();
    delete surfaceImage;
    surfaceImage = nullptr;
    shmData = nullptr;
    delete ui;
}

void SpiceViewer::setSession(SessionClient* owner)
{
    session = owner;
    const bool byPosition = x11KeycodesAreEvdev();
    if (byPosition)
        Logger(INFO) << "Keys are sent by physical position";
    else
        Logger(INFO) << "Keys are sent by their symbols: no evdev keycodes";
    session->setKeysByPosition(byPosition);
    setTitle(session->title());
    connect(session, &SessionClient::titleChanged, this, &SpiceViewer::setTitle);
    connect(
        session, &SessionClient::surfaceCreated, this,
        [this](const SurfacePixels& pixels, ScreenInitInfo info) { screenSettingsChanged(pixels, info); });
    connect(session, &SessionClient::surfaceChanged, this, [this](Rect rect) { updateImage(&rect); });
    connect(session, &SessionClient::surfaceCleared, this, &SpiceViewer::clearDisplay);
    connect(session, &SessionClient::closed, this, &SpiceViewer::closeWindow);
    connect(session, &SessionClient::serverMouseChanged, this, &SpiceViewer::mouseModeChanged);
    connect(session, &SessionClient::connectionError, this, &SpiceViewer::showConnectionError);
    connect(session, &SessionClient::connectionBroke, this, &SpiceViewer::connectionBroke);
    connect(session, &SessionClient::passwordWanted, this, &SpiceViewer::askPassword);
    connect(session, &SessionClient::transferProgress, transferStrip, &TransferStrip::progress);
    connect(session, &SessionClient::transferFinished, transferStrip, &TransferStrip::finished);
    LocalClipboard::share(session, this);
    session->setWindowShown(isVisible());
    monitorWindows = new MonitorWindows(this, session);

    devicesMenu =
        new DevicesMenu(this, session, currentConnection(), new UsbMonitor(QStringLiteral("/sys"), -1, this));
    devicesMenu->setKiosk(kiosk);
    overlayFrame->menu()->addSeparator();
    overlayFrame->menu()->addMenu(devicesMenu->menu());
    connect(devicesMenu, &DevicesMenu::notice, transferStrip, &TransferStrip::note);
    connect(session, &SessionClient::devicesChanged, this, &SpiceViewer::showDeviceSign);
}

QStringList SpiceViewer::devicesShown() const
{
    return devicesMenu ? devicesMenu->describe() : QStringList();
}

void SpiceViewer::showDeviceSign(const DevicesStatus& status)
{
    QStringList signs;
    if (status.flags & DevicesStatus::Recording)
        signs << tr("● Microphone on");
    if (status.flags & DevicesStatus::CardInserted)
        signs << tr("Smartcard in use");
    const QString text = signs.join(QStringLiteral("  ·  "));
    if (text == deviceSign->text() && deviceSign->isVisible() == !text.isEmpty())
        return;
    Logger(INFO) << "Device sign: " << (text.isEmpty() ? QStringLiteral("none") : text);
    deviceSign->setText(text);
    deviceSign->setVisible(!text.isEmpty());
    placeDeviceSign();
}

void SpiceViewer::placeDeviceSign()
{
    deviceSign->adjustSize();
    deviceSign->move(width() - deviceSign->width() - 8, 8);
    deviceSign->raise();
}

QRect SpiceViewer::shownRect() const
{
    const QRect surface(0, 0, screenInfo.width, screenInfo.height);
    return monitorRect.isEmpty() ? surface : monitorRect & surface;
}

void SpiceViewer::setMonitorRect(const QRect& rect)
{
    if (rect == monitorRect)
        return;
    monitorRect = rect;
    if (!picture.isNull()) {
        picture = QImage();
        updateImage(nullptr);
    }
}

void SpiceViewer::setSnapToFit(bool on)
{
    snapToFit = on;
    update();
}

void SpiceViewer::setTitle(const QString& title)
{
    // A server without a name of its own (after a switch) gets the window's default back.
    sessionTitle = title.isEmpty() ? defaultTitle : title;
    setWindowTitle(grabbed ? sessionTitle + grabHint() : sessionTitle);
}

void SpiceViewer::mouseModeChanged(bool server)
{
    serverMouse = server;
    if (!server)
        releasePointer();
}

void SpiceViewer::closeWindow()
{
    if (kiosk)
        connectionDropped(QString());
    else
        close();
}

void SpiceViewer::showConnectionError(const QString& text)
{
    if (kiosk)
        return connectionDropped(text);
    connectionError = text + tr(".\nPress Enter or choose Try again.");
    // While the password dialog asks, answering it is the way to try again.
    offerTryAgain(!passwordDialog || !passwordDialog->isVisible());
    update();
}

void SpiceViewer::connectionBroke()
{
    // How the connection process ended is for the log: the user reads what it means to them.
    const QString words = tr("The connection to the remote machine broke");
    if (!kiosk)
        return showConnectionError(words);
    if (quitOnDisconnect)
        return; // the program ends with the connection
    connectionError = words + tr("; reconnecting…");
    update();
}

void SpiceViewer::offerTryAgain(bool on)
{
    // A kiosk tries again by itself.
    const bool offered = std::exchange(canTryAgain, on && !kiosk);
    if (canTryAgain)
        placeTryAgain();
    tryAgainButton->setVisible(canTryAgain);
    if (canTryAgain && !offered)
        Logger(INFO) << "The window offers to try again";
}

void SpiceViewer::placeTryAgain()
{
    // Centred just below the words.
    const QRect words = fontMetrics().boundingRect(wordsArea(), kWordsFlags, connectionError);
    const QSize size = tryAgainButton->sizeHint();
    tryAgainButton->setGeometry(
        QRect(QPoint((width() - size.width()) / 2, words.bottom() + size.height() / 2), size));
}

void SpiceViewer::tryAgain()
{
    if (!canTryAgain || !session)
        return;
    Logger(INFO) << "Trying again, as the user asked";
    const QString words = std::exchange(connectionError, tr("Connecting again…"));
    offerTryAgain(false);
    // The session starts afresh: the password is asked for again when the server wants one.
    if (!session->checkReconnect()) {
        connectionError = words;
        offerTryAgain(true);
    }
    update();
}

bool SpiceViewer::wordsEvent(QEvent* event)
{
    if (event->type() == QEvent::Resize && canTryAgain)
        placeTryAgain();
    if (event->type() == QEvent::Resize && deviceSign->isVisible())
        placeDeviceSign();
    if (!canTryAgain || (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease))
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
        return false;
    if (event->type() == QEvent::KeyPress && !key->isAutoRepeat())
        tryAgain();
    return true;
}

QRect SpiceViewer::wordsArea() const
{
    return rect().adjusted(kWordsMargin, kWordsMargin, -kWordsMargin, -kWordsMargin);
}

void SpiceViewer::askPassword(const QString& server, bool refused)
{
    // A hidden window (a launcher's -k) shows nobody a dialog: the refusal's words and log line stay.
    if (!isVisible()) {
        session->declinePassword();
        return;
    }
    if (!passwordDialog) {
        passwordDialog = new QInputDialog(this);
        passwordDialog->setWindowTitle(tr("Password - spice-client"));
        passwordDialog->setTextEchoMode(QLineEdit::Password);
        passwordDialog->setOkButtonText(tr("Connect"));
        passwordDialog->setWindowModality(Qt::WindowModal);
        connect(passwordDialog, &QInputDialog::textValueSelected, this, [this](const QString& password) {
            passwordDialog->setTextValue(QString());
            connectionError = tr("Connecting again…");
            update();
            session->answerPassword(password);
        });
        connect(passwordDialog, &QInputDialog::rejected, this, [this] {
            session->declinePassword();
            // The refusal's words stay, now with the way to try again.
            offerTryAgain(!connectionError.isEmpty());
        });
    }
    passwordDialog->setLabelText(refused ? tr("The password for %1 was refused. Password:").arg(server)
                                         : tr("The server %1 asks for a password:").arg(server));
    passwordDialog->setTextValue(QString());
    // The typed password goes to the dialog, not through the keyboard grab to the remote machine.
    ungrabKeyboard();
    offerTryAgain(false);
    passwordDialog->open();
    passwordDialog->raise();
    passwordDialog->activateWindow();
}

void SpiceViewer::connectionDropped(const QString& text)
{
    if (quitOnDisconnect) {
        // Said once, however many ways the loss is told.
        if (!std::exchange(quitting, true)) {
            Logger(INFO) << "Connection lost; the kiosk ends";
            QCoreApplication::exit(connectedOnce ? 0 : 1);
        }
        return;
    }
    // The screen stays covered: nothing of the desktop behind may show.
    connectionError = connectedOnce ? tr("The connection was lost. Reconnecting…")
                                    : tr("No connection to the server yet. Retrying…");
    if (!text.isEmpty())
        connectionError += "\n\n" + text;
    update();
}

void SpiceViewer::screenSettingsChanged(const SurfacePixels& pixels, ScreenInitInfo& info)
{
    // The old block goes once nothing here reads it.
    const SurfacePixels old = std::exchange(shmData, pixels);
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
            surfaceImage = new QImage(shmData.get(), info.width, info.height, info.stride, format);
    }
    update();
}

void SpiceViewer::updateImage(Rect* rect)
{
    if (!shmData)
        return;

    if (!surfaceImage)
        return;

    const QRect part = shownRect();
    if (part.isEmpty())
        return;
    if (!rect || picture.isNull()) {
        connectedOnce = true;
        if (surfaceImage->format() == QImage::Format_RGB32)
            picture = QImage(shmData.get() + qint64(part.y()) * screenInfo.stride + qint64(part.x()) * 4,
                             part.width(), part.height(), screenInfo.stride, QImage::Format_RGB32);
        else
            picture = surfaceImage->copy(part).convertToFormat(QImage::Format_RGB32);
        connectionError.clear();
        offerTryAgain(false);
        // The connection works: a question about its password is moot.
        if (passwordDialog)
            passwordDialog->hide();
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
    // In surface pixels, then in the picture's.
    const QRect changed = QRect(rect->x, rect->y, rect->width, rect->height) & part;
    if (changed.isEmpty())
        return;
    const QRect local = changed.translated(-part.topLeft());

    if (surfaceImage->format() != QImage::Format_RGB32) {
        const int bpp = surfaceImage->depth() / 8;
        const QImage pixels(shmData.get() + qint64(changed.y()) * screenInfo.stride +
                                qint64(changed.x()) * bpp,
                            changed.width(), changed.height(), screenInfo.stride, surfaceImage->format());
        QPainter painter(&picture);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(local.topLeft(), pixels);
    }

    const QRect tiles = onGrid(local, picture.size());
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
    geometry = fitPicture(picture.size(), size(), snapToFit);
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
        painter.drawText(wordsArea(), kWordsFlags, connectionError);
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
    if (!shown.isEmpty() && !std::exchange(paintedPicture, true))
        Q_EMIT firstPicturePainted();
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
    // A kiosk never shows what is behind it.
    if (kiosk)
        Logger(INFO) << "Kiosk: close request ignored";
    else
        hide();
}

QString SpiceViewer::grabHint() const
{
    // Shown in the title while the pointer is held.
    const QString keys = hotkeys.current().releaseCursor.text();
    return keys.isEmpty() ? tr(" (pointer held)") : tr(" (Press %1 to release pointer)").arg(keys);
}

void SpiceViewer::setHotkeys(const Hotkeys& keys)
{
    hotkeys.setHotkeys(keys);
}

void SpiceViewer::setKiosk(bool quit)
{
    // Left behind by another virtual desktop, or covered by a window mapped later where nobody but
    // the kiosk keeps it in front (it covers the screen itself): it comes back.
    if (devicesMenu)
        devicesMenu->setKiosk(true);
    if (!std::exchange(kiosk, true))
        x11WatchDesktop(this, [this](X11DesktopChange change) {
            if (change == X11DesktopChange::WindowStacked) {
                if (!coveringScreen || !isVisible() || x11OnTop(winId()))
                    return;
                raise();
                // Its own windows (the password dialog, the key menu) stay over it.
                for (QWidget* window : QApplication::topLevelWidgets())
                    if (window != this && window->isVisible())
                        window->raise();
            }
            keepKioskOver();
        });
    quitOnDisconnect = quit;
    // The session comes back by itself, unless the program ends with the connection.
    if (session)
        session->setReconnectOnDrop(!quit);
    setFullScreen(true);
}

void SpiceViewer::setFullScreen(bool on)
{
    if (!on && kiosk)
        return;
    overlayFrame->setLeaveEnabled(on && !kiosk);
    if (on == isFullScreen())
        return;
    // The hotkey's modifiers were sent; they must not stay down while the window changes.
    releaseInput();
    if (!on)
        overlayFrame->hide();
    const bool shown = isVisible();
    if (shown)
        Logger(INFO) << (on ? "Full screen" : "Full screen left");
    // Without a window manager that carries out the full-screen state (none runs, or one that knows
    // nothing of it such as twm) the request would leave a decorated window of the earlier size.
    if (on ? !x11WindowManagerHasFullScreen() : coveringScreen)
        coverScreen(on);
    if (!shown) {
        setWindowState(on ? windowState() | Qt::WindowFullScreen : windowState() & ~Qt::WindowFullScreen);
        return;
    }
    if (on)
        showFullScreen();
    else
        showNormal();
}

void SpiceViewer::coverScreen(bool on)
{
    // Changing these flags hides the window; the caller shows it again.
    coveringScreen = on;
    if (on) {
        Logger(INFO) << "The window manager has no full-screen state: the window covers the screen itself";
        normalPlace = QWidget::geometry();
        setWindowFlags(windowFlags() | kCoverFlags);
        setGeometry(screen()->geometry());
    } else {
        setWindowFlags(windowFlags() & ~kCoverFlags);
        setGeometry(normalPlace);
        // The flags' change unmapped the window the user was typing in: it takes the focus back.
        focusWhenShown = true;
    }
}

void SpiceViewer::keepKioskOver()
{
    if (kiosk && !kioskWatch->isActive())
        kioskWatch->start();
}

void SpiceViewer::reclaimKiosk()
{
    // A window of the viewer's own (a dialog, the key menu) may have the focus: it is part of it.
    QWidget* active = QApplication::activeWindow();
    const bool shown = isVisible() && !(windowState() & Qt::WindowMinimized) && windowHandle() &&
                       windowHandle()->isExposed();
    if (shown && isFullScreen() && active && active != this) {
        kioskWatch->stop();
        return;
    }
    if (!shown || !isFullScreen())
        showFullScreen(); // also what was minimised
    if (!shown || active != this) {
        // A window manager activates no window of another desktop: it comes to this one first.
        if (!shown)
            x11ShowOnAllDesktops(winId());
        // Also after "show desktop", which left the window mapped in the toolkit's eyes: the window
        // manager brings it back when asked to activate it.
        raise();
        x11ActivateWindow(winId());
        return;
    }
    if (grabKeyboard(false)) {
        kioskWatch->stop();
        Logger(INFO) << "Kiosk: over the screen, holding the keyboard";
    }
}

void SpiceViewer::runHotkey(HotkeyAction action)
{
    switch (action) {
    case HotkeyAction::ToggleFullScreen:
        if (kiosk)
            Logger(INFO) << "Kiosk: full screen stays";
        setFullScreen(!isFullScreen());
        break;
    case HotkeyAction::ReleaseCursor:
        // Its keys are the viewer's whether or not the pointer is held: a hotkey that sometimes
        // reaches the remote machine does something there the user never meant.
        if (grabbed)
            releasePointer();
        else
            Logger(INFO) << "Release-cursor: the pointer is not held";
        break;
    case HotkeyAction::SecureAttention:
        Logger(INFO) << "Secure attention: Ctrl+Alt+Del sent";
        session->sendScancodes(secureAttentionScancodes());
        break;
    case HotkeyAction::Menu:
        openKeyMenu();
        break;
    case HotkeyAction::SmartcardInsert:
    case HotkeyAction::SmartcardRemove:
        Logger(INFO) << "Smartcard hotkey: "
                     << (action == HotkeyAction::SmartcardInsert ? "insert" : "remove");
        session->smartcard(action == HotkeyAction::SmartcardInsert);
        break;
    case HotkeyAction::None:
        break;
    }
}

void SpiceViewer::openKeyMenu()
{
    // The keys held now (the hotkey's modifiers) are let go here: their releases go to the menu.
    releaseInput();
    overlayFrame->setLeaveEnabled(isFullScreen() && !kiosk);
    overlayFrame->setReleaseEnabled(grabbed);
    Logger(INFO) << "Menu of keys open";
    overlayFrame->popupMenu();
}

void SpiceViewer::showEvent(QShowEvent* event)
{
    setAttribute(Qt::WA_NativeWindow);
    // On every virtual desktop, said before it is mapped, when the window manager reads it: no desktop
    // shows without the kiosk.
    if (kiosk)
        x11ShowOnAllDesktops(winId());
    QWidget::showEvent(event);
    if (session)
        session->setWindowShown(true);
    // Without a window manager's help nobody else gives the window the focus.
    // (The toolkit's own request waits until the window is mapped.)
    if (coveringScreen || std::exchange(focusWhenShown, false))
        activateWindow();
    keepKioskOver();
}

void SpiceViewer::hideEvent(QHideEvent* event)
{
    releasePointer();
    releaseInput();
    hotkeys.clear(); // a hotkey held now is let go elsewhere
    keepKioskOver();
    QWidget::hideEvent(event);
    // A minimised window is still shown; a closed one shares no clipboard.
    if (session)
        session->setWindowShown(isVisible());
}

void SpiceViewer::releaseInput()
{
    // Nothing may stay pressed on the remote machine while the user works elsewhere.
    wheelSteps.reset();
    if (session)
        session->releaseAll();
}

bool SpiceViewer::eventFilter(QObject* watched, QEvent* event)
{
    // The words' way to try again comes before the keys go anywhere else.
    if (watched == this && wordsEvent(event))
        return true;
    // Keys typed just after the menu closed may still come to it (its keyboard grab held when they
    // were typed): they are the window's.
    if (overlayFrame && watched == overlayFrame->menu() && !overlayFrame->menu()->isVisible() &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease))
        watched = this;
    // The filter is installed early in the constructor: child events arrive before the bar exists.
    if (watched != this || !overlayFrame)
        return QObject::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseMove: {
        const QPoint position = static_cast<QMouseEvent*>(event)->pos();
        if (!position.isNull() && position.y() > 16 && position.y() > overlayFrame->height() &&
            overlayFrame->isVisible())
            overlayFrame->setVisible(false);
        overlayFrame->pointerAt(position, isFullScreen() && !serverMouse);
        break;
    }
    case QEvent::Leave:
        overlayFrame->setVisible(false);
        followPointer();
        break;
    case QEvent::Enter:
        followPointer();
        break;
    default:
        break;
    }
    if (overlayFrame->isVisible() || !session)
        return QObject::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        forwardPointer(event->type(), int(mouse->button()), mouse->pos());
        return true;
    }
    case QEvent::Wheel: {
        auto* wheel = static_cast<QWheelEvent*>(event);
        wheel->accept();
        session->wheel(wheelSteps.add(wheel->angleDelta()));
        return true;
    }
    case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        qCDebug(lcKeys) << "keyEvent->key() " << key->key() << key->modifiers();
        bool kept = false;
        const HotkeyAction action =
            hotkeys.press(key->key(), key->modifiers(), key->nativeScanCode(), key->isAutoRepeat(), kept);
        if (kept) {
            runHotkey(action);
            return true;
        }
        // A repeat of a key whose press went elsewhere (to a session that ended since) would press
        // it on this one with nobody pressing it anew.
        if (key->isAutoRepeat() && !session->keyHeld(keyInput(*key)))
            return true;
        session->key(keyInput(*key), true);
        return true;
    }
    case QEvent::KeyRelease: {
        auto* key = static_cast<QKeyEvent*>(event);
        if (hotkeys.release(key->key(), key->nativeScanCode(), key->isAutoRepeat()))
            return true;
        // A held key repeats its press only, as a PC keyboard does.
        if (!key->isAutoRepeat())
            session->key(keyInput(*key), false);
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}

void SpiceViewer::forwardPointer(QEvent::Type type, int button, const QPoint& position)
{
    PointerState state;
    state.pictureShown = pictureShown();
    // Clicks and moves on the black bars belong to no remote pixel.
    state.inside = state.pictureShown && geometry.pictureRect().contains(position);
    state.serverMouse = serverMouse;
    state.grabbed = grabbed;
    state.heldButtons = session->heldButtons();
    switch (pointerAction(type, button, state)) {
    case PointerAction::Ignore:
        return;
    case PointerAction::PositionAt:
        session->pointerAt(surfacePoint(position));
        return;
    case PointerAction::MoveBy: {
        // Server mode: motion as the distance from the centre, where the pointer is kept.
        const QPoint delta = position - rect().center();
        if (delta.isNull())
            return; // the warp's own motion
        QCursor::setPos(mapToGlobal(rect().center()));
        session->pointerBy(delta);
        return;
    }
    case PointerAction::TakePointer:
        grabPointer();
        return;
    case PointerAction::Press:
        session->button(button, true, type == QEvent::MouseButtonDblClick);
        return;
    case PointerAction::ReleaseAtEdge:
        session->pointerAt(surfacePoint(position));
        session->button(button, false);
        return;
    case PointerAction::Release:
        session->button(button, false);
        return;
    }
}

QPoint SpiceViewer::surfacePoint(const QPoint& position) const
{
    const QRect picture = geometry.pictureRect();
    const QPoint clamped(qBound(picture.left(), position.x(), picture.right()),
                         qBound(picture.top(), position.y(), picture.bottom()));
    return windowToSurface(clamped, geometry) + shownRect().topLeft();
}

void SpiceViewer::grabPointer()
{
    grabbed = true;
    setCursor(Qt::BlankCursor);
    grabMouse();
    QCursor::setPos(mapToGlobal(rect().center()));
    setWindowTitle(sessionTitle + grabHint());
    const QString keys = hotkeys.current().releaseCursor.text();
    Logger(INFO) << "Pointer held by the window"
                 << (keys.isEmpty() ? QString() : "; " + keys + " releases it");
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
            if (keyboardWanted() && !grabKeyboard())
                keepKioskOver();
        } else {
            releasePointer();
            hotkeys.clear(); // a hotkey held now is let go elsewhere
            // A kiosk keeps the keyboard while another window is in front, until it is back there.
            if (kiosk)
                releaseInput();
            else
                ungrabKeyboard();
            keepKioskOver();
        }
    }
    // A kiosk stays over the whole screen, whatever the window manager was asked: Qt keeps the
    // full-screen state on a minimised window, so that alone tells nothing.
    if (event->type() == QEvent::WindowStateChange) {
        keepKioskOver();
        // In full screen the keyboard is held wherever the pointer is; in a window only over it.
        QTimer::singleShot(0, this, &SpiceViewer::followPointer);
    }
    QWidget::changeEvent(event);
}

bool SpiceViewer::keyboardWanted() const
{
    // A dialog of ours (the password) takes the keys: taken here, they would bounce between the two.
    if (const QWidget* modal = QApplication::activeModalWidget(); modal && modal != this)
        return false;
    if (kiosk || isFullScreen())
        return true;
    // The window manager has its frame: while the keyboard is held, it starts no move or resize
    // (it cannot grab the keyboard for one), so the pointer on its way there lets go of it.
    return x11PointerOver(this);
}

void SpiceViewer::followPointer()
{
    if (!isActiveWindow())
        return;
    if (keyboardWanted()) {
        if (!keyboardHeld)
            grabKeyboard();
    } else if (keyboardHeld) {
        // Keys still come by the focus; only the desktop's own shortcuts are the desktop's again.
        keyboardHeld = false;
        if (x11UngrabKeyboard())
            Logger(INFO) << "XUngrabKeyboard called: the pointer left the window";
    }
}

bool SpiceViewer::grabKeyboard(bool logAlways)
{
    Logger(DEBUG) << "Window activated";
    int result = x11GrabKeyboard(winId());
    if (result == kNoX11Display)
        return keyboardHeld = true;
    // A kiosk retrying against another client's grab says so once.
    if (!logAlways && result == lastGrabResult)
        return result == 0;
    lastGrabResult = result;
    keyboardHeld = result == 0;
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
    return result == 0;
}

void SpiceViewer::ungrabKeyboard()
{
    Logger(DEBUG) << "Window deactivated";
    releaseInput();
    keyboardHeld = false;
    if (x11UngrabKeyboard())
        Logger(INFO) << "XUngrabKeyboard called";
}

void SpiceViewer::sendKey(QString key)
{
    try {
        if (session)
            session->injectKey(key);
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
    if (!session) {
        Logger(ERROR) << "SPICE agent not initialized";
        return 0;
    }
    return session->checkReconnect();
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
    if (paths.isEmpty() || !session)
        return;
    event->acceptProposedAction();
    if (session->copyFiles(paths))
        transferStrip->started(paths.size());
}
