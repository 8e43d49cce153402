#include "filecopy.h"

#include "fd_file.h"
#include "gobject_ref.h"
#include "log.h"

#include <QPointer>
#include <spice/vd_agent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct FileCopy::Job {
    QPointer<FileCopy> owner;
    GObjectRef<GCancellable> cancellable = GObjectRef<GCancellable>::adopt(g_cancellable_new());
    QStringList paths; // the files' names, to keep them out of error texts
    int tenths = 0;    // progress last logged, in tenths of the batch
    // Each file's outcome, as the library reports it per file.
    int copied = 0;
    int cancelled = 0;
    int failed = 0;
    QString reason;    // the first failure's, in words
    bool done = false; // the library ended the batch
    bool batchCancelled = false;
    QString batchError; // the library's words for the batch, when it failed
    bool over = false;  // the outcome was told
    std::vector<GObjectRef<SpiceFileTransferTask>> tasks;
    SignalConnections taskSignals; // goes before the tasks it is connected to

    // An error text of the library without the file's name or path.
    QString words(const GError* error) const
    {
        QString message = QString::fromUtf8(error && error->message ? error->message : "unknown error");
        for (const QString& path : paths)
            message.replace(path, QStringLiteral("a file"));
        return message;
    }
};

namespace
{
QString filesText(int count)
{
    return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
}
} // namespace

FileCopy::FileCopy(QObject* parent) : QObject(parent) {}

FileCopy::~FileCopy()
{
    cancel();
}

void FileCopy::attach(SpiceMainChannel* mainChannel)
{
    detach();
    channel = mainChannel;
    signals_.connect(channel, "new-file-transfer", G_CALLBACK(onNewTransfer), this);
}

void FileCopy::detach()
{
    // The library ends a running batch with an error once its channel goes.
    signals_.clear();
    channel = nullptr;
}

void FileCopy::onNewTransfer(SpiceMainChannel*, SpiceFileTransferTask* task, gpointer self)
{
    Job* job = static_cast<FileCopy*>(self)->job;
    if (!job)
        return;
    job->tasks.push_back(
        GObjectRef<SpiceFileTransferTask>::adopt(SPICE_FILE_TRANSFER_TASK(g_object_ref(task))));
    job->taskSignals.connect(task, "finished", G_CALLBACK(onFileFinished), job);
}

void FileCopy::onFileFinished(SpiceFileTransferTask*, GError* error, gpointer data)
{
    auto* job = static_cast<Job*>(data);
    Logger(DEBUG) << "file copy: a file ended: " << (error ? job->words(error) : QStringLiteral("copied"));
    if (!error) {
        ++job->copied;
    } else if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        ++job->cancelled;
    } else {
        ++job->failed;
        if (job->reason.isEmpty())
            job->reason = job->words(error);
    }
    end(job);
}

bool FileCopy::start(const QVector<OpenedFile>& opened, QString* why)
{
    std::vector<GObjectRef<GFile>> files;
    QStringList paths;
    bool regular = true;
    for (const OpenedFile& file : opened) {
        struct stat info {
        };
        regular = regular && fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode);
        files.push_back(GObjectRef<GFile>::adopt(fdFileNew(file.fd, file.name)));
        paths << file.name;
    }
    gboolean agent = FALSE;
    if (channel)
        g_object_get(channel, "agent-connected", &agent, nullptr);
    QString reason;
    if (!agent)
        reason = tr("Files cannot be copied: the remote machine runs no guest agent");
    else if (spice_main_channel_agent_test_capability(channel, VD_AGENT_CAP_FILE_XFER_DISABLED))
        reason = tr("Files cannot be copied: the remote machine's agent does not accept files");
    else if (job)
        reason = tr("Files cannot be copied while a copy runs; drop them again when it has ended");
    else if (paths.isEmpty())
        reason = tr("Nothing to copy");
    if (reason.isEmpty() && !regular)
        reason = tr("Files cannot be copied: only readable files can be copied, not folders");
    if (!reason.isEmpty()) {
        Logger(WARN) << reason;
        if (why)
            *why = reason;
        return false;
    }
    std::vector<GFile*> list;
    for (int i = 0; i < paths.size(); ++i) {
        Logger(DEBUG) << "copying " << paths[i];
        list.push_back(files[size_t(i)].get());
    }
    list.push_back(nullptr);
    job = new Job;
    job->owner = this;
    job->paths = paths;
    Logger(INFO) << "Copying " << filesText(paths.size()) << " to the remote machine";
    spice_main_channel_file_copy_async(channel, list.data(), G_FILE_COPY_NONE, job->cancellable.get(),
                                       onProgress, job, onDone, job);
    return true;
}

void FileCopy::cancel()
{
    if (job)
        g_cancellable_cancel(job->cancellable.get());
}

void FileCopy::onProgress(goffset done, goffset total, gpointer data)
{
    auto* job = static_cast<Job*>(data);
    const int tenths = total > 0 ? int(done * 10 / total) : 0;
    if (tenths != job->tenths) {
        job->tenths = tenths;
        Logger(INFO) << "file copy at " << tenths * 10 << "%";
    }
    if (job->owner)
        Q_EMIT job->owner->progress(done, total);
}

void FileCopy::onDone(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* job = static_cast<Job*>(data);
    GError* error = nullptr;
    job->done = true;
    if (!spice_main_channel_file_copy_finish(SPICE_MAIN_CHANNEL(source), result, &error)) {
        job->batchCancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
        job->batchError = job->words(error);
    }
    g_clear_error(&error);
    // The library queues the news of a cancel for the agent (which then deletes the partial file)
    // but sends it only when the main channel next has something to write: give it something.
    gboolean agent = FALSE;
    int mode = 0;
    g_object_get(source, "agent-connected", &agent, "mouse-mode", &mode, nullptr);
    if (job->batchCancelled && agent && mode)
        spice_main_channel_request_mouse_mode(SPICE_MAIN_CHANNEL(source), mode);
    end(job);
}

void FileCopy::end(Job* job)
{
    // The library ends the batch as soon as one file fails while others still go on: the batch
    // is over once every file has ended too.
    const int total = job->paths.size();
    const int ended = job->copied + job->cancelled + job->failed;
    if (!job->done || job->over || ended < int(job->tasks.size()))
        return;
    job->over = true;
    // Files the library never made a transfer of share the batch's fate.
    if (ended < total && job->batchCancelled) {
        job->cancelled += total - ended;
    } else if (ended < total && !job->batchError.isEmpty()) {
        job->failed += total - ended;
        if (job->reason.isEmpty())
            job->reason = job->batchError;
    } else {
        job->copied += total - ended;
    }
    QString text;
    if (job->copied == total)
        text = tr("%1 copied to the remote machine").arg(filesText(total));
    else if (total == 1)
        text = job->failed ? tr("File copy failed: %1").arg(job->reason) : tr("File copy cancelled");
    else
        text = tr("%1 of %2 copied").arg(job->copied).arg(filesText(total)) +
               (job->cancelled ? tr("; %1 cancelled").arg(job->cancelled) : QString()) +
               (job->failed ? tr("; %1 failed: %2").arg(job->failed).arg(job->reason) : QString());
    Logger(job->failed ? WARN : INFO) << text;
    if (FileCopy* owner = job->owner) {
        owner->job = nullptr;
        Q_EMIT owner->finished(job->copied == total, text);
    }
    // This may run inside a transfer's own signal: the transfers are let go afterwards.
    g_idle_add(
        [](gpointer data) {
            delete static_cast<Job*>(data);
            return G_SOURCE_REMOVE;
        },
        job);
}
