#include "devices.h"

#include "connection_settings.h"
#include "log.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <memory>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

// Answers of the library may come after their Devices went (a session torn down mid-connect).
QSet<const void*>& living()
{
    static QSet<const void*> set;
    return set;
}

struct Pending {
    Devices* self;
    uint32_t id;
    uint32_t generation;
};

QString errorText(GError* error, const char* fallback)
{
    QString text = error && error->message ? QString::fromUtf8(error->message) : QString::fromUtf8(fallback);
    g_clear_error(&error);
    return text;
}

// libcacard reads an NSS database by its prefix: a folder with cert9.db is an SQL database.
QByteArray nssDatabase(const QString& path)
{
    if (path.contains(':') || !QFileInfo::exists(QDir(path).filePath("cert9.db")))
        return path.toLocal8Bit();
    return "sql:" + path.toLocal8Bit();
}

} // namespace

Devices::Devices(std::function<void(const DevicesStatus&)> changed) : changed(std::move(changed))
{
    living().insert(this);
}

Devices::~Devices()
{
    detach();
    for (const Wish& wish : qAsConst(wishes))
        if (wish.fd >= 0)
            close(wish.fd);
    living().remove(this);
}

void Devices::attach(SpiceSession* newSession, const ConnectionSettings& settings)
{
    detach();
    session = newSession;
    ++generation;
    if (!configured) {
        configured = true;
        folder = settings.sharedDir;
        folderReadOnly = settings.sharedDirReadOnly;
        microphone = settings.microphone;
        uint32_t id = 0x80000000u;
        for (const QString& path : settings.sharedCds) // an ejected one is left empty, in its place
            if (const uint32_t number = id++; !path.isEmpty())
                wishes.insert(number, {true, path, QFileInfo(path).fileName(), -1});
    }
    current = DevicesStatus();
    current.usb = settings.usb ? DevicesStatus::UsbUnknown : DevicesStatus::UsbOff;
    if (microphone)
        current.flags |= DevicesStatus::Microphone;
    g_object_set(session, "enable-usbredir", gboolean(settings.usb), nullptr);
    // Without a folder the library would share the user's download folder.
    g_object_set(session, "shared-dir", folder.isEmpty() ? nullptr : folder.toLocal8Bit().constData(),
                 "share-dir-ro", gboolean(folderReadOnly), nullptr);
    if (!folder.isEmpty()) {
        current.folder = folder;
        current.flags |= DevicesStatus::FolderShared | (folderReadOnly ? DevicesStatus::FolderReadOnly : 0u);
    }
    if (settings.smartcard) {
        g_object_set(session, "enable-smartcard", TRUE, nullptr);
        if (!settings.smartcardDb.isEmpty()) {
            const QByteArray db = nssDatabase(settings.smartcardDb);
            std::vector<QByteArray> names;
            std::vector<gchar*> list;
            for (const QString& name : settings.smartcardCerts)
                names.push_back(name.toUtf8());
            for (QByteArray& name : names)
                list.push_back(name.data());
            list.push_back(nullptr);
            g_object_set(session, "smartcard-db", db.constData(), "smartcard-certificates", list.data(),
                         nullptr);
        }
        watchCards();
    }
    if (settings.usb) {
        GError* error = nullptr;
        usb = spice_usb_device_manager_get(session, &error);
        if (!usb) {
            current.usb = DevicesStatus::UsbOff;
            Logger(ERROR) << "USB redirection is not available: " << errorText(error, "no USB manager");
        } else {
            // Nothing is redirected behind the user's back: the window decides.
            g_object_set(usb, "auto-connect", FALSE, nullptr);
            signals.connect(usb, "device-added", G_CALLBACK(deviceAdded), this);
            signals.connect(usb, "device-removed", G_CALLBACK(deviceRemoved), this);
        }
    }
    for (auto it = wishes.cbegin(); it != wishes.cend(); ++it)
        apply(it.key(), it.value());
    updateCard();
    publish();
}

