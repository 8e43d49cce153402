#pragma once

// The protocol between the window process and its connection process (the process that owns the
// SPICE session and decodes everything the server sends). The window treats the other side as
// untrusted: every message is checked on receipt, and a message that fails a check is a violation,
// after which the window ends that process (never itself).
//
// Framing. One socket pair of type SOCK_SEQPACKET: each message is one datagram, so a reader never
// reassembles or resynchronises, a short or long datagram is seen as such (MSG_TRUNC), and the
// descriptors of a message (SCM_RIGHTS) arrive with exactly that datagram, never with a neighbour
// as a byte stream allows. A datagram is a 12-byte header followed by the payload:
//   magic "SPCP" (u32), version (u16), type (u16), payload length (u32).
// Byte order is the machine's: both ends are the same executable. The version changes with any
// change of a message's layout; a message of another version is a violation.
//
// Limits. A datagram is at most kMaxMessage (64 KiB, well under the socket's buffer). Each message
// carries exactly the descriptors its type takes (none, or one); any other count is a violation and
// every descriptor that arrived is closed. Texts are valid UTF-8 without NUL, each with its own
// bound (a sender cuts texts at their bound, on a character boundary); lists are bounded per type;
// flags have no unknown bits; enumerations have no unknown values. Clipboard data, which may be far
// larger than a datagram, travels in a memory file (one descriptor) whose size must be exactly the
// announced count, at most kMaxClipboardBytes; the receiver copies it out and closes it.
//
// Sockets. The connection process opens no connection: for each channel it asks the window
// (SocketRequest, a number of its own, the TLS port or the plain one) and the window answers that
// number once, with a connected socket (SocketGiven) or with why there is none (SocketFailed). The
// window picks where it connects (the current connection's server, through its proxy); the process
// refuses an answer to no open request and a descriptor that is not a connected TCP socket.
//
// Surfaces. SurfaceCreated carries the block (made with create_memshare, sealed against shrinking)
// that holds the surface's pixels; the receiver checks it with fstat (a regular file of at least
// height x stride bytes, at most kMaxSurfaceBytes) and its seals (a block that may shrink would
// fault the window while it paints), then maps it read-only. Every surface has an id below
// kMaxSurfaces; changed rectangles, monitors and the end of a surface must name a surface the reader
// knows, and rectangles and monitor areas must lie inside it.
//
// The process. The window starts it (viewer/connection_launcher.h) as this same executable with
// kConnectionProcessArgument: the socket at kConnectionSocketFd, /dev/null as input, the log as
// output, nothing else inherited; no DISPLAY or XAUTHORITY; no new privileges; it dies with the
// window. Before it makes a session it confines itself (confinement.h): a file system of its own
// with only what it needs and the paths the window names at its start (--read-path=,
// --write-path=), no network (the window opens every connection and hands it over), Landlock, no
// capability, and a system-call allow-list (threads but no process, no exec, no signal to another
// process, no IP socket).
//
// Messages (W: window -> connection process, C: connection process -> window, B: both ways).
//   W Connect          kind (start, reconnect, switch, recover), up to 64 settings (name, bytes)
//   W SetOptions       flags: reconnect on drop, keys by position, clipboard, file copy, primary,
//                      auto-resize, centre click
//   W Key              X keycode, Qt key, modifiers, keypad, press
//   W InjectKey        hexadecimal Qt key text
//   W PointerAt        display (-1: the first monitor's), x, y  W PointerBy  dx, dy
//   W Button           Qt button, press, double click          W Wheel      notches
//   W Scancodes        up to 16 set-1 codes                    W ReleaseAll
//   W MonitorsConfig   the client's layout: up to 16 screens, the first window's screen, full
//                      screen, up to 16 windows (guest monitor, size, shown or not)
//   W FileCopyAdd      file name, + the opened file            W FileCopyStart, FileCopyCancel
//   W PasswordAnswer   given, password bytes                   W WindowShown  shown
//   W UsbRedirect      the window's number, a name, + the opened USB device node
//   W CdShare          the window's number, the image's path   W DeviceRelease  number
//   W FolderShare      path (empty: none), read only           W MicrophoneSwitch  on
//   W SmartcardSwitch  insert (else remove) the software card
//   W SocketGiven      request, + the connected socket         W SocketFailed request, words
//   C Ready            the process is confined and listening
//   C PhaseChanged     Idle, Connecting, Open, InputsReady, Closed, Failed
//   C SurfaceCreated   surface, flags (first monitor's, fresh), width, height, stride, format,
//                      pixel format, + the block
//   C SurfaceChanged   surface, up to 1024 rectangles          C SurfaceGone  surface
//   C MonitorsChanged  up to 16 monitors: id, surface, area inside that surface, client screen
//   C TitleChanged, ConnectionError, TransferFinished (ok): words
//   C MouseModeChanged server                                  C Closed
//   C AgentChanged     flags: connected, the guest follows the windows
//   C TransferProgress bytes done, of total
//   C PasswordRequest  retry, the server in words              C Cleared  (the picture is gone)
//   C DevicesChanged   USB state, flags, the shared folder, up to 32 devices (number, CD or
//                      not, state, name, words)
//   C SocketRequest    request, TLS port or plain
//   B ClipboardOffer   selection, up to 16 MIME types          B ClipboardRequest  selection, type
//   B ClipboardData    selection, type, + a memory file with the bytes
//   B ClipboardRelease selection

