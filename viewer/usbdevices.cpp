#include "usbdevices.h"

#include "log.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <usbredirfilter.h>
#include <utility>

namespace
{

// The kernel's limit of interfaces in a configuration, and the most usbredirfilter is given.
constexpr int kMaxInterfaces = 32;

// A sysfs attribute as the kernel writes it: one line; false when it cannot be read. Plain system
// calls: a listing reads some twenty of them a device.
bool readAttribute(const QString& dir, const char* name, QByteArray& value)
{
    const QByteArray path = QFile::encodeName(dir) + '/' + name;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[4096]; // a sysfs attribute is at most a page
    const ssize_t size = ::read(fd, text, sizeof text);
    ::close(fd);
    if (size < 0)
        return false;
    value = QByteArray(text, int(size));
    if (value.endsWith('\n'))
        value.chop(1);
    return true;
}

// A number attribute: hex ("%04x", "%02x") or decimal ("%d") digits only, at most `max`.
bool readNumber(const QString& dir, const char* name, int base, uint max, uint& value)
{
    QByteArray text;
    if (!readAttribute(dir, name, text) || text.isEmpty() || text.size() > 8)
        return false;
    for (const char c : text) {
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(c))
                         : std::isdigit(static_cast<unsigned char>(c))))
            return false;
    }
    bool ok = false;
    value = text.toUInt(&ok, base);
    return ok && value <= max;
}

template <typename T> bool readHex(const QString& dir, const char* name, T& value)
{
    uint number = 0;
    if (!readNumber(dir, name, 16, std::numeric_limits<T>::max(), number))
        return false;
    value = T(number);
    return true;
}

// A name the device gives itself, fit for a menu; empty when it has none.
QString readName(const QString& dir, const char* name)
{
    QByteArray text;
    if (!readAttribute(dir, name, text))
        return {};
    QString words = QString::fromUtf8(text);
    for (QChar& c : words) {
        if (!c.isPrint())
            c = QLatin1Char(' ');
    }
    return words.simplified();
}

bool readDevice(const QString& dir, const QString& name, UsbDevice& device)
{
    uint bus = 0, address = 0;
    device.sysName = name;
    if (!readNumber(dir, "busnum", 10, 999, bus) || !readNumber(dir, "devnum", 10, 127, address) ||
        bus == 0 || address == 0 || !readHex(dir, "idVendor", device.vendor) ||
        !readHex(dir, "idProduct", device.product) || !readHex(dir, "bcdDevice", device.version) ||
        !readHex(dir, "bDeviceClass", device.deviceClass) ||
        !readHex(dir, "bDeviceSubClass", device.subclass) ||
        !readHex(dir, "bDeviceProtocol", device.protocol))
        return false;
    device.bus = int(bus);
    device.address = int(address);
    if (device.deviceClass == 0x09)
        return false; // a hub: its ports' devices are offered, not itself

    // The interfaces of the active configuration: subfolders "1-1.2:1.0", by interface number.
    static const QRegularExpression interfaceName(QStringLiteral("^[^:]+:\\d+\\.(\\d+)$"));
    QVector<std::pair<int, std::array<quint8, 3>>> found;
    const QStringList interfaceDirs =
        QDir(dir).entryList({name + QStringLiteral(":*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& interfaceDir : interfaceDirs) {
        const QRegularExpressionMatch match = interfaceName.match(interfaceDir);
        if (!match.hasMatch())
            continue;
        const QString path = dir + QLatin1Char('/') + interfaceDir;
        std::array<quint8, 3> classes{};
        if (!readHex(path, "bInterfaceClass", classes[0]) ||
            !readHex(path, "bInterfaceSubClass", classes[1]) ||
            !readHex(path, "bInterfaceProtocol", classes[2]))
            return false;
        found.append({match.captured(1).toInt(), classes});
    }
    if (found.size() > kMaxInterfaces)
        return false;
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    device.interfaces.clear();
    for (const auto& interface : found)
        device.interfaces.append(interface.second);

    device.manufacturer = readName(dir, "manufacturer");
    device.productName = readName(dir, "product");
    return true;
}

// Words for a failed open or check of the device's node, with what mends it.
QString problemWords(int error, const UsbDevice& device, const QString& path)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return QStringLiteral("no permission to open %1 (a udev rule can give it to you: the line "
                              "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"%2\", ATTR{idProduct}==\"%3\", "
                              "TAG+=\"uaccess\" in /etc/udev/rules.d/70-usb-redirect.rules, then plug the "
                              "device in again)")
            .arg(path)
            .arg(device.vendor, 4, 16, QLatin1Char('0'))
            .arg(device.product, 4, 16, QLatin1Char('0'));
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("no device node %1 (the device was unplugged, or udev made no node for it: "
                              "plug it in again)")
            .arg(path);
    case EISDIR:
        return QStringLiteral("%1 is not a device node (a folder is in its place: remove it and plug the "
                              "device in again)")
            .arg(path);
    default:
        return QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
    }
}

