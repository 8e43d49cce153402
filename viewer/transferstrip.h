#pragma once

#include <QLabel>

class QPushButton;
class QTimer;

// A thin strip along the bottom of the window: a file copy's progress while it runs, with a button
// that cancels it, then its outcome for a few seconds. It covers the picture only that long; the
// pointer goes through it to the remote machine except on the button.
class TransferStrip : public QLabel
{
    Q_OBJECT

public:
    explicit TransferStrip(QWidget* window);

    void started(int files);
    void progress(qint64 done, qint64 total);
    void finished(bool ok, const QString& text);
    // Words for a few seconds; a running copy goes on.
    void note(const QString& text);

Q_SIGNALS:
    void cancelRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void place();

    QTimer* hideTimer;
    QPushButton* cancel; // the window's child, over the strip's right end while a copy runs
    int files = 0;
};
