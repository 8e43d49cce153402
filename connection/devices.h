#pragma once

#include "gobject_ref.h"
#include "session_types.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QVector>
#include <functional>
#include <spice-client.h>

struct ConnectionSettings;

// The user's devices in the remote machine, on the current session: USB devices the window opened
// and handed over, CD images, the shared folder, the microphone and smartcards. The process looks
// for no device itself: what it shares is what it is given.
class Devices
{
public:
    explicit Devices(std::function<void(const DevicesStatus&)> changed);
    ~Devices();
    Devices(const Devices&) = delete;
    Devices& operator=(const Devices&) = delete;

    // A new session, before it connects: its properties, the USB manager (which links the USB
    // channels itself) and the CD images of the settings.
    void attach(SpiceSession* session, const ConnectionSettings& settings);
    // The session goes: everything of it is forgotten, the status says so.
    void detach();
    // The session's channels as they come and go.
    void channelNew(SpiceChannel* channel);
    void channelGone(SpiceChannel* channel);

    // A USB device the window opened (the descriptor is taken) under the window's number.
    void redirectUsb(uint32_t id, const QString& name, int fd);
    // A CD image, under the window's number.
    void shareCd(uint32_t id, const QString& path);
    // Gives back a USB device or stops sharing a CD image.
    void release(uint32_t id);
    // Shares `path` (empty: stops sharing).
    void shareFolder(const QString& path, bool readOnly);
    void setMicrophone(bool on);
    // The library's audio took the session's sound channels (a record channel it did not link is
    // not linked here either: it would have no one to record).
    void audioStarted();
    // Inserts or removes the software card; false when there is no software reader.
    bool smartcard(bool insert);

    const DevicesStatus& status() const { return current; }

private:
    // What the user shares, kept across the sessions of this process.
    struct Wish {
        bool cd = false;
        QString path; // a CD image's
        QString name;
        int fd = -1; // a USB device's descriptor, owned here
    };
    // A wish on the current session.
    struct Shared {
        SharedDevice device;
        SpiceUsbDevice* usb = nullptr; // a reference; null once the manager let go of it
        bool wanted = true;            // connect when the channels allow
    };
    void apply(uint32_t id, const Wish& wish);
    void publish();
    void connectPending();
    void failed(Shared& shared, const QString& words);
    void forget(Shared& shared);
    void noteChannels();
    void recordEvent(SpiceChannelEvent event);
    void recording(bool on);
    void updateCard();
    void watchCards();
    static void deviceAdded(SpiceUsbDeviceManager*, SpiceUsbDevice* device, gpointer self);
    static void deviceRemoved(SpiceUsbDeviceManager*, SpiceUsbDevice* device, gpointer self);
    static void connected(GObject* manager, GAsyncResult* result, gpointer data);

    std::function<void(const DevicesStatus&)> changed;
    DevicesStatus current;
    SpiceSession* session = nullptr;      // borrowed for as long as it is attached
    SpiceUsbDeviceManager* usb = nullptr; // the session's; borrowed
    SpiceChannel* webdav = nullptr;       // borrowed; cleared when the channel goes
    SpiceChannel* record = nullptr;       // borrowed; cleared when the channel goes
    bool recordOpen = false;
    bool audioLinked = false;
    bool cardsWatched = false;
    QSet<const void*> cardsIn;    // readers holding a card
    QVector<uint32_t> cdsWaiting; // CD images made, not yet announced by the manager
    int usbChannels = 0;
    SignalConnections signals;
    SignalConnections cardSignals; // on the process's one smartcard manager
    SourceId channelsListed;
    bool listing = false; // the session's channels were seen (and noted, once channelsListed ran)
    QHash<uint32_t, Shared> shared;
    QHash<uint32_t, Wish> wishes;
    bool configured = false; // the first session took the settings; later ones keep what the user chose
    QString folder;
    bool folderReadOnly = false;
    bool microphone = true;
    uint32_t generation = 0; // the session's number, for answers that come after it went
};