void Devices::watchCards()
{
    if (cardsWatched)
        return;
    // The process has one smartcard manager, whatever the session.
    cardsWatched = true;
    SpiceSmartcardManager* cards = spice_smartcard_manager_get();
    for (const char* signal : {"reader-added", "reader-removed"})
        cardSignals.connect(cards, signal, G_CALLBACK(+[](SpiceSmartcardManager*, gpointer, gpointer self) {
                                static_cast<Devices*>(self)->updateCard();
                            }),
                            this);
    cardSignals.connect(cards, "card-inserted",
                        G_CALLBACK(+[](SpiceSmartcardManager*, SpiceSmartcardReader* reader, gpointer self) {
                            static_cast<Devices*>(self)->cardsIn.insert(reader);
                            static_cast<Devices*>(self)->updateCard();
                        }),
                        this);
    cardSignals.connect(cards, "card-removed",
                        G_CALLBACK(+[](SpiceSmartcardManager*, SpiceSmartcardReader* reader, gpointer self) {
                            static_cast<Devices*>(self)->cardsIn.remove(reader);
                            static_cast<Devices*>(self)->updateCard();
                        }),
                        this);
}

void Devices::apply(uint32_t id, const Wish& wish)
{
    Shared& s = shared[id];
    s.device.id = id;
    s.device.cd = wish.cd;
    s.device.name = wish.name;
    if (!usb) {
        failed(s, QStringLiteral("Cannot share %1: USB redirection is %2")
                      .arg(wish.name, current.usb == DevicesStatus::UsbOff ? "turned off" : "not available"));
        return;
    }
    GError* error = nullptr;
    if (wish.cd) {
        // The manager announces the CD device it made; that is when it can be redirected.
        QByteArray file = wish.path.toLocal8Bit();
        if (!spice_usb_device_manager_create_shared_cd_device(usb, file.data(), &error)) {
            failed(s, QStringLiteral("Cannot share %1: %2").arg(wish.path, errorText(error, "no device")));
            return;
        }
        cdsWaiting.append(id);
        Logger(INFO) << "CD image shared: " << wish.path;
        return;
    }
    s.usb = spice_usb_device_manager_allocate_device_for_file_descriptor(usb, wish.fd, &error);
    if (!s.usb) {
        failed(
            s,
            QStringLiteral("Cannot use the USB device %1: %2").arg(wish.name, errorText(error, "no device")));
        return;
    }
    Logger(INFO) << "USB device handed over: " << wish.name;
    connectPending();
}

void Devices::detach()
{
    signals.clear();
    channelsListed.reset();
    listing = false;
    for (Shared& s : shared)
        forget(s);
    shared.clear();
    cdsWaiting.clear();
    session = nullptr;
    usb = nullptr;
    webdav = record = nullptr;
    recordOpen = false;
    audioLinked = false;
    usbChannels = 0;
}

void Devices::forget(Shared& s)
{
    if (s.usb)
        g_boxed_free(spice_usb_device_get_type(), std::exchange(s.usb, nullptr));
}

void Devices::deviceAdded(SpiceUsbDeviceManager*, SpiceUsbDevice* device, gpointer self)
{
    // Only what this process made is announced: a CD image, or a device the window handed over.
    auto* devices = static_cast<Devices*>(self);
    if (devices->cdsWaiting.isEmpty() || !spice_usb_device_manager_is_device_shared_cd(devices->usb, device))
        return;
    const uint32_t id = devices->cdsWaiting.takeFirst();
    if (!devices->shared.contains(id))
        return;
    devices->shared[id].usb = static_cast<SpiceUsbDevice*>(g_boxed_copy(spice_usb_device_get_type(), device));
    devices->connectPending();
}