// The kernel's uevent broadcast; -1, said once in the log, where it cannot be had.
int openUeventSocket()
{
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1; // the kernel's own messages, not udev's
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    static bool told = false;
    if (!std::exchange(told, true)) {
        Logger(WARN) << "USB devices plugged in or out are not noticed: no kernel uevent socket ("
                     << std::strerror(error) << ")";
    }
    return -1;
}

// Whether a kernel uevent ("add@/devices/...\0ACTION=add\0SUBSYSTEM=usb\0...") adds or removes a USB
// device (not one of its interfaces).
bool isUsbDeviceEvent(const QByteArray& message)
{
    const QList<QByteArray> fields = message.split('\0');
    if (fields.isEmpty() || !fields.first().contains('@'))
        return false;
    QByteArray action, subsystem, type;
    for (const QByteArray& field : fields) {
        if (field.startsWith("ACTION="))
            action = field.mid(7);
        else if (field.startsWith("SUBSYSTEM="))
            subsystem = field.mid(10);
        else if (field.startsWith("DEVTYPE="))
            type = field.mid(8);
    }
    return subsystem == "usb" && type == "usb_device" && (action == "add" || action == "remove");
}

} // namespace

QString UsbDevice::description() const
{
    const QString id = QStringLiteral("USB device %1:%2")
                           .arg(vendor, 4, 16, QLatin1Char('0'))
                           .arg(product, 4, 16, QLatin1Char('0'));
    if (productName.isEmpty())
        return manufacturer.isEmpty() ? id : manufacturer + QLatin1Char(' ') + id;
    if (manufacturer.isEmpty() || productName.startsWith(manufacturer))
        return productName;
    return manufacturer + QLatin1Char(' ') + productName;
}

QString UsbDevice::node(const QString& devRoot) const
{
    return QStringLiteral("%1/bus/usb/%2/%3")
        .arg(devRoot)
        .arg(bus, 3, 10, QLatin1Char('0'))
        .arg(address, 3, 10, QLatin1Char('0'));
}

bool UsbDevice::operator==(const UsbDevice& other) const
{
    return sysName == other.sysName && bus == other.bus && address == other.address &&
           vendor == other.vendor && product == other.product;
}

QVector<UsbDevice> listUsbDevices(const QString& sysRoot)
{
    // Devices are named by their port path ("1-1.2"); root hubs are "usbN", interfaces "1-1.2:1.0".
    static const QRegularExpression deviceName(QStringLiteral("^\\d+-\\d+(\\.\\d+)*$"));
    const QString root = sysRoot + QStringLiteral("/bus/usb/devices");
    QVector<UsbDevice> devices;
    for (const QString& name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        UsbDevice device;
        if (deviceName.match(name).hasMatch() && readDevice(root + QLatin1Char('/') + name, name, device))
            devices.append(device);
    }
    std::sort(devices.begin(), devices.end(), [](const UsbDevice& a, const UsbDevice& b) {
        return std::make_pair(a.bus, a.address) < std::make_pair(b.bus, b.address);
    });
    return devices;
}

bool UsbFilter::parse(const QString& text, QString& error)
{
    static const char* const names[] = {"class", "vendor", "product", "version", "allow"};
    static const int maxima[] = {0xff, 0xffff, 0xffff, 0xffff, 1};
    static const QRegularExpression number(
        QStringLiteral("^(?:-1|0|[1-9][0-9]{0,8}|0[xX][0-9a-fA-F]{1,8})$"));
    // Read here for words about what is wrong, and stricter than the library: it would take "010" as
    // octal and wrap numbers past an int.
    QStringList plain;
    const QStringList ruleTexts = text.split(QLatin1Char('|'));
    for (int r = 0; r < ruleTexts.size(); ++r) {
        const QString ruleText = ruleTexts[r].trimmed();
        if (ruleText.isEmpty())
            continue; // the library skips empty rules too
        const QStringList fields = ruleText.split(QLatin1Char(','));
        if (fields.size() != 5) {
            error = QStringLiteral(
                        "rule %1 (\"%2\") has %3 fields, not the 5 of class,vendor,product,version,allow")
                        .arg(r + 1)
                        .arg(ruleText)
                        .arg(fields.size());
            return false;
        }
        QStringList values;
        for (int f = 0; f < 5; ++f) {
            const QString field = fields[f].trimmed();
            const bool hex = field.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
            bool ok = number.match(field).hasMatch();
            const qlonglong value = ok ? field.mid(hex ? 2 : 0).toLongLong(&ok, hex ? 16 : 10) : 0;
            const QString where =
                QStringLiteral("rule %1 (\"%2\"): the %3 \"%4\"").arg(r + 1).arg(ruleText, names[f], field);
            if (f == 4 && (!ok || (value != 0 && value != 1))) {
                error = where + QStringLiteral(" is neither 0 (deny) nor 1 (allow)");
                return false;
            }
            if (!ok) {
                error = where + QStringLiteral(" is not a number: write it in decimal or 0x-hex, -1 for any");
                return false;
            }
            if (value > maxima[f]) {
                error = where + QStringLiteral(" is past 0x%1, the most it can be").arg(maxima[f], 0, 16);
                return false;
            }
            values << QString::number(value);
        }
        plain << values.join(QLatin1Char(','));
    }

    usbredirfilter_rule* read = nullptr;
    int count = 0;
    const int status = usbredirfilter_string_to_rules(plain.join(QLatin1Char('|')).toLatin1().constData(),
                                                      ",", "|", &read, &count);
    if (status != 0) {
        error = QStringLiteral("the USB filter \"%1\" is refused (%2)")
                    .arg(text, QString::fromLocal8Bit(std::strerror(-status)));
        return false;
    }
    rules.clear();
    for (int i = 0; i < count; ++i)
        rules.append({read[i].device_class, read[i].vendor_id, read[i].product_id, read[i].device_version_bcd,
                      read[i].allow});
    usbredirfilter_free(read);
    return true;
}

