#pragma once

#include "gobject_ref.h"
#include "input.h"
#include "session.h"
#include "sigpipe.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <cstdint>
#include <deque>
#include <spice-client.h>

class Devices;
class ChannelSockets;
class GuestAgent;
class MonitorConfig;
class SessionViewer;

// A shared-memory block holding a surface's pixels, made with create_memshare.
struct SurfaceBlock {
    int fd = -1;
    uint8_t* data = nullptr;
    size_t size = 0;
    uint32_t serial = 0; // numbers the blocks of a process, so a reader can say which it let go of
};
// Unmaps the block and closes its descriptor.
void freeSurfaceBlock(const SurfaceBlock& block);

// The surface of a display channel other than the first monitor's, copied into a block of its own.
struct OtherSurface {
    int32_t id = 0; // the channel's id
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    int32_t bytesPerPixel = 0;
    uint8_t* imgdata = nullptr; // the library's pixels; cleared with the surface
    SurfaceBlock block;
};

// Input that waits for the inputs channel. An injected key carries its text for the log.
struct PendingInput {
    KM_EVENT event;
    QString injectedKey; // set on the press of an injected key; its release follows
};

// How many inputs may wait for a session; beyond that the oldest are dropped.
constexpr int kMaxPendingInput = 64;
// A session still connecting after this long is taken for one that never answers.
constexpr int kConnectingBoundMs = 10000;

// The session record: one per process, handed to every SPICE handler as user data.
struct SpiceAgent {
    GObjectRef<SpiceSession> session;
    SpiceDisplayChannel* display = nullptr; // borrowed; cleared when the channel goes
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    uint8_t* imgdata = nullptr; // the display channel's pixels; cleared with the channel
    int32_t format = 0;
    int32_t display_id = 0;                          // the channel id of the display whose surface is shown
    QHash<SpiceDisplayChannel*, int32_t> displayIds; // every display channel's id, by channel
    int32_t shm_fd = -1;
    uint8_t* shm_data = nullptr;
    SpiceInputsChannel* inputs = nullptr; // borrowed; cleared when the channel goes
    SpiceMainChannel* main = nullptr;     // borrowed; cleared when the channel goes
    // The playback channel until it is linked (borrowed; cleared when it goes). Sound sets up
    // GStreamer and the sound server's connection, which the first picture does not need: the
    // channel is linked once that picture is out.
    SpicePlaybackChannel* playback = nullptr;
    SessionViewer* viewer = nullptr;   // the session's relay, or a test's recorder; not owned
    GuestAgent* guest = nullptr;       // the session's; follows the current main channel
    MonitorConfig* monitors = nullptr; // the session's; the guest's monitors and the client's wishes
    Devices* devices = nullptr;        // the session's; the user's devices in the remote machine
    ChannelSockets* sockets = nullptr; // the session's; where the channels' sockets come from

    // The state of the current session; only the session layer writes it.
    SessionPhase phase = SessionPhase::Idle;
    bool inputsOpen = false;       // the current inputs channel has opened
    bool updated = false;          // the current session delivered a display update
    bool startupKeyPending = true; // the command-line key goes out once per process
    bool soundMayStart = false;    // the current session's first picture is out
    QElapsedTimer connectingSince; // started when the current session was created
    // The one ledger of input: what waits for the inputs channel and what the server holds.
    std::deque<PendingInput> pending; // input waiting for the inputs channel, oldest first
    QSet<unsigned int> pressed;       // scancodes pressed on the server and not yet released
    // Modifiers pressed for a shortcut whose modifiers the server lacked, by the shortcut's key:
    // they go with that key's release, whatever modifiers the release carries.
    QHash<unsigned int, QList<unsigned int>> shortcutModifiers;
    QHash<uint32_t, int> heldKeys;    // X keycode -> the Qt key its press sent (| KeypadModifier)
    int buttons = 0;                  // Qt buttons pressed on the server or waiting to be
    int mouseMode = 0;                // the main channel's SPICE_MOUSE_MODE_*; 0 before it says
    SignalConnections channelSignals; // our handlers on the current session's channels
    SourceId connectingTimeout;       // ends a session that stays connecting too long
    SourceId soundStart;              // starts the sound once nothing more urgent waits

