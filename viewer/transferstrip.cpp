#include "transferstrip.h"

#include <QEvent>
#include <QTimer>

namespace
{
constexpr int kHeight = 24;
constexpr int kOutcomeShownMs = 5000;
} // namespace

TransferStrip::TransferStrip(QWidget* window) : QLabel(window), hideTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("transferStrip"));
    setStyleSheet(QStringLiteral("background: rgba(32, 32, 32, 0.85); color: white; padding: 0 8px;"));
    setFixedHeight(kHeight);
    setAttribute(Qt::WA_TransparentForMouseEvents);
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
    setText(tr("Copying %n file(s) to the remote machine: %1% (Esc cancels)", nullptr, files).arg(percent));
    hideTimer->stop();
    place();
    show();
    raise();
}

void TransferStrip::finished(bool ok, const QString& text)
{
    (void)ok;
    note(text);
}

void TransferStrip::note(const QString& text)
{
    setText(text);
    place();
    show();
    raise();
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
}
