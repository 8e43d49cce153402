#pragma once

#include "session_types.h"

#include <QHash>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>
#include <cstdint>
#include <memory>
#include <thread>

class Devices;
class ChannelSockets;
class GuestAgent;
struct ConnectionSettings;
struct OpenedFile;
class MonitorConfig;
struct SurfaceBlock;

// Sets up, on a thread of its own, what the library initialises on first use and the first
// picture would otherwise wait for: GStreamer, which the display channel asks about its video
// decoders. Waits for that thread when it goes.
class LibraryWarmUp
{
public:
    LibraryWarmUp();
    ~LibraryWarmUp();
    LibraryWarmUp(const LibraryWarmUp&) = delete;
    LibraryWarmUp& operator=(const LibraryWarmUp&) = delete;

private:
    std::thread thread;
};

// The connection to one SPICE server at a time, its channels, its surface block and all input
// queued for or pressed on the server. The window talks to it by typed calls and hears from it by
// signals; the library's handlers behind it work on a record it owns, which only session.cpp sees.
class Session : public QObject
{
    Q_OBJECT

public:
    explicit Session(QObject* parent = nullptr);
    ~Session() override;

    // The first connection, to the server of the command line; false when no session could be made.
    // `fresh`: a start, whose first picture gets the centre click and the window's fit; false: a
    // connection that comes back on its own (a new connection process after the last one ended).
    bool start(bool fresh = true);
    // An activation: a session that is up or still young is left alone, any other is re-created.
    // 1 when a session is there afterwards, 0 otherwise.
    int checkReconnect();
    // Connects with `settings` (another server, or other link settings for the same one): what is
    // held on the server is released and its session closed; input waiting for the old one is
    // dropped, injected keys wait for the new one. 1 when the new session is on its way.
    int connectTo(const ConnectionSettings& settings);
    SessionPhase phase() const;
    // The window title the server's connection asks for; empty for none.
    QString title() const { return currentTitle; }
    // True when the current session is up or may still come up on its own.
    bool alive() const;

    // After a drop or a failed connection, a new session comes by itself: 1, 2 and 4 s later,
    // then every 5 s, until a picture arrives.
    // Turned on after the current session ended, it retries from then on.
    void setReconnectOnDrop(bool on);

    // Keys go by physical position (the display's keycodes are evdev's) or by their symbols.
    void setKeysByPosition(bool byPosition) { keysByPosition = byPosition; }

    void key(const KeyInput& key, bool press);
    // One key given as hexadecimal Qt key text: press and release, now or once input can go out.
    void injectKey(const QString& text);
    // The pointer at a surface pixel (client mouse mode) of a display channel (-1: the first
    // monitor's), or moved by a distance (server mouse mode).
    void pointerAt(const QPoint& surfacePoint, int display = -1);
    void pointerBy(const QPoint& delta);
    // A press, release or double click of one Qt mouse button. A release of a button the server
    // does not hold is not sent.
    void button(int qtButton, bool press, bool doubleClick = false);
    // Whole notches of the wheel: positive up, negative down.
    void wheel(int notches);
    // Set-1 make codes (an E0 key as 0x100 plus its second byte), pressed in order and released in
    // reverse, once: keys the local desktop would keep for itself.
    void sendScancodes(const QVector<uint>& codes);
    // Releases every key and button pressed on the server or waiting to be.
    void releaseAll();
    // Qt buttons pressed on the server or waiting to be.
    int heldButtons() const;

    // Local files, opened by the window, copied into the remote machine through its guest agent
    // as one batch (their descriptors are taken). False when the copy cannot start (no agent, file
    // copy turned off, a copy running): the words come as transferFinished(false, words).
    bool copyFiles(const QVector<OpenedFile>& files);
    void cancelCopy();
    // A file copy is running.
    bool copying() const;