    int32_t bytesPerPixel = 0; // of the current surface; 0 when it cannot be shown
    size_t shmSize = 0;        // bytes mapped at shm_data
    uint32_t shmSerial = 0;    // the block's number
    uint32_t lastSerial = 0;   // the last number given to a block
    // The next first-monitor surface comes from a start or an activation: the window fits it and,
    // unless turned off, a click at its centre serves the launcher. Surfaces that a resize, a
    // monitor change or a reconnection of its own produced get neither.
    bool freshSurface = true;
    bool centerClick = true;
    QHash<SpiceDisplayChannel*, OtherSurface> otherSurfaces; // every other display channel's
};

int connect_spice(SpiceAgent* agent);
int reconnect_spice(SpiceAgent* agent);
// Ends a session's connection: its channels first, then the session.
void closeSession(SpiceSession* session);
void connection_destroy(SpiceSession* session, void* user_data);

// Channel handlers.
void channel_new(SpiceSession* session, SpiceChannel* channel, void* user_data);
void channel_destroy(SpiceSession* session, SpiceChannel* channel, void* user_data);
void on_channel_event(SpiceChannel* channel, SpiceChannelEvent event, void* user_data);
void inputsChannelEvent(SpiceChannel* channel, SpiceChannelEvent event, void* user_data);
// The main channel's mouse mode changed: logged and handed to the window.
void mainMouseUpdate(SpiceChannel* channel, void* user_data);

// Surface handlers.
void display_create(SpiceDisplayChannel* channel, int format, int width, int height, int stride, int shmid,
                    void* imgdata, void* user_data);
void display_destroy(SpiceDisplayChannel* channel, void* user_data);
void display_update(SpiceDisplayChannel* channel, int x, int y, int width, int height, void* user_data);
// Whether `channel` holds the first monitor: the display channel with the lowest id.
bool isFirstDisplay(const SpiceAgent* agent, SpiceDisplayChannel* channel);
// The surfaces of the other display channels: each in a block of its own.
void otherDisplayCreate(SpiceAgent* agent, SpiceDisplayChannel* channel, int format, int width, int height,
                        int stride, void* imgdata);
void otherDisplayUpdate(SpiceAgent* agent, SpiceDisplayChannel* channel, int x, int y, int width, int height);
// A display channel that goes takes its surface along; the window is told.
void otherDisplayGone(SpiceAgent* agent, SpiceDisplayChannel* channel);
// Copies a clipped rectangle of a surface's pixels into its block.
void copyToBlock(uint8_t* block, const uint8_t* pixels, int32_t stride, int32_t bytesPerPixel,
                 const Rect& rect);

// Session state, asked by the window.
SessionPhase sessionPhase(const SpiceAgent* agent);
// True when the current session is up or may still come up on its own.
bool sessionAlive(const SpiceAgent* agent);

// Injects one key given as hexadecimal Qt key text: press and release, now or once input can go out.
void injectQtKey(SpiceAgent* agent, const QString& text);
// Sends the release of every key pressed on the server and queues one behind every press still
// waiting; forgets the pressed keys when nothing can be sent.
void releasePressedKeys(SpiceAgent* agent);
// The server forgot what was pressed (its inputs channel or the session went).
void forgetPressed(SpiceAgent* agent);
// Sends what waited for the inputs channel, in order.
void flushPendingInput(SpiceAgent* agent);

// The first picture is out: sound starts once nothing more urgent waits.
void allowSound(SpiceAgent* agent);
// Links the playback channel, with the library's audio player, once the first picture is out.
void startSound(SpiceAgent* agent);

// Releases the current surface block, if any (unmapped and its descriptor closed exactly once).
void releaseSurfaceBlock(SpiceAgent* agent);

// Forgets every channel and pixel pointer of the current session.
void forgetChannels(SpiceAgent* agent);
