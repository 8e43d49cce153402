#pragma once

// Plain data that both sides of the session speak: the session in the connection process, the
// window and its client of that process. No SPICE type, no Qt GUI type.

#include "monitor_layout.h"

#include <QString>
#include <QVector>
#include <cstdint>

// Where the current session stands. The library's inputs channel drops every call until it has
// opened, and it opens after the main channel, often after the first picture.
enum class SessionPhase {
    Idle,        // no session yet
    Connecting,  // created, main channel not open yet
    Open,        // main channel open, inputs channel not (yet)
    InputsReady, // main and inputs channels open: input goes out
    Closed,      // main channel closed
    Failed,      // main channel reported an error
};

// A new primary surface, lent to the window for the duration of the call.
struct ScreenInitInfo {
    int32_t height;
    int32_t width;
    int32_t stride;
    int32_t format;      // the record's format after this surface (32 or 16 once one was accepted)
    int32_t pixelFormat; // the server's own code for this surface: what its pixels really are
    int32_t display = 0; // the display channel's id
    uint32_t serial = 0; // the block's number, for releaseSurface
    bool fresh = false;  // the first picture after a start or an activation
    int32_t fd = -1;     // the block's descriptor, lent for the call (another process maps it)
};

// One changed rectangle in surface pixels, already clipped to the surface.
struct Rect {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// One key as the window saw it. The physical key (the X keycode) is what goes out when the display
// has evdev keycodes; otherwise the Qt key, through the US-layout tables.
struct KeyInput {
    uint32_t nativeScanCode = 0; // X keycode; 0 when the event has none (synthetic, -k)
    int key = 0;                 // Qt::Key
    bool keypad = false;         // Qt::KeypadModifier was set: the keypad's table applies
    uint32_t modifiers = 0;      // Qt::KeyboardModifiers
};

// What the clipboard shares with the remote machine, as the session and the window name it: the
// selection (0 the clipboard, 1 the X selection, PRIMARY) and the type of its data, UTF-8 text with
// LF line ends or a PNG image.
namespace SharedClipboard
{
constexpr int Clipboard = 0;
constexpr int Primary = 1;
constexpr char Text[] = "text/plain;charset=utf-8";
constexpr char Image[] = "image/png";
} // namespace SharedClipboard

// The user's devices in the remote machine, as the connection process sees them.
struct SharedDevice {
    enum State : uint8_t { Connecting, Redirected, Failed, StateCount };
    uint32_t id = 0; // the window's number for what it asked to share
    bool cd = false; // a CD image (else a USB device the window handed over)
    uint8_t state = Connecting;
    QString name;  // as the menu shows it
    QString words; // why it failed
};
struct DevicesStatus {
    enum Usb : uint8_t {
        UsbUnknown,         // the server has not said yet
        UsbReady,           // the server offers USB redirection
        UsbNoServerSupport, // it offers none
        UsbOff,             // turned off here
        UsbCount
    };
    enum : uint32_t {
        FolderChannel = 1,      // the server offers folder sharing
        FolderShared = 2,       // a folder is shared
        FolderReadOnly = 4,     // ...and the remote machine may only read it
        Microphone = 8,         // the microphone may be recorded
        Recording = 16,         // the remote machine records now
        SoftwareCard = 32,      // a software smartcard reader exists
        CardInserted = 64,      // a card is in a reader and forwarded
        RecordChannel = 128,    // the server offers recording
        SmartcardChannel = 256, // the server takes smartcards
        AllFlags = 511
    };
    uint8_t usb = UsbUnknown;
    int32_t freeUsbChannels = 0;
    uint32_t flags = 0;
    QString folder;
    QVector<SharedDevice> devices;
};