#include "session_types.h"

#include <QByteArray>
#include <QString>

struct ConnectionSettings;
#include <QVector>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <variant>
#include <vector>

namespace wire
{

// The connection process is the viewer's own executable started with this argument as its first;
// it finds its socket to the window at kConnectionSocketFd.
constexpr const char* kConnectionProcessArgument = "--connection-process";
constexpr int kConnectionSocketFd = 3;

constexpr uint32_t kMagic = 0x50435053; // "SPCP" in memory on a little-endian machine
constexpr uint16_t kVersion = 3;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxMessage = 64 * 1024;
constexpr int kMaxSurfaces = 16;
constexpr int kMaxSurfaceSide = 16384;
constexpr size_t kMaxSurfaceBytes = size_t(256) * 1024 * 1024;
constexpr size_t kMaxClipboardBytes = size_t(100) * 1024 * 1024; // the library's own default bound
constexpr int kMaxRects = 1024;
constexpr int kMaxMonitors = 16;
constexpr int kMaxSettings = 64;
constexpr int kMaxScancodes = 16;
constexpr int kMaxMimeTypes = 16;
constexpr int kMaxTitleBytes = 1024;
constexpr int kMaxWordsBytes = 4096;
constexpr int kMaxNameBytes = 255; // one file name, as the file system allows
constexpr int kMaxMimeBytes = 128;
constexpr int kMaxPasswordBytes = 256;
constexpr int kMaxSettingNameBytes = 64;
constexpr int kMaxPathBytes = 4096;
constexpr int kMaxDevices = 32;
constexpr int kMaxSettingValueBytes = 48 * 1024; // a PEM chain of a few certificates fits
constexpr int kMaxSocketRequests = 64;           // open at once: a session has a handful of channels

// Which side sends a message type.
enum class Side : uint8_t { Window, ConnectionProcess, Either };

enum class Type : uint16_t {
    Connect = 1,
    SetOptions,
    Key,
    InjectKey,
    PointerAt,
    PointerBy,
    Button,
    Wheel,
    Scancodes,
    ReleaseAll,
    MonitorsConfig,
    FileCopyAdd,
    FileCopyStart,
    FileCopyCancel,
    PasswordAnswer,
    WindowShown,
    UsbRedirect,
    CdShare,
    DeviceRelease,
    FolderShare,
    MicrophoneSwitch,
    SmartcardSwitch,
    SocketGiven,
    SocketFailed,
    Ready = 64,
    PhaseChanged,
    SurfaceCreated,
    SurfaceChanged,
    SurfaceGone,
    MonitorsChanged,
    TitleChanged,
    MouseModeChanged,
    ConnectionError,
    Closed,
    AgentChanged,
    TransferProgress,
    TransferFinished,
    PasswordRequest,
    Cleared,
    DevicesChanged,
    SocketRequest,
    ClipboardOffer = 128,
    ClipboardRequest,
    ClipboardData,
    ClipboardRelease,
};

// An owned descriptor, closed when it goes.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd; }
    int release();
    void reset(int replacement = -1);
    explicit operator bool() const { return fd >= 0; }

private:
    int fd = -1;
};

// Message fields are listed once, in fields(), for the encoder and the checking decoder alike.
struct Rect {
    int32_t x = 0, y = 0, width = 0, height = 0;
    template <class A> void fields(A& a) { a(x), a(y), a(width), a(height); }
};