    // Whether some window of the viewer is shown: while none is, the clipboard is not shared either
    // way (what the viewer holds on either side is let go, the remote side's offers are ignored and
    // its requests answered with nothing); once one shows, the local clipboard is offered again.
    void setWindowShown(bool someWindowShown);
    // Clipboard sharing through the guest agent. Whether `selection` is shared at all (not with
    // --no-clipboard; the X selection only with --share-primary).
    bool clipboardShared(int selection) const;
    // The local selection now offers these types (none: it was emptied), not counting what the
    // viewer put there itself.
    void offerLocalClipboard(int selection, const QStringList& types);
    // The answer to localClipboardRequested: the local data of that type, empty when there is none.
    void answerClipboardRequest(int selection, const QString& type, const QByteArray& data);
    // A local program wants the remote side's data: it comes as remoteClipboardData, empty when
    // there is none.
    void requestRemoteClipboard(int selection, const QString& type);
    // The answer to passwordWanted: a password the user typed (kept in memory only, never logged),
    // or none, which leaves the words of the refusal.
    void answerPassword(const QString& password);
    void declinePassword();
    // The client's monitors and windows: with an agent that takes monitors configurations (and
    // auto-resize on), the guest's monitors follow once the layout has settled.
    void setClientLayout(const ClientLayout& layout);
    // The window reads the block of that number no more: it can go.
    void releaseSurface(uint32_t serial);
    // The user's devices in the remote machine (USB devices, CD images, the folder, the microphone,
    // smartcards); what becomes of them comes as devicesChanged.
    Devices& devices() { return *deviceShare; }
    // The answer to socketWanted: a connected socket (taken), or why there is none, in words.
    void giveSocket(uint32_t request, int fd);
    void refuseSocket(uint32_t request, const QString& words);

Q_SIGNALS:
    // A new surface; `pixels` (a block of height × stride bytes) stays valid until the next
    // surfaceCreated. Null pixels: nothing is to be read any more.
    void surfaceCreated(void* pixels, ScreenInitInfo info);
    void surfaceChanged(Rect rect);
    void surfaceCleared();
    // The main channel opened.
    void opened();
    // The main channel closed: the window hides.
    void closed();
    void titleChanged(const QString& title);
    void serverMouseChanged(bool server);
    // Why the connection failed, in words; shown until a picture arrives.
    void connectionError(const QString& text);
    // A file copy: bytes done of all, then its outcome in words.
    void transferProgress(qint64 done, qint64 total);
    void transferFinished(bool ok, const QString& text);
    // The remote side's selection now offers these types; none: it holds nothing the viewer may
    // show any more (released, the agent gone, no window shown).
    void remoteClipboardOffered(int selection, const QStringList& types);
    void remoteClipboardData(int selection, const QString& type, const QByteArray& data);
    // The remote side wants the local data of this type: answered by answerClipboardRequest.
    void localClipboardRequested(int selection, const QString& type);
    // The server refused the password (`refused`) or wants one and none was given: the window asks
    // the user and answers with answerPassword or declinePassword. `server` names it in words. At
    // most kMaxPasswordTries typed passwords are asked for, per start.
    void passwordWanted(const QString& server, bool refused);
    // The guest's monitors: which display channel and which part of its surface each shows.
    void guestMonitorsChanged(const QVector<GuestMonitor>& monitors);
    // The guest's resolution follows the windows (or stays as it is).
    void followsWindowChanged(bool on);
    // Another display channel's surface, as surfaceCreated and surfaceChanged for the first one.
    void otherSurfaceCreated(int display, void* pixels, ScreenInitInfo info);
    void otherSurfaceChanged(int display, Rect rect);
    void devicesChanged(const DevicesStatus& status);
    // A channel wants a connection to the server, to its TLS port or its plain one: this process
    // opens none itself.
    void socketWanted(uint32_t request, bool tls);

private:
    friend struct SessionTesting;
    // A new session in place of the current one, on the server of currentConnection().
    int recreate();
    void scheduleReconnect();
    void retry();
    void askPassword();

    class Relay;
    std::unique_ptr<Relay> relay;
    // The record the library's handlers work on (the library's types stay in session.cpp).
    struct Library;
    std::unique_ptr<Library> library;
    std::unique_ptr<GuestAgent> guest; // clipboard and file copy, on the current main channel
    std::unique_ptr<MonitorConfig> monitors;
    std::unique_ptr<Devices> deviceShare;
    std::unique_ptr<ChannelSockets> sockets;
    QHash<uint32_t, SurfaceBlock*> retired; // blocks replaced while the window may still read them
    bool keysByPosition = false;
    bool reconnectOnDrop = false;
    QTimer* retryTimer;
    QString currentTitle;
    int retries = 0;       // attempts since the last picture
    int retryRunning = 0;  // the retry whose outcome is not known yet; 0: none
    bool isOpen = false;   // the current session's main channel opened
    int passwordTries = 0; // passwords typed since the last start or connection
    bool awaitingPassword = false;
    bool passwordDeclined = false; // the user said no: not asked again until the next start
};

constexpr int kMaxPasswordTries = 3;
