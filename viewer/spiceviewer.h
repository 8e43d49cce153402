#pragma once

#include "geometry.h"
#include "session_viewer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QRegion>
#include <QWidget>

class QFrame;
class QTimer;
class TransferStrip;
struct SpiceAgent;

namespace Ui
{
class SpiceViewer;
}

// The program's window: shows the remote surface, forwards local input, holds the keyboard grab.
class SpiceViewer : public QWidget, public SessionViewer
{
    Q_OBJECT

public:
    explicit SpiceViewer(QWidget* parent = nullptr);
    ~SpiceViewer() override;

    // From the session layer.
    void setTitle(const QString& title) override;
    void screenSettingsChanged(void* pixels, ScreenInitInfo& info) override;
    void updateImage(Rect* rect) override;
    void clearDisplay() override;
    void closeWindow() override;
    void mouseModeChanged(bool server) override;
    void showConnectionError(const QString& text) override;

    void processDirtyRegion();
    void updateMask(const QPoint& point);

    void sendKey(QString key);
    void onReactivate(QString key);
    int checkReconnect();

    bool hasPicture() const { return !picture.isNull(); }
    const PictureGeometry& pictureGeometry() const { return geometry; }

    SpiceAgent* agent = nullptr;

    // A file copy's progress and outcome (refusals included), shown in a strip at the bottom.
    void transferProgress(qint64 done, qint64 total);
    void transferFinished(bool ok, const QString& text);

Q_SIGNALS:
    // Local files dropped on the window, to be copied into the remote machine as one batch.
    void filesDropped(const QStringList& paths);
    void cancelCopyRequested();

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
    void forward(struct KM_EVENT& event);
    int keyForEvent(class QKeyEvent* keyEvent, bool press);
    void keyRecord(QKeyEvent* keyEvent, bool press, KM_EVENT& record);
    void forwardPointer(KM_EVENT& record, const QPoint& position);
    // The surface pixel under `position`, taken to the picture's nearest edge when outside it.
    void setSurfacePoint(KM_EVENT& record, const QPoint& position) const;
    void releaseButtons();
    void grabPointer();
    void releasePointer();
    void releaseHeldKeys();
    void grabKeyboard();
    void ungrabKeyboard();
    void refreshScaledPicture();
    bool pictureShown() const;

    Ui::SpiceViewer* ui;
    uchar* shmData = nullptr;
    // The surface as 32-bit pixels: a view of the block for 32-bit surfaces, a converted copy
    // for 16-bit ones. Null while there is nothing to show.
    QImage picture;
    QImage* surfaceImage = nullptr; // the block as the server laid it out
    ScreenInitInfo screenInfo{};
    PictureGeometry geometry;
    QFrame* overlayFrame = nullptr;
    QImage scaledPicture; // the picture at window scale, patched where the surface changed
    QRegion staleRegion;  // surface pixels changed since the scaled picture was last patched
    QRegion dirtyRegion;  // surface pixels changed since the last flush of repaint requests
    QTimer* updateTimer = nullptr;
    QElapsedTimer lastFlush;      // since repaint requests last went out
    QElapsedTimer lastChange;     // since the surface last changed
    QRegion burstRegion;          // surface pixels changed since the last quiet spell
    bool wholeFrames = false;     // the burst before the current one covered the whole surface
    QString connectionError;      // why the last connection failed; shown until a picture arrives
    QHash<quint32, int> heldKeys; // native scan code -> the Qt key its press sent (| KeypadModifier)
    bool physicalKeys = false;    // the display's keycodes are evdev's: keys go by position
    QString sessionTitle;         // the title without the grab hint
    bool serverMouse = false;     // the server takes relative motion only
    bool grabbed = false;         // the window holds the pointer (server mouse mode)
    bool swallowF12 = false;      // the release of the F12 that let the pointer go stays here
    bool swallowEscape = false;   // the release of the Escape that cancelled a copy stays here
    TransferStrip* transferStrip = nullptr;
    int forwardedButtons = 0; // Qt buttons whose press reached the session
    int grabbingButtons = 0;  // the click that took the pointer; its release stays here
};