struct Setting {
    QString name;
    QByteArray value;
    template <class A> void fields(A& a)
    {
        a.text(name, kMaxSettingNameBytes), a.bytes(value, kMaxSettingValueBytes);
    }
};

// One window of the viewer as the guest's monitors configuration sees it (ClientWindow).
struct WindowState {
    enum State : uint8_t { Shown, Minimised, Hidden, Closed, StateCount };
    int32_t monitor = 0;
    int32_t width = 0, height = 0; // device pixels; 0 x 0: no wish
    uint8_t state = Hidden;
    template <class A> void fields(A& a)
    {
        a(monitor), a(width), a(height), a.enumeration(state, StateCount);
    }
};

struct Monitor {
    uint32_t id = 0;
    uint32_t surface = 0;
    Rect area;           // in the surface's pixels
    int32_t screen = -1; // the client screen it was asked for, or -1
    template <class A> void fields(A& a) { a(id), a(surface), a.item(area), a(screen); }
};

#define WIRE_MESSAGE(Name, From)                                                                             \
    static constexpr Type type = Type::Name;                                                                 \
    static constexpr Side from = Side::From

struct Connect {
    WIRE_MESSAGE(Connect, Window);
    // Start: the first session; Reconnect: an activation; SwitchServer: a later start's settings;
    // Recover: a new process after the last one ended (no centre click, no start-up key).
    enum Kind : uint8_t { Start, Reconnect, SwitchServer, Recover, KindCount };
    uint8_t kind = Start;
    QVector<Setting> settings;
    template <class A> void fields(A& a) { a.enumeration(kind, KindCount), a.list(settings, kMaxSettings); }
};

struct SetOptions {
    WIRE_MESSAGE(SetOptions, Window);
    enum : uint32_t {
        ReconnectOnDrop = 1,
        KeysByPosition = 2,
        Clipboard = 4,
        FileCopy = 8,
        SharePrimary = 16,
        AutoResize = 32,
        CenterClick = 64,
        All = 127
    };
    uint32_t flags = 0;
    template <class A> void fields(A& a) { a.flags(flags, All); }
};

struct Key {
    WIRE_MESSAGE(Key, Window);
    uint32_t nativeScanCode = 0;
    int32_t key = 0;
    uint32_t modifiers = 0;
    bool keypad = false;
    bool press = false;
    template <class A> void fields(A& a) { a(nativeScanCode), a(key), a(modifiers), a(keypad), a(press); }
};

struct InjectKey {
    WIRE_MESSAGE(InjectKey, Window);
    QString text;
    template <class A> void fields(A& a) { a.text(text, 64); }
};

struct PointerAt {
    WIRE_MESSAGE(PointerAt, Window);
    int32_t display = -1; // the display channel (surface) the point is on; -1: the first monitor's
    int32_t x = 0, y = 0;
    template <class A> void fields(A& a) { a(display), a(x), a(y); }
};

struct PointerBy {
    WIRE_MESSAGE(PointerBy, Window);
    int32_t dx = 0, dy = 0;
    template <class A> void fields(A& a) { a(dx), a(dy); }
};

struct Button {
    WIRE_MESSAGE(Button, Window);
    int32_t qtButton = 0;
    bool press = false;
    bool doubleClick = false;
    template <class A> void fields(A& a) { a(qtButton), a(press), a(doubleClick); }
};

struct Wheel {
    WIRE_MESSAGE(Wheel, Window);
    int32_t notches = 0;
    template <class A> void fields(A& a) { a(notches); }
};

struct Scancodes {
    WIRE_MESSAGE(Scancodes, Window);
    QVector<uint32_t> codes; // set-1 make codes, an E0 key as 0x100 plus its second byte
    template <class A> void fields(A& a) { a.list(codes, kMaxScancodes); }
};

struct ReleaseAll {
    WIRE_MESSAGE(ReleaseAll, Window);
    template <class A> void fields(A&) {}
};

struct MonitorsConfig {
    WIRE_MESSAGE(MonitorsConfig, Window);
    QVector<Rect> screens; // device pixels
    int32_t screen = 0;    // the first window's
    bool fullScreen = false;
    QVector<WindowState> windows;
    template <class A> void fields(A& a)
    {
        a.list(screens, kMaxMonitors), a(screen), a(fullScreen), a.list(windows, kMaxMonitors);
    }
};

