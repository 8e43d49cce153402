#include "transferstrip.h"

#include <QEvent>
#include <QPushButton>
#include <QTimer>

namespace
{
constexpr int kHeight = 24;
constexpr int kButtonWidth = 80;
constexpr int kOutcomeShownMs = 5000;
} // namespace

TransferStrip::TransferStrip(QWidget* window)
    : QLabel(window), hideTimer(new QTimer(this)), cancel(new QPushButton(tr("Cancel"), window))
{
    setObjectName(QStringLiteral("transferStrip"));
    setStyleSheet(QStringLiteral("background: rgba(32, 32, 32, 0.85); color: white; padding: 0 8px;"));
    setFixedHeight(kHeight);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    cancel->setObjectName(QStringLiteral("transferCancel"));
    cancel->setFixedSize(kButtonWidth, kHeight);
    // The keyboard stays with the window: its keys go to the remote machine.
    cancel->setFocusPolicy(Qt::NoFocus);
    cancel->hide();
    connect(cancel, &QPushButton::clicked, this, &TransferStrip::cancelRequested);
    hideTimer->setSingleShot(true);
    connect(hideTimer, &QTimer::timeout, this, &QWidget::hide);
    window->installEventFilter(this);
    hide();
}

void TransferStrip::started(int count)
{
    files = count;
    progress(0, 0);
}

void TransferStrip::progress(qint64 done, qint64 total)
{
    const int percent = total > 0 ? int(done * 100 / total) : 0;
    setText(files == 1 ? tr("Copying 1 file to the remote machine: %1%").arg(percent)
                       : tr("Copying %1 files to the remote machine: %2%").arg(files).arg(percent));
    hideTimer->stop();
    place();
    show();
    raise();
    cancel->show();
    cancel->raise();
}

void TransferStrip::finished(bool ok, const QString& text)
{
    (void)ok;
    cancel->hide();
    note(text);
}

void TransferStrip::note(const QString& text)
{
    setText(text);
    place();
    show();
    raise();
    cancel->raise();
    hideTimer->start(kOutcomeShownMs);
}

bool TransferStrip::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent() && event->type() == QEvent::Resize)
        place();
    return QLabel::eventFilter(watched, event);
}

void TransferStrip::place()
{
    auto* window = parentWidget();
    setGeometry(0, window->height() - kHeight, window->width(), kHeight);
    cancel->move(window->width() - kButtonWidth, window->height() - kHeight);
}