void Devices::deviceRemoved(SpiceUsbDeviceManager*, SpiceUsbDevice* device, gpointer data)
{
    auto* self = static_cast<Devices*>(data);
    for (auto it = self->shared.begin(); it != self->shared.end(); ++it) {
        if (it->usb != device)
            continue;
        self->forget(*it);
        self->shared.erase(it);
        self->publish();
        return;
    }
}

void Devices::redirectUsb(uint32_t id, const QString& name, int fd)
{
    if (wishes.contains(id) || id >= 0x80000000u) {
        close(fd);
        return;
    }
    wishes.insert(id, {false, {}, name, fd});
    if (session)
        apply(id, wishes[id]);
}

void Devices::shareCd(uint32_t id, const QString& path)
{
    if (wishes.contains(id) || id >= 0x80000000u)
        return;
    wishes.insert(id, {true, path, QFileInfo(path).fileName(), -1});
    if (session)
        apply(id, wishes[id]);
}

void Devices::release(uint32_t id)
{
    if (!wishes.contains(id))
        return;
    const Wish wish = wishes.take(id);
    auto it = shared.find(id);
    const bool linked =
        it != shared.end() && it->usb && usb && spice_usb_device_manager_is_device_connected(usb, it->usb);
    if (linked) {
        // The device's descriptor stays open until the library has let go of the device: its number
        // may not be reused under the library's feet.
        spice_usb_device_manager_disconnect_device_async(
            usb, it->usb, nullptr,
            [](GObject* manager, GAsyncResult* result, gpointer fd) {
                spice_usb_device_manager_disconnect_device_finish(SPICE_USB_DEVICE_MANAGER(manager), result,
                                                                  nullptr);
                if (GPOINTER_TO_INT(fd) >= 0)
                    close(GPOINTER_TO_INT(fd));
            },
            GINT_TO_POINTER(wish.fd));
    } else if (wish.fd >= 0) {
        close(wish.fd);
    }
    if (it == shared.end())
        return;
    Logger(INFO) << (it->device.cd ? "CD image" : "USB device") << " given back: " << it->device.name;
    forget(*it);
    shared.erase(it);
    publish();
}

void Devices::connectPending()
{
    if (!usb || current.usb != DevicesStatus::UsbReady)
        return;
    for (Shared& s : shared) {
        if (!s.usb || !s.wanted || s.device.state != SharedDevice::Connecting)
            continue;
        if (spice_usb_device_manager_is_device_connected(usb, s.usb))
            continue;
        GError* error = nullptr;
        if (!spice_usb_device_manager_can_redirect_device(usb, s.usb, &error)) {
            failed(s, errorText(error, "cannot be redirected"));
            continue;
        }
        s.wanted = false;
        spice_usb_device_manager_connect_device_async(usb, s.usb, nullptr, connected,
                                                      new Pending{this, s.device.id, generation});
    }
    publish();
}

void Devices::connected(GObject* manager, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    GError* error = nullptr;
    const bool ok =
        spice_usb_device_manager_connect_device_finish(SPICE_USB_DEVICE_MANAGER(manager), result, &error);
    Devices* self = pending->self;
    if (!living().contains(self) || self->generation != pending->generation ||
        !self->shared.contains(pending->id)) {
        g_clear_error(&error);
        return;
    }
    Shared& s = self->shared[pending->id];
    if (!ok) {
        self->failed(
            s, QStringLiteral("Cannot redirect %1: %2").arg(s.device.name, errorText(error, "unknown")));
        return;
    }
    s.device.state = SharedDevice::Redirected;
    Logger(INFO) << (s.device.cd ? "CD image" : "USB device") << " redirected: " << s.device.name;
    self->publish();
}

void Devices::failed(Shared& s, const QString& words)
{
    Logger(ERROR) << words;
    s.device.state = SharedDevice::Failed;
    s.device.words = words;
    s.wanted = false;
    publish();
}

