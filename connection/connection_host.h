#pragma once

#include "message_link.h"
#include "session_types.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSize>
#include <QTimer>
#include <QVector>
#include <map>
#include <memory>

class LibraryWarmUp;
class Session;
struct OpenedFile;

// The connection process's side of the protocol: the window's messages become calls on the
// session it hosts, the session's signals become messages. The session is made by the first
// Connect, after the options it is built with (SetOptions). Surface blocks go with their
// descriptor, sealed; a replaced block is let go here once sent, the window's mapping keeps it.
// Changed rectangles go out together, before anything else: at the end of the event loop's round
// after a quiet spell (a typed character shows at once), at most every few milliseconds while
// changes keep coming (a frame that arrives in bands crosses in a few messages, not one a band).
class ConnectionHost : public QObject
{
    Q_OBJECT

public:
    explicit ConnectionHost(MessageLink& link, QObject* parent = nullptr);
    ~ConnectionHost() override;

    // The hosted session; null before the first Connect.
    Session* session() const { return hosted.get(); }

private:
    void receive(wire::Message& message);
    void applyOptions(uint32_t flags);
    void connectSession(wire::Connect& message);
    void relaySignals();
    // Sends `message` after the rectangles gathered so far.
    void send(const wire::Message& message);
    void surfaceCreated(bool first, const void* pixels, const ScreenInitInfo& info);
    void surfaceChanged(int display, const Rect& rect);
    void scheduleFlush();
    void flush();
    void releaseLater(uint32_t serial);

    MessageLink& link;
    std::unique_ptr<LibraryWarmUp> warmUp; // GStreamer gets ready while the connection comes up
    std::unique_ptr<Session> hosted;
    uint32_t options = 0;
    int firstDisplay = -1;
    QHash<int, QSize> announced;  // surfaces the window knows, by display channel id
    QHash<int, uint32_t> serials; // the session's number of each one's block
    std::map<int, QVector<wire::Rect>> changed;
    QVector<GuestMonitor> monitors;
    QVector<wire::Monitor> sentMonitors;
    bool monitorsPending = false;
    QTimer flushTimer;
    QElapsedTimer lastFlush;   // since changed rectangles last went out
    QVector<OpenedFile> files; // dropped, waiting for FileCopyStart
};
