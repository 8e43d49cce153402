#pragma once

#include <QLabel>

class QTimer;

// A thin strip along the bottom of the window: a file copy's progress while it runs, then its outcome
// for a few seconds. It covers the picture only that long.
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void place();

    QTimer* hideTimer;
    int files = 0;
};