// One dropped file, opened by the window; the batch begins with FileCopyStart.
struct FileCopyAdd {
    WIRE_MESSAGE(FileCopyAdd, Window);
    QString name;
    UniqueFd file;
    template <class A> void fields(A& a) { a.text(name, kMaxNameBytes), a.descriptor(file); }
};

struct FileCopyStart {
    WIRE_MESSAGE(FileCopyStart, Window);
    template <class A> void fields(A&) {}
};

struct FileCopyCancel {
    WIRE_MESSAGE(FileCopyCancel, Window);
    template <class A> void fields(A&) {}
};

struct PasswordAnswer {
    WIRE_MESSAGE(PasswordAnswer, Window);
    bool given = false; // false: the user cancelled
    QByteArray password;
    template <class A> void fields(A& a) { a(given), a.bytes(password, kMaxPasswordBytes); }
};

// Whether some window of the viewer is shown: while none is, no clipboard is shared.
struct WindowShown {
    WIRE_MESSAGE(WindowShown, Window);
    bool shown = false;
    template <class A> void fields(A& a) { a(shown); }
};

// A USB device the window opened for the user; the number is the window's (below 0x80000000).
struct UsbRedirect {
    WIRE_MESSAGE(UsbRedirect, Window);
    uint32_t id = 0;
    QString name;
    UniqueFd device; // a character device node, open read-write
    template <class A> void fields(A& a) { a(id), a.text(name, kMaxTitleBytes), a.descriptor(device); }
};

struct CdShare {
    WIRE_MESSAGE(CdShare, Window);
    uint32_t id = 0;
    QString path;
    template <class A> void fields(A& a) { a(id), a.text(path, kMaxPathBytes); }
};

struct DeviceRelease {
    WIRE_MESSAGE(DeviceRelease, Window);
    uint32_t id = 0;
    template <class A> void fields(A& a) { a(id); }
};

struct FolderShare {
    WIRE_MESSAGE(FolderShare, Window);
    QString path; // empty: no folder
    bool readOnly = false;
    template <class A> void fields(A& a) { a.text(path, kMaxPathBytes), a(readOnly); }
};

struct MicrophoneSwitch {
    WIRE_MESSAGE(MicrophoneSwitch, Window);
    bool on = false;
    template <class A> void fields(A& a) { a(on); }
};

struct SmartcardSwitch {
    WIRE_MESSAGE(SmartcardSwitch, Window);
    bool insert = false;
    template <class A> void fields(A& a) { a(insert); }
};

// The answer to SocketRequest `request`: a TCP socket connected to the server (or through the proxy
// to it), nothing read from the server yet.
struct SocketGiven {
    WIRE_MESSAGE(SocketGiven, Window);
    uint32_t request = 0;
    UniqueFd socket;
    template <class A> void fields(A& a) { a(request), a.descriptor(socket); }
};

// The answer to SocketRequest `request` when no connection could be made: why, in words.
struct SocketFailed {
    WIRE_MESSAGE(SocketFailed, Window);
    uint32_t request = 0;
    QString words;
    template <class A> void fields(A& a) { a(request), a.text(words, kMaxWordsBytes); }
};

struct Ready {
    WIRE_MESSAGE(Ready, ConnectionProcess);
    template <class A> void fields(A&) {}
};

struct PhaseChanged {
    WIRE_MESSAGE(PhaseChanged, ConnectionProcess);
    uint8_t phase = 0; // SessionPhase
    template <class A> void fields(A& a) { a.enumeration(phase, 6); }
};

struct SurfaceCreated {
    WIRE_MESSAGE(SurfaceCreated, ConnectionProcess);
    enum : uint32_t { First = 1, Fresh = 2 }; // the first monitor's; after a start or an activation
    uint32_t surface = 0;                     // the display channel's id
    uint32_t flags = 0;
    int32_t width = 0, height = 0, stride = 0;
    int32_t format = 0;      // as ScreenInitInfo's format
    int32_t pixelFormat = 0; // the server's code for the pixels
    UniqueFd block;          // height x stride bytes, sealed against shrinking
    template <class A> void fields(A& a)
    {
        a(surface), a.flags(flags, First | Fresh), a(width), a(height), a(stride), a(format), a(pixelFormat),
            a.descriptor(block);
    }
};

struct SurfaceChanged {
    WIRE_MESSAGE(SurfaceChanged, ConnectionProcess);
    uint32_t surface = 0;
    QVector<Rect> rects;
    template <class A> void fields(A& a) { a(surface), a.list(rects, kMaxRects); }
};

