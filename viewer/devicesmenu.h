#pragma once

#include "session_types.h"
#include "usbdevices.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <functional>

class QMenu;
class QWidget;
class SessionClient;
class UsbMonitor;
struct ConnectionSettings;

// The user's devices for the remote machine: the devices menu, the local USB devices (found,
// opened and handed over here, never by the connection process), redirection by the filters,
// and the words for what cannot be shared. A kiosk opens no file or folder chooser.
class DevicesMenu : public QObject
{
    Q_OBJECT

public:
    // `usb` watches the local USB devices (null: none are offered), whose nodes are under `devRoot`;
    // the menu is `window`'s.
    DevicesMenu(QWidget* window, SessionClient* session, const ConnectionSettings& settings, UsbMonitor* usb,
                const QString& devRoot = QStringLiteral("/dev"));
    QMenu* menu() const { return devicesMenu; }
    // Whether a window of the viewer has the focus now (the application's state by default).
    void setFocusCheck(std::function<bool()> check) { focused = std::move(check); }
    // A kiosk opens no file or folder chooser: a file dialog is a way out to the local disk.
    void setKiosk(bool on) { kiosk = on; }
    // The menu's entries as they read now, one line each, checked ones with [x] (for tests).
    QStringList describe();

    // Redirects a local USB device now (from the menu, a filter, or a plug).
    void redirect(const UsbDevice& device);
    void giveBack(const UsbDevice& device);
    void shareCd(const QString& path);
    void shareFolder(const QString& path, bool readOnly);

Q_SIGNALS:
    // Words for the user about a device (also logged).
    void notice(const QString& text);

private:
    void rebuild();
    void statusChanged(const DevicesStatus& status);
    void plugged(const UsbDevice& device);
    void unplugged(const UsbDevice& device);
    QString usbWhyNot(const UsbDevice& device) const;
    const SharedDevice* shared(uint32_t id) const;
    void fail(const QString& text);

    QWidget* window;
    SessionClient* session;
    UsbMonitor* usb;
    QString devRoot;
    QMenu* devicesMenu;
    bool kiosk = false;
    std::function<bool()> focused;
    bool usbOn;
    bool autoShare;
    UsbFilter autoFilter;
    QString autoFilterError; // the filter could not be read: nothing is redirected by it
    UsbFilter onConnectFilter;
    QString onConnectFilterError;
    bool onConnectDone = false; // for the current session
    uint8_t lastUsb = DevicesStatus::UsbUnknown;
    QHash<QString, uint32_t> redirected; // local device (sysName) -> the number it was handed over under
    uint32_t nextId = 1;
};
