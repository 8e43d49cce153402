#include "filecopy.h"

#include "gobject_ref.h"
#include "log.h"

#include <QFileInfo>
#include <QPointer>
#include <spice/vd_agent.h>
#include <vector>

struct FileCopy::Job {
    QPointer<FileCopy> owner;
    GObjectRef<GCancellable> cancellable = GObjectRef<GCancellable>::adopt(g_cancellable_new());
    QStringList paths; // to keep them out of error texts
    int tenths = 0;    // progress last logged, in tenths of the batch
};

FileCopy::FileCopy(QObject* parent) : QObject(parent) {}

FileCopy::~FileCopy()
{
    cancel();
}

void FileCopy::attach(SpiceMainChannel* mainChannel)
{
    channel = mainChannel;
}

void FileCopy::detach()
{
    // The library ends a running batch with an error once its channel goes.
    channel = nullptr;
}

bool FileCopy::start(const QStringList& paths, QString* why)
{
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
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (reason.isEmpty() && (!info.isFile() || !info.isReadable()))
            reason = tr("Files cannot be copied: only readable files can be copied, not folders");
    }
    if (!reason.isEmpty()) {
        Logger(WARN) << reason;
        if (why)
            *why = reason;
        return false;
    }
    std::vector<GFile*> files;
    for (const QString& path : paths) {
        Logger(DEBUG) << "copying " << path;
        files.push_back(g_file_new_for_path(QFile::encodeName(path).constData()));
    }
    files.push_back(nullptr);
    job = new Job;
    job->owner = this;
    job->paths = paths;
    Logger(INFO) << "Copying " << paths.size() << " file(s) to the remote machine";
    spice_main_channel_file_copy_async(channel, files.data(), G_FILE_COPY_NONE, job->cancellable.get(),
                                       onProgress, job, onDone, job);
    for (GFile* file : files)
        if (file)
            g_object_unref(file);
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
    const bool ok = spice_main_channel_file_copy_finish(SPICE_MAIN_CHANNEL(source), result, &error);
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    QString text;
    if (ok) {
        text = tr("%n file(s) copied to the remote machine", nullptr, job->paths.size());
        Logger(INFO) << text;
    } else if (cancelled) {
        text = tr("File copy cancelled");
        Logger(INFO) << text;
    } else {
        // Messages of the file layer name the file; the log and the window say "a file" instead.
        QString message = QString::fromUtf8(error ? error->message : "unknown error");
        for (const QString& path : job->paths)
            message.replace(path, QStringLiteral("a file")).replace(QFileInfo(path).fileName(), "a file");
        text = tr("File copy failed: %1").arg(message);
        Logger(WARN) << text;
    }
    g_clear_error(&error);
    // The library queues the news of a cancel for the agent (which then deletes the partial file)
    // but sends it only when the main channel next has something to write: give it something.
    gboolean agent = FALSE;
    int mode = 0;
    g_object_get(source, "agent-connected", &agent, "mouse-mode", &mode, nullptr);
    if (cancelled && agent && mode)
        spice_main_channel_request_mouse_mode(SPICE_MAIN_CHANNEL(source), mode);
    if (FileCopy* owner = job->owner) {
        owner->job = nullptr;
        Q_EMIT owner->finished(ok, text);
    }
    delete job;
}