struct SurfaceGone {
    WIRE_MESSAGE(SurfaceGone, ConnectionProcess);
    uint32_t surface = 0;
    template <class A> void fields(A& a) { a(surface); }
};

struct MonitorsChanged {
    WIRE_MESSAGE(MonitorsChanged, ConnectionProcess);
    QVector<Monitor> monitors;
    template <class A> void fields(A& a) { a.list(monitors, kMaxMonitors); }
};

struct TitleChanged {
    WIRE_MESSAGE(TitleChanged, ConnectionProcess);
    QString title;
    template <class A> void fields(A& a) { a.text(title, kMaxTitleBytes); }
};

struct MouseModeChanged {
    WIRE_MESSAGE(MouseModeChanged, ConnectionProcess);
    bool server = false;
    template <class A> void fields(A& a) { a(server); }
};

struct ConnectionError {
    WIRE_MESSAGE(ConnectionError, ConnectionProcess);
    QString text;
    template <class A> void fields(A& a) { a.text(text, kMaxWordsBytes); }
};

struct Closed {
    WIRE_MESSAGE(Closed, ConnectionProcess);
    template <class A> void fields(A&) {}
};

struct AgentChanged {
    WIRE_MESSAGE(AgentChanged, ConnectionProcess);
    enum : uint32_t { Connected = 1, FollowsWindows = 2 }; // the guest's monitors follow the windows
    uint32_t flags = 0;
    template <class A> void fields(A& a) { a.flags(flags, 3); }
};

struct TransferProgress {
    WIRE_MESSAGE(TransferProgress, ConnectionProcess);
    int64_t done = 0, total = 0;
    template <class A> void fields(A& a) { a(done), a(total); }
};

struct TransferFinished {
    WIRE_MESSAGE(TransferFinished, ConnectionProcess);
    bool ok = false;
    QString text;
    template <class A> void fields(A& a) { a(ok), a.text(text, kMaxWordsBytes); }
};

struct PasswordRequest {
    WIRE_MESSAGE(PasswordRequest, ConnectionProcess);
    bool retry = false; // the last password was refused
    QString server;
    template <class A> void fields(A& a) { a(retry), a.text(server, kMaxTitleBytes); }
};

// The picture is gone (a new session comes up); the surfaces stay until replaced.
struct Cleared {
    WIRE_MESSAGE(Cleared, ConnectionProcess);
    template <class A> void fields(A&) {}
};

struct DeviceItem {
    uint32_t id = 0;
    bool cd = false;
    uint8_t state = 0; // SharedDevice::State
    QString name, words;
    template <class A> void fields(A& a)
    {
        a(id), a(cd), a.enumeration(state, SharedDevice::StateCount), a.text(name, kMaxTitleBytes),
            a.text(words, kMaxWordsBytes);
    }
};

struct DevicesChanged {
    WIRE_MESSAGE(DevicesChanged, ConnectionProcess);
    uint8_t usb = 0; // DevicesStatus::Usb
    int32_t freeUsbChannels = 0;
    uint32_t flags = 0; // DevicesStatus's
    QString folder;
    QVector<DeviceItem> devices;
    template <class A> void fields(A& a)
    {
        a.enumeration(usb, DevicesStatus::UsbCount), a(freeUsbChannels),
            a.flags(flags, DevicesStatus::AllFlags), a.text(folder, kMaxPathBytes),
            a.list(devices, kMaxDevices);
    }
};

// A channel wants a connection to the server: its TLS port or its plain one.
struct SocketRequest {
    WIRE_MESSAGE(SocketRequest, ConnectionProcess);
    uint32_t request = 0;
    bool tls = false;
    template <class A> void fields(A& a) { a(request), a(tls); }
};

enum Selection : uint8_t { ClipboardSelection, PrimarySelection, SelectionCount };

struct ClipboardOffer {
    WIRE_MESSAGE(ClipboardOffer, Either);
    uint8_t selection = ClipboardSelection;
    QVector<QString> types; // MIME types
    template <class A> void fields(A& a)
    {
        a.enumeration(selection, SelectionCount), a.textList(types, kMaxMimeTypes, kMaxMimeBytes);
    }
};

struct ClipboardRequest {
    WIRE_MESSAGE(ClipboardRequest, Either);
    uint8_t selection = ClipboardSelection;
    QString mimeType;
    template <class A> void fields(A& a)
    {
        a.enumeration(selection, SelectionCount), a.text(mimeType, kMaxMimeBytes);
    }
};

