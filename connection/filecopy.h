#pragma once

#include "gobject_ref.h"

#include <QObject>
#include <QStringList>
#include <QVector>
#include <spice-client.h>

// A file to copy as the window opened it: its name, without a path, and its descriptor.
struct OpenedFile {
    QString name;
    int fd = -1;
};

// Copies local files into the remote machine through the guest agent, one batch at a time, and
// tells how each file of it ended. File names stay out of the log above DEBUG.
class FileCopy : public QObject
{
    Q_OBJECT

public:
    explicit FileCopy(QObject* parent = nullptr);
    ~FileCopy() override; // a running copy is cancelled

    void attach(SpiceMainChannel* channel);
    void detach();
    bool busy() const { return job != nullptr; }
    // Starts copying `files` as one batch; false, with the reason in words, when it cannot start.
    // Takes their descriptors either way.
    bool start(const QVector<OpenedFile>& files, QString* why);
    void cancel();

Q_SIGNALS:
    void progress(qint64 done, qint64 total);
    // The batch ended: ok (every file copied), or how many were and why not the others, in words
    // (also logged once).
    void finished(bool ok, const QString& text);

private:
    struct Job;
    static void onNewTransfer(SpiceMainChannel* channel, SpiceFileTransferTask* task, gpointer self);
    static void onFileFinished(SpiceFileTransferTask* task, GError* error, gpointer job);
    static void onProgress(goffset done, goffset total, gpointer job);
    static void onDone(GObject* channel, GAsyncResult* result, gpointer job);
    // Tells the batch's outcome once the library and every file of it are done.
    static void end(Job* job);

    SpiceMainChannel* channel = nullptr; // borrowed; set between attach() and detach()
    SignalConnections signals_;
    Job* job = nullptr; // the running batch; it outlives us until the library is done
};
