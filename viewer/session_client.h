#pragma once

#include "channel_connector.h"
#include "connection_launcher.h"
#include "connection_protocol.h"
#include "session_types.h"

#include <QHash>
#include <QObject>
#include <QPoint>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>
#include <map>
#include <memory>

class MessageLink;
struct ConnectionSettings;

// A surface's pixels, mapped read-only, held by whoever reads them: unmapped once nobody holds them.
using SurfacePixels = std::shared_ptr<const unsigned char>;

// The window's side of the session: the connection process that owns it (started here, confined,
// watched) and the same calls and signals the window had of the session itself, carried by the
// protocol. It keeps what the window asks synchronously (the buttons held, a copy running, the
// title) and its own ledger of what is pressed. When the process ends unexpectedly (a crash, a
// kill, a message the window cannot accept, after which the window ends it), one ERROR says so,
// the window hears that the connection broke, and a new process comes: by itself after 1, 2, 4 s,
// then every 5 s when the session reconnects on its own (a kiosk), otherwise with the next start.
// The process opens no connection: the sockets of its channels are opened here, to the current
// connection's server, and handed over.
class SessionClient : public QObject
{
    Q_OBJECT

public:
    explicit SessionClient(QObject* parent = nullptr);
    ~SessionClient() override;

    // Talks over `socket` (taken) to a connection process hosted elsewhere (a test's, in this
    // process): none is started or ended here.
    void attach(int socket);
    // Starts the connection process and has it connect to the current connection, with the
    // start's key: at once, before the application object that runs the window exists (the process
    // starts and connects while the window is built), or else with start().
    bool startEarly();
    // Starts the connection process if startEarly() did not, and listens to it.
    bool start();
    // An activation: the process's session is left alone when up or still young, re-created
    // otherwise; a process that ended is started again.
    int checkReconnect();
    // Another server or other link settings: they become the current connection.
    int connectTo(const ConnectionSettings& settings);
    QString title() const { return currentTitle; }

    void setReconnectOnDrop(bool on);
    void setKeysByPosition(bool byPosition);

    void key(const KeyInput& key, bool press);
    // Whether the key's press went to the current process and it is not released yet.
    bool keyHeld(const KeyInput& key) const;
    void injectKey(const QString& text);
    void pointerAt(const QPoint& surfacePoint, int display = -1);
    void pointerBy(const QPoint& delta);
    void button(int qtButton, bool press, bool doubleClick = false);
    void wheel(int notches);
    void sendScancodes(const QVector<uint>& codes);
    void releaseAll();
    // Qt buttons pressed on the server or waiting to be.
    int heldButtons() const { return buttons; }

    // Local files, opened here and handed over; false, with transferFinished(false, words), when
    // the copy cannot start here.
    bool copyFiles(const QStringList& paths);
    void cancelCopy();
    bool copying() const { return copyRunning; }

    void setWindowShown(bool someWindowShown);
    bool clipboardShared(int selection) const;
    void offerLocalClipboard(int selection, const QStringList& types);
    void answerClipboardRequest(int selection, const QString& type, const QByteArray& data);
    void requestRemoteClipboard(int selection, const QString& type);
    void answerPassword(const QString& password);
    void declinePassword();
    void setClientLayout(const ClientLayout& layout);