void Devices::channelNew(SpiceChannel* channel)
{
    if (SPICE_IS_USBREDIR_CHANNEL(channel)) {
        ++usbChannels;
        signals.connect(channel, "channel-event",
                        G_CALLBACK(+[](SpiceChannel*, SpiceChannelEvent event, gpointer self) {
                            if (event == SPICE_CHANNEL_OPENED)
                                static_cast<Devices*>(self)->connectPending();
                        }),
                        this);
    } else if (SPICE_IS_WEBDAV_CHANNEL(channel)) {
        webdav = channel;
        current.flags |= DevicesStatus::FolderChannel;
        // The folder's channel is linked only while a folder is shared.
        if (current.flags & DevicesStatus::FolderShared)
            spice_channel_connect(channel);
    } else if (SPICE_IS_RECORD_CHANNEL(channel)) {
        record = channel;
        current.flags |= DevicesStatus::RecordChannel;
        signals.connect(channel, "channel-event",
                        G_CALLBACK(+[](SpiceChannel*, SpiceChannelEvent event, gpointer self) {
                            static_cast<Devices*>(self)->recordEvent(event);
                        }),
                        this);
        signals.connect(channel, "record-start",
                        G_CALLBACK(+[](SpiceRecordChannel*, gint, gint, gint, gpointer self) {
                            static_cast<Devices*>(self)->recording(true);
                        }),
                        this);
        signals.connect(channel, "record-stop", G_CALLBACK(+[](SpiceRecordChannel*, gpointer self) {
                            static_cast<Devices*>(self)->recording(false);
                        }),
                        this);
    } else if (SPICE_IS_SMARTCARD_CHANNEL(channel)) {
        current.flags |= DevicesStatus::SmartcardChannel;
        // Linked only when cards are to be forwarded: the reader in the remote machine stays empty otherwise.
        if (cardsWatched)
            spice_channel_connect(channel);
    } else if (SPICE_IS_MAIN_CHANNEL(channel)) {
        return;
    }
    // The server's channels arrive together: once they are all there, the menu can say what it offers.
    if (!listing) {
        listing = true;
        channelsListed.reset(g_idle_add(
            [](gpointer self) -> gboolean {
                static_cast<Devices*>(self)->channelsListed.forget();
                static_cast<Devices*>(self)->noteChannels();
                return G_SOURCE_REMOVE;
            },
            this));
    }
}

void Devices::noteChannels()
{
    if (current.usb == DevicesStatus::UsbUnknown) {
        current.usb = usbChannels > 0 ? DevicesStatus::UsbReady : DevicesStatus::UsbNoServerSupport;
        if (usbChannels == 0 && !shared.isEmpty())
            for (Shared& s : shared)
                if (s.device.state == SharedDevice::Connecting)
                    failed(s,
                           QStringLiteral("Cannot redirect %1: the remote machine offers no USB redirection")
                               .arg(s.device.name));
    }
    connectPending();
}

void Devices::channelGone(SpiceChannel* channel)
{
    signals.drop(channel);
    if (channel == webdav)
        webdav = nullptr;
    if (channel == record) {
        record = nullptr;
        recordOpen = false;
        current.flags &= ~uint32_t(DevicesStatus::Recording);
        publish();
    }
}

void Devices::recording(bool on)
{
    // With the microphone off the channel is let go as soon as it opens: nothing is recorded.
    on = on && microphone && recordOpen;
    if (on == bool(current.flags & DevicesStatus::Recording))
        return;
    current.flags ^= DevicesStatus::Recording;
    Logger(INFO) << (on ? "The remote machine records from the microphone"
                        : "The remote machine stopped recording");
    publish();
}

void Devices::recordEvent(SpiceChannelEvent event)
{
    recordOpen = event == SPICE_CHANNEL_OPENED;
    // Disconnected once open, the channel keeps the remote machine at silence; before it opened, a
    // disconnect is not heard.
    if (recordOpen && !microphone && record) {
        Logger(INFO) << "Microphone off: the remote machine's recording channel is let go";
        spice_channel_disconnect(record, SPICE_CHANNEL_NONE);
        recordOpen = false;
    }
    if (!recordOpen)
        recording(false);
}

