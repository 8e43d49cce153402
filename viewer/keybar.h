#pragma once

#include <QFrame>
#include <QVector>

class QMenu;
class QAction;
class QPushButton;
class QPropertyAnimation;
class QTimer;

// The bar across the top of the window in full screen, and its menu of the keys the local desktop
// would take for itself (Ctrl+Alt+F1 switches the local virtual terminal before any program sees
// it). The menu also opens on its own, by a hotkey; both work from the keyboard alone.
class KeyBar : public QFrame
{
    Q_OBJECT

public:
    explicit KeyBar(QWidget* window);

    QMenu* menu() const { return keysMenu; }
    // Opens the menu at the top of the window with its first entry selected.
    void popupMenu();
    // "Leave full screen" is offered only in full screen and outside kiosk mode; "Release pointer"
    // only while the window holds the pointer.
    void setLeaveEnabled(bool enabled);
    void setReleaseEnabled(bool enabled);
    // The pointer moved to `position` in the window; `allowed`: the bar may come (full screen, client
    // mouse mode). Resting at the top edge brings the bar in.
    void pointerAt(const QPoint& position, bool allowed);
    void slideIn();

Q_SIGNALS:
    void scancodesRequested(const QVector<uint>& codes);
    void leaveFullScreenRequested();
    void releasePointerRequested();
    void menuClosed();
    // The bar came in: input to the window stops going to the remote machine while it is shown.
    void slidIn();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QMenu* keysMenu;
    QAction* leaveAction;
    QAction* releaseAction;
    QPushButton* leaveButton;
    QTimer* restTimer;
    QPropertyAnimation* slide;
};