bool UsbFilter::matches(const UsbDevice& device) const
{
    if (rules.isEmpty())
        return false;
    std::vector<usbredirfilter_rule> checked;
    for (const Rule& rule : rules)
        checked.push_back({rule.deviceClass, rule.vendor, rule.product, rule.version, rule.allow});
    quint8 classes[kMaxInterfaces], subclasses[kMaxInterfaces], protocols[kMaxInterfaces];
    const int count = std::min(int(device.interfaces.size()), kMaxInterfaces);
    for (int i = 0; i < count; ++i) {
        classes[i] = device.interfaces[i][0];
        subclasses[i] = device.interfaces[i][1];
        protocols[i] = device.interfaces[i][2];
    }
    // No flags, as the library checks its auto-connect and redirect-on-connect filters: a device none
    // of whose passes a rule matches is refused, and the non-boot HID interface of a device with
    // several (an audio device's volume keys) is not looked at.
    return usbredirfilter_check(checked.data(), int(checked.size()), device.deviceClass, device.subclass,
                                device.protocol, classes, subclasses, protocols, count, device.vendor,
                                device.product, device.version, 0) == 0;
}

QString usbAccessProblem(const UsbDevice& device, const QString& devRoot)
{
    const QString path = device.node(devRoot);
    const QByteArray file = QFile::encodeName(path);
    struct stat status;
    if (::stat(file.constData(), &status) != 0)
        return problemWords(errno, device, path);
    if (S_ISDIR(status.st_mode))
        return problemWords(EISDIR, device, path);
    if (::faccessat(AT_FDCWD, file.constData(), R_OK | W_OK, AT_EACCESS) != 0)
        return problemWords(errno, device, path);
    return {};
}

int openUsbDevice(const UsbDevice& device, QString& error, const QString& devRoot)
{
    const QString path = device.node(devRoot);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        error = problemWords(errno, device, path);
    return fd;
}

UsbMonitor::UsbMonitor(const QString& sysRoot, int ueventSocket, QObject* parent)
    : QObject(parent), sysRoot(sysRoot), fd(ueventSocket >= 0 ? ueventSocket : openUeventSocket())
{
    qRegisterMetaType<UsbDevice>();
    if (fd >= 0) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &UsbMonitor::readEvents);
    }
    // Read after the socket is open, so that no plug falls between.
    current = listUsbDevices(sysRoot);
}

UsbMonitor::~UsbMonitor()
{
    delete notifier;
    if (fd >= 0)
        ::close(fd);
}

void UsbMonitor::readEvents()
{
    bool changed = false;
    char buffer[8192]; // the kernel's uevents are at most 2 KiB
    for (;;) {
        sockaddr_nl from{};
        socklen_t length = sizeof from;
        const ssize_t size =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0 && errno == ENOBUFS) {
            changed = true; // some were lost: read the devices again
            continue;
        }
        if (size < 0)
            break;
        if (size == 0) {
            notifier->setEnabled(false); // the other end is gone
            break;
        }
        // On the netlink socket, only the kernel (port 0) is listened to.
        if (from.nl_family == AF_NETLINK && from.nl_pid != 0)
            continue;
        changed |= isUsbDeviceEvent(QByteArray(buffer, int(size)));
    }
    if (changed)
        rescan();
}

void UsbMonitor::rescan()
{
    const QVector<UsbDevice> now = listUsbDevices(sysRoot);
    const QVector<UsbDevice> before = std::exchange(current, now);
    for (const UsbDevice& device : before) {
        if (!now.contains(device))
            Q_EMIT removed(device);
    }
    for (const UsbDevice& device : now) {
        if (!before.contains(device))
            Q_EMIT added(device);
    }
}