    // The user's devices, handed to the connection process and, should it end, to the next one.
    // A USB device the window opened (the descriptor is taken), under a number of the window's.
    void redirectUsb(uint32_t id, const QString& name, int fd);
    void shareCd(uint32_t id, const QString& path);
    // Gives back a USB device or stops sharing a CD image.
    void releaseDevice(uint32_t id);
    // Shares a folder (empty: none).
    void shareFolder(const QString& path, bool readOnly);
    void setMicrophone(bool on);
    void smartcard(bool insert);
    // What the connection process said of them last; nothing while there is none.
    const DevicesStatus& devices() const { return deviceStatus; }

Q_SIGNALS:
    // A new surface of the first monitor's display; a window keeps `pixels` while it shows them.
    // Null pixels: nothing is to be read any more.
    void surfaceCreated(SurfacePixels pixels, ScreenInitInfo info);
    void surfaceChanged(Rect rect);
    void surfaceCleared();
    void closed();
    void titleChanged(const QString& title);
    void serverMouseChanged(bool server);
    void connectionError(const QString& text);
    // The connection process ended unexpectedly; the log says how.
    void connectionBroke();
    void transferProgress(qint64 done, qint64 total);
    void transferFinished(bool ok, const QString& text);
    void remoteClipboardOffered(int selection, const QStringList& types);
    void remoteClipboardData(int selection, const QString& type, const QByteArray& data);
    void localClipboardRequested(int selection, const QString& type);
    void passwordWanted(const QString& server, bool refused);
    void guestMonitorsChanged(const QVector<GuestMonitor>& monitors);
    void followsWindowChanged(bool on);
    void otherSurfaceCreated(int display, SurfacePixels pixels, ScreenInitInfo info);
    void otherSurfaceChanged(int display, Rect rect);
    void devicesChanged(const DevicesStatus& status);

private:
    struct Surface {
        SurfacePixels pixels;
        ScreenInitInfo info{};
    };
    // Starts a process and asks it for a session of `kind` on the current connection.
    bool launch(uint8_t kind);
    bool spawn();
    // The files the process may open besides what it needs to run (--read-path=, --write-path=).
    QStringList reachablePaths() const;
    // Replaces a running process that may not open what the user chose since it started; false
    // when it may (the message then goes to it).
    bool renewForNewFiles();
    void openLink(int socket);
    void dropLink();
    void sendConnect(uint8_t kind);
    bool send(const wire::Message& message);
    void receive(wire::Message& message);
    void surfaceGone(int display);
    // The link broke (`violation`: what the process sent that the window refused): it is ended.
    void linkDown(const QString& violation);
    void ended(const QString& how);
    void sendOptions();
    // What the user chose to share since the start, said again to a new process.
    void sendDeviceWishes();
    wire::SetOptions optionsMessage() const;

    ConnectionLauncher launcher;
    MessageLink* link = nullptr;
    ChannelConnector connector; // the current link's sockets under way
    bool attached = false;      // a test's process: nothing to start or end
    bool reconnectOnDrop = false;
    bool keysByPosition = false;
    bool windowShown = false;
    bool startKeySent = false; // the start's key goes to the first process only
    int earlySocket = -1;      // started by startEarly(), not listened to yet
    QString currentTitle;

    // The window's ledger: keys pressed (by X keycode, else Qt key) and buttons held.
    QSet<qint64> keysDown;
    int buttons = 0;
    bool copyRunning = false;
    bool serverMouse = false;
    QSet<QPair<int, QString>> remoteAsked; // remote clipboard data asked for, not yet come
    QStringList localOffers[2];            // what the local selections offer, as last said
    bool haveLayout = false;
    ClientLayout layout;

    // What the current process showed.
    int firstDisplay = -1;
    QHash<int, Surface> surfaces; // by display channel id
    QVector<GuestMonitor> monitors;
    bool serverSpoke = false; // the process's session opened
    QString violation;        // what the process sent that was refused

    struct DeviceWish {
        QString name, path; // a CD image's path
        wire::UniqueFd fd;  // a USB device's
    };
    std::map<uint32_t, DeviceWish> deviceWishes;
    bool folderChosen = false; // the menu chose a folder (or none) over the settings'
    QString folder;
    bool folderReadOnly = false;
    int microphoneChosen = -1; // -1: as the settings say
    DevicesStatus deviceStatus;
    QStringList granted;   // the paths the running process was named
    bool renewing = false; // it ends for a new one that may open more

    int restarts = 0; // processes started again since the last picture
    QTimer restartTimer;
};