void Devices::audioStarted()
{
    audioLinked = true;
}

void Devices::setMicrophone(bool on)
{
    if (on == microphone)
        return;
    microphone = on;
    current.flags ^= DevicesStatus::Microphone;
    Logger(INFO) << "Microphone " << (on ? "on" : "off");
    if (record) {
        if (!on && recordOpen) {
            spice_channel_disconnect(record, SPICE_CHANNEL_NONE);
            recordOpen = false;
            recording(false);
        } else if (on && !recordOpen && audioLinked) {
            spice_channel_connect(record);
        }
    }
    publish();
}

void Devices::shareFolder(const QString& path, bool readOnly)
{
    folder = path;
    folderReadOnly = readOnly;
    if (!session)
        return;
    if (path.isEmpty()) {
        if (webdav)
            spice_channel_disconnect(webdav, SPICE_CHANNEL_NONE);
        g_object_set(session, "shared-dir", nullptr, nullptr);
        current.flags &= ~uint32_t(DevicesStatus::FolderShared | DevicesStatus::FolderReadOnly);
        current.folder.clear();
        Logger(INFO) << "No folder is shared";
        publish();
        return;
    }
    g_object_set(session, "shared-dir", path.toLocal8Bit().constData(), "share-dir-ro", gboolean(readOnly),
                 nullptr);
    current.folder = path;
    current.flags = (current.flags & ~uint32_t(DevicesStatus::FolderReadOnly)) | DevicesStatus::FolderShared |
                    (readOnly ? DevicesStatus::FolderReadOnly : 0u);
    Logger(INFO) << "Folder shared" << (readOnly ? " (read only): " : ": ") << path;
    if (webdav) {
        // A link that served another folder starts again on the new one.
        spice_channel_disconnect(webdav, SPICE_CHANNEL_NONE);
        spice_channel_connect(webdav);
    }
    publish();
}

bool Devices::smartcard(bool insert)
{
    SpiceSmartcardManager* cards = spice_smartcard_manager_get();
    // Inserting or removing without a software reader fails an assertion in the library.
    if (!session || !(current.flags & DevicesStatus::SoftwareCard))
        return false;
    const bool done =
        insert ? spice_smartcard_manager_insert_card(cards) : spice_smartcard_manager_remove_card(cards);
    Logger(INFO) << "Software smartcard " << (insert ? "inserted" : "removed") << (done ? "" : ": no change");
    updateCard();
    return done;
}

void Devices::updateCard()
{
    uint32_t flags = current.flags & ~uint32_t(DevicesStatus::SoftwareCard | DevicesStatus::CardInserted);
    if (session && cardsWatched) {
        GList* readers = spice_smartcard_manager_get_readers(spice_smartcard_manager_get());
        for (GList* l = readers; l; l = l->next) {
            auto* reader = static_cast<SpiceSmartcardReader*>(l->data);
            if (spice_smartcard_reader_is_software(reader))
                flags |= DevicesStatus::SoftwareCard;
            g_boxed_free(spice_smartcard_reader_get_type(), reader);
        }
        g_list_free(readers);
        if (!cardsIn.isEmpty())
            flags |= DevicesStatus::CardInserted;
    }
    if (flags == current.flags)
        return;
    if ((flags ^ current.flags) & DevicesStatus::CardInserted)
        Logger(INFO) << ((flags & DevicesStatus::CardInserted)
                             ? "A smartcard is forwarded to the remote machine"
                             : "No smartcard is forwarded any more");
    current.flags = flags;
    publish();
}

void Devices::publish()
{
    current.devices.clear();
    for (const Shared& s : shared)
        current.devices.append(s.device);
    current.freeUsbChannels = usbChannels; // an upper bound; the library says no when none is free
    if (changed)
        changed(current);
}
