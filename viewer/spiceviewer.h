#pragma once

#include "geometry.h"
#include "hotkeys.h"
#include "inputmap.h"
#include "session_client.h"

#include <QElapsedTimer>
#include <QImage>
#include <QRegion>
#include <QWidget>

class KeyBar;
class QInputDialog;
class QPushButton;
class MonitorWindows;
class QTimer;
class TransferStrip;
class DevicesMenu;
class QLabel;

namespace Ui
{
class SpiceViewer;
}

// The program's window: shows the remote surface, forwards local input, holds the keyboard grab.
// It paints and maps positions; the session it is given owns the connection and all input state.
class SpiceViewer : public QWidget
{
    Q_OBJECT

public:
    explicit SpiceViewer(QWidget* parent = nullptr);
    ~SpiceViewer() override;

    // Links the window to its session; the session must outlive the window.
    void setSession(SessionClient* session);
    void setHotkeys(const Hotkeys& keys);
    // Full screen that cannot be left or closed; a dropped connection is retried, or, with
    // `quitOnDisconnect`, ends the program.
    void setKiosk(bool quitOnDisconnect);
    // Covers the monitor the window is on (the window manager's full-screen state), or leaves it
    // for the earlier size and place. Before the window is shown: how it will show.
    void setFullScreen(bool on);

    // From the session.
    void setTitle(const QString& title);
    void screenSettingsChanged(const SurfacePixels& pixels, ScreenInitInfo& info);
    void updateImage(Rect* rect);
    void clearDisplay();
    void closeWindow();
    void mouseModeChanged(bool server);
    void showConnectionError(const QString& text);
    // The server wants a password (another one when `refused`): a dialog asks while the window shows.
    void askPassword(const QString& server, bool refused);

    void processDirtyRegion();
    void updateMask(const QPoint& point);

    void sendKey(QString key);
    void onReactivate(QString key);
    int checkReconnect();

    // The part of the surface this window shows (one guest monitor of several); empty: all of it.
    void setMonitorRect(const QRect& rect);
    // The guest follows the window: a picture within a few pixels of it is shown 1:1.
    void setSnapToFit(bool on);

    bool hasPicture() const { return !picture.isNull(); }
    // The words on black while there is no picture.
    // The devices menu's entries as they read now (for tests).
    QStringList devicesShown() const;
    QString shownWords() const { return picture.isNull() ? connectionError : QString(); }
    const PictureGeometry& pictureGeometry() const { return geometry; }

Q_SIGNALS:
    // The first paint that showed the remote picture: what waited for it may come now.
    void firstPicturePainted();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void forwardPointer(QEvent::Type type, int button, const QPoint& position);
    // The surface pixel under `position`, taken to the picture's nearest edge when outside it.
    QPoint surfacePoint(const QPoint& position) const;
    void releaseInput();
    void grabPointer();
    void releasePointer();
    // True when the keyboard is held (or there is no X11 display); `logAlways` false: a result is
    // logged only when it differs from the last one.
    bool grabKeyboard(bool logAlways = true);
    void ungrabKeyboard();
    // Whether the active window should hold the keyboard now: in full screen, or with the pointer
    // over the window.
    bool keyboardWanted() const;
    // Takes or lets go of the keyboard as the pointer comes and goes.
    void followPointer();
    void refreshScaledPicture();
    bool pictureShown() const;
    QString grabHint() const;
    void runHotkey(HotkeyAction action);
    void openKeyMenu();
    void connectionDropped(const QString& text);
    // The connection process ended: the log said how, the words say only that the connection broke.
    void connectionBroke();
    // Words of a failure offer to try again (not in a kiosk, which does so by itself): a button
    // below them, Return or Enter, the keys menu's entry. The session is asked again as by a later
    // start, and the password with it.
    void offerTryAgain(bool on);
    void placeTryAgain();
    void tryAgain();
    bool wordsEvent(QEvent* event);
    QRect wordsArea() const;
    void coverScreen(bool on);
    // A kiosk that was minimised, hidden, left for another window or refused the keyboard comes
    // back over the screen, active and holding the keyboard.
    void keepKioskOver();
    void reclaimKiosk();

    Ui::SpiceViewer* ui;
    SurfacePixels shmData; // the block, mapped read-only, held while shown
    // The surface as 32-bit pixels: a view of the block for 32-bit surfaces, a converted copy
    // for 16-bit ones. Null while there is nothing to show.
    QImage picture;
    QImage* surfaceImage = nullptr; // the block as the server laid it out
    ScreenInitInfo screenInfo{};
    PictureGeometry geometry;
    KeyBar* overlayFrame = nullptr;
    QImage scaledPicture; // the picture at window scale, patched where the surface changed
    QRegion staleRegion;  // surface pixels changed since the scaled picture was last patched
    QRegion dirtyRegion;  // surface pixels changed since the last flush of repaint requests
    QTimer* updateTimer = nullptr;
    QElapsedTimer lastFlush;          // since repaint requests last went out
    QElapsedTimer lastChange;         // since the surface last changed
    QRegion burstRegion;              // surface pixels changed since the last quiet spell
    bool wholeFrames = false;         // the burst before the current one covered the whole surface
    QString connectionError;          // why the last connection failed; shown until a picture arrives
    SessionClient* session = nullptr; // not owned
    WheelSteps wheelSteps;
    QString sessionTitle;     // the title without the grab hint
    QString defaultTitle;     // the form's, for a server that names none
    bool serverMouse = false; // the server takes relative motion only
    bool grabbed = false;     // the window holds the pointer (server mouse mode)
    HotkeyFilter hotkeys;
    bool kiosk = false;
    bool quitOnDisconnect = false;
    bool quitting = false;
    bool connectedOnce = false; // a surface arrived: a drop is a disconnect, not a failed start
    bool paintedPicture = false;
    TransferStrip* transferStrip = nullptr;
    DevicesMenu* devicesMenu = nullptr;
    // Says while the remote machine records the microphone or a smartcard is forwarded to it.
    QLabel* deviceSign = nullptr;
    void showDeviceSign(const DevicesStatus& status);
    void placeDeviceSign();
    QInputDialog* passwordDialog = nullptr;
    QPushButton* tryAgainButton = nullptr;
    bool canTryAgain = false;
    QRect monitorRect; // in surface pixels; empty: the whole surface
    bool snapToFit = false;
    MonitorWindows* monitorWindows = nullptr; // the guest's other monitors, the client's layout
    QRect shownRect() const;
    QTimer* kioskWatch = nullptr; // runs while a kiosk is away
    int lastGrabResult = -1;
    bool keyboardHeld = false;   // the X keyboard grab, as last taken or let go here
    bool coveringScreen = false; // full screen by the window itself: no window manager carries it out
    QRect normalPlace;           // the window's place before it covered the screen itself
    bool focusWhenShown = false; // it stopped covering the screen: the focus comes back with it
};
