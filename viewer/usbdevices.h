#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVector>
#include <array>

class QSocketNotifier;

// A local USB device as the kernel shows it under /sys/bus/usb/devices.
struct UsbDevice {
    QString sysName;                              // "1-1.2": the kernel's name under /sys/bus/usb/devices
    int bus = 0, address = 0;                     // busnum, devnum
    quint16 vendor = 0, product = 0, version = 0; // idVendor, idProduct, bcdDevice
    quint8 deviceClass = 0, subclass = 0, protocol = 0;
    QVector<std::array<quint8, 3>> interfaces; // class, subclass, protocol of each interface
    QString manufacturer, productName;         // as the device names itself; may be empty

    // "Manufacturer Product", else "USB device VVVV:PPPP".
    QString description() const;
    // devRoot/bus/usb/BBB/DDD
    QString node(const QString& devRoot = QStringLiteral("/dev")) const;

    // The same device plugged in: a new plug gets a new address.
    bool operator==(const UsbDevice& other) const;
    bool operator!=(const UsbDevice& other) const { return !(*this == other); }
};
Q_DECLARE_METATYPE(UsbDevice)

// The USB devices under sysRoot/bus/usb/devices, hubs and root hubs left out, ordered by bus and
// address. A device whose attributes cannot be read is left out too.
QVector<UsbDevice> listUsbDevices(const QString& sysRoot = QStringLiteral("/sys"));

// A filter in the SPICE library's syntax: rules "class,vendor,product,version,allow" joined by '|',
// -1 for any, numbers decimal or 0x-hex. It is read and applied by usbredirfilter as the library
// applies its auto-connect and redirect-on-connect filters (no flags): the device class and each
// interface's class count, a device that no rule matches is not allowed.
class UsbFilter
{
public:
    // Replaces the rules; a bad text leaves them as they were and says what is wrong in `error`.
    bool parse(const QString& text, QString& error);
    bool matches(const UsbDevice& device) const;
    bool isEmpty() const { return rules.isEmpty(); }

private:
    // As the library's rule: -1 for any.
    struct Rule {
        int deviceClass, vendor, product, version, allow;
    };
    QVector<Rule> rules;
};

// Why the device cannot be opened read-write by this user (empty when it can), in words with the
// one-line fix.
QString usbAccessProblem(const UsbDevice& device, const QString& devRoot = QStringLiteral("/dev"));
// Opens the device's node read-write, close-on-exec; -1 with `error` in words.
int openUsbDevice(const UsbDevice& device, QString& error, const QString& devRoot = QStringLiteral("/dev"));

// Watches plugs and unplugs through the kernel's uevents: on a USB device's add or remove it reads
// sysRoot again and tells what changed. It takes over `ueventSocket` when one is given (a test's),
// else opens the kernel's; without one it stays quiet.
class UsbMonitor : public QObject
{
    Q_OBJECT

public:
    explicit UsbMonitor(const QString& sysRoot = QStringLiteral("/sys"), int ueventSocket = -1,
                        QObject* parent = nullptr);
    ~UsbMonitor() override;

    QVector<UsbDevice> devices() const { return current; }

Q_SIGNALS:
    void added(const UsbDevice& device);
    void removed(const UsbDevice& device);

private:
    void readEvents();
    void rescan();

    const QString sysRoot;
    int fd = -1;
    QSocketNotifier* notifier = nullptr;
    QVector<UsbDevice> current;
};
