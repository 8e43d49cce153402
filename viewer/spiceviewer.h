#pragma once

#include "geometry.h"
#include "hotkeys.h"
#include "inputmap.h"
#include "session.h"

#include <QElapsedTimer>
#include <QImage>
#include <QRegion>
#include <QWidget>

class KeyBar;
class QTimer;
class TransferStrip;

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
    void setSession(Session* session);
    void setHotkeys(const Hotkeys& keys);
    // Full screen that cannot be left or closed; a dropped connection is retried, or, with
    // `quitOnDisconnect`, ends the program.
    void setKiosk(bool quitOnDisconnect);
    // Covers the monitor the window is on (the window manager's full-screen state), or leaves it
    // for the earlier size and place. Before the window is shown: how it will show.
    void setFullScreen(bool on);

    // From the session.
    void setTitle(const QString& title);
    void screenSettingsChanged(void* pixels, ScreenInitInfo& info);
    void updateImage(Rect* rect);
    void clearDisplay();
    void closeWindow();
    void mouseModeChanged(bool server);
    void showConnectionError(const QString& text);

    void processDirtyRegion();
    void updateMask(const QPoint& point);

    void sendKey(QString key);
    void onReactivate(QString key);
    int checkReconnect();

    bool hasPicture() const { return !picture.isNull(); }
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
    void grabKeyboard();
    void ungrabKeyboard();
    void refreshScaledPicture();
    bool pictureShown() const;
    QString grabHint() const;
    void runHotkey(HotkeyAction action);
    void openKeyMenu();
    void connectionDropped(const QString& text);

    Ui::SpiceViewer* ui;
    uchar* shmData = nullptr;
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
    QElapsedTimer lastFlush;    // since repaint requests last went out
    QElapsedTimer lastChange;   // since the surface last changed
    QRegion burstRegion;        // surface pixels changed since the last quiet spell
    bool wholeFrames = false;   // the burst before the current one covered the whole surface
    QString connectionError;    // why the last connection failed; shown until a picture arrives
    Session* session = nullptr; // not owned
    WheelSteps wheelSteps;
    QString sessionTitle;     // the title without the grab hint
    QString defaultTitle;     // the form's, for a server that names none
    bool serverMouse = false; // the server takes relative motion only
    bool grabbed = false;     // the window holds the pointer (server mouse mode)
    HotkeyFilter hotkeys;
    bool kiosk = false;
    bool quitOnDisconnect = false;
    bool connectedOnce = false; // a surface arrived: a drop is a disconnect, not a failed start
    bool swallowEscape = false; // the release of the Escape that cancelled a copy stays here
    bool paintedPicture = false;
    TransferStrip* transferStrip = nullptr;
};
