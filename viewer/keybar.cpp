#include "keybar.h"

#include "hotkeys.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QMenu>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QTimer>

namespace
{

constexpr int kBarHeight = 44;
// How long the pointer rests at the top edge before the bar comes: passing through does not count.
constexpr int kRestMs = 400;
constexpr int kSlideMs = 150;

} // namespace

KeyBar::KeyBar(QWidget* window)
    : QFrame(window), keysMenu(new QMenu(this)), restTimer(new QTimer(this)),
      slide(new QPropertyAnimation(this, "pos", this))
{
    setStyleSheet(QStringLiteral("KeyBar { background: rgba(255, 255, 255, 0.75); }"));
    setFixedHeight(kBarHeight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(28);
    layout->setAlignment(Qt::AlignCenter);

    for (const KeyMenuEntry& entry : localDesktopKeys()) {
        const QVector<uint> codes = entry.scancodes;
        keysMenu->addAction(entry.label, this, [this, codes] { Q_EMIT scancodesRequested(codes); });
    }
    keysMenu->addSeparator();
    leaveAction = keysMenu->addAction(tr("Leave full screen"), this, &KeyBar::leaveFullScreenRequested);
    releaseAction = keysMenu->addAction(tr("Release pointer"), this, &KeyBar::releasePointerRequested);
    connect(keysMenu, &QMenu::aboutToHide, this, &KeyBar::menuClosed);

    auto* keysButton = new QPushButton(tr("Send key"), this);
    keysButton->setMenu(keysMenu);
    leaveButton = new QPushButton(tr("Leave full screen"), this);
    connect(leaveButton, &QPushButton::clicked, this, &KeyBar::leaveFullScreenRequested);
    layout->addWidget(keysButton);
    layout->addWidget(leaveButton);

    restTimer->setSingleShot(true);
    restTimer->setInterval(kRestMs);
    connect(restTimer, &QTimer::timeout, this, &KeyBar::slideIn);
    slide->setDuration(kSlideMs);
    // The bar lies over the picture, not in the window's layout: it follows the window's width.
    window->installEventFilter(this);
    setGeometry(0, -kBarHeight, window->width(), kBarHeight);
    hide();
}

void KeyBar::popupMenu()
{
    QWidget* window = parentWidget();
    keysMenu->popup(window->mapToGlobal(QPoint((window->width() - keysMenu->sizeHint().width()) / 2, 0)));
    keysMenu->setActiveAction(keysMenu->actions().constFirst());
}

void KeyBar::setLeaveEnabled(bool enabled)
{
    leaveAction->setEnabled(enabled);
    leaveButton->setEnabled(enabled);
}

void KeyBar::setReleaseEnabled(bool enabled)
{
    releaseAction->setEnabled(enabled);
}

void KeyBar::pointerAt(const QPoint& position, bool allowed)
{
    if (allowed && position.y() <= 0 && !isVisible()) {
        if (!restTimer->isActive())
            restTimer->start();
    } else {
        restTimer->stop();
    }
}

void KeyBar::slideIn()
{
    raise();
    show();
    slide->setStartValue(QPoint(0, -height()));
    slide->setEndValue(QPoint(0, 0));
    slide->start();
    Q_EMIT slidIn();
}

bool KeyBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        resize(parentWidget()->width(), height());
    return QFrame::eventFilter(watched, event);
}