struct ClipboardData {
    WIRE_MESSAGE(ClipboardData, Either);
    uint8_t selection = ClipboardSelection;
    QString mimeType;
    QByteArray data; // in a memory file on the wire
    template <class A> void fields(A& a)
    {
        a.enumeration(selection, SelectionCount), a.text(mimeType, kMaxMimeBytes),
            a.bulk(data, kMaxClipboardBytes);
    }
};

struct ClipboardRelease {
    WIRE_MESSAGE(ClipboardRelease, Either);
    uint8_t selection = ClipboardSelection;
    template <class A> void fields(A& a) { a.enumeration(selection, SelectionCount); }
};

#undef WIRE_MESSAGE

using Message =
    std::variant<Connect, SetOptions, Key, InjectKey, PointerAt, PointerBy, Button, Wheel, Scancodes,
                 ReleaseAll, MonitorsConfig, FileCopyAdd, FileCopyStart, FileCopyCancel, PasswordAnswer,
                 WindowShown, UsbRedirect, CdShare, DeviceRelease, FolderShare, MicrophoneSwitch,
                 SmartcardSwitch, SocketGiven, SocketFailed, Ready, PhaseChanged, SurfaceCreated,
                 SurfaceChanged, SurfaceGone, MonitorsChanged, TitleChanged, MouseModeChanged,
                 ConnectionError, Closed, AgentChanged, TransferProgress, TransferFinished, PasswordRequest,
                 Cleared, DevicesChanged, SocketRequest, ClipboardOffer, ClipboardRequest, ClipboardData,
                 ClipboardRelease>;

// One message ready to go: its datagram and the descriptors that go with it.
struct Encoded {
    QByteArray datagram; // empty: the message could not be encoded (see error)
    std::vector<int> fds;
    std::vector<UniqueFd> owned; // descriptors made for this message (clipboard data), closed with it
    const char* error = nullptr;
};
Encoded encode(const Message& message);

enum class SendResult { Sent, WouldBlock, Failed };
// One datagram; never raises SIGPIPE.
SendResult sendEncoded(int socket, const Encoded& message);

// What one read from the socket brought.
struct ReadOutcome {
    enum Kind { Received, WouldBlock, PeerClosed, Violation, Failed };
    Kind kind = Failed;
    Message message;
    QString reason; // for a violation or a failure, in words
};

// Reads and checks the messages one peer sends. It remembers the surfaces that peer announced,
// to check what later messages say about them.
class Reader
{
public:
    explicit Reader(Side peer) : peer(peer) {}
    ReadOutcome read(int socket);
    // Socket requests: the process's SocketRequest opens its number, the window's answer closes it.
    // Told of each message this side sends; false when it must not go (a request whose number is
    // open, or one over kMaxSocketRequests; an answer to no open request).
    bool sending(const Message& message);
    // The surface's size as the reader knows it; false when it knows no such surface.
    bool surfaceSize(uint32_t surface, int32_t* width, int32_t* height) const;

private:
    QString check(Message& message);

    struct Known {
        bool present = false;
        int32_t width = 0, height = 0;
    };
    Side peer;
    Known surfaces[kMaxSurfaces];
    std::set<uint32_t> openRequests; // socket requests not answered yet
    std::vector<unsigned char> buffer = std::vector<unsigned char>(kMaxMessage + 1);
};

// A connection's settings as Connect carries them (the password among them), and back. A name
// the reader does not know is left aside.
QVector<Setting> settingsToWire(const ConnectionSettings& settings);
ConnectionSettings settingsFromWire(const QVector<Setting>& settings);

// Adds the seals a surface block needs before it is handed over: it can neither shrink nor grow.
// The block must have been made with sealing allowed. False with errno set on failure.
bool sealSurfaceBlock(int fd);

// A surface block mapped read-only; unmapped when it goes. Takes the descriptor from the message
// and closes it once mapped.
class SurfaceView
{
public:
    SurfaceView() = default;
    explicit SurfaceView(SurfaceCreated& surface);
    SurfaceView(SurfaceView&& other) noexcept;
    SurfaceView& operator=(SurfaceView&& other) noexcept;
    ~SurfaceView();
    const unsigned char* pixels() const { return data; }
    size_t size() const { return length; }

private:
    const unsigned char* data = nullptr;
    size_t length = 0;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no NUL.
bool validText(const char* text, size_t length);

} // namespace wire
