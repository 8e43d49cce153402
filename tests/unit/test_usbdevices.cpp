// Local USB devices on a made-up sysfs and /dev: listed as the kernel lays them out, matched by the
// library's filter rules, followed through uevents written into a socket pair, opened or refused in words.
#include "usb_tree.h"
#include "usbdevices.h"
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
QString summary(const UsbDevice& d)
{
    QStringList interfaces;
    for (const auto& i : d.interfaces)
        interfaces << QString::asprintf("%02x/%02x/%02x", i[0], i[1], i[2]);
    return QString::asprintf("%s %d/%d %04x:%04x v%04x %02x/%02x/%02x [", qPrintable(d.sysName), d.bus,
                             d.address, d.vendor, d.product, d.version, d.deviceClass, d.subclass,
                             d.protocol) +
           interfaces.join(' ') + "] " + d.description();
}

UsbDevice device(quint16 vendor, quint16 product, quint16 version, quint8 deviceClass,
                 QVector<std::array<quint8, 3>> interfaces)
{
    UsbDevice d;
    d.vendor = vendor, d.product = product, d.version = version, d.deviceClass = deviceClass;
    d.interfaces = interfaces;
    return d;
}

// What `check` says when run by a user who is not root (in a child that gives root up, when root).
QString unprivileged(const std::function<QString()>& check)
{
    if (geteuid() != 0)
        return check();
    int out[2];
    if (pipe(out) != 0)
        return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        const QByteArray said = setgid(65534) == 0 && setuid(65534) == 0 ? check().toUtf8() : "still root";
        _exit(::write(out[1], said.constData(), size_t(said.size())) == said.size() ? 0 : 1);
    }
    ::close(out[1]);
    QFile reader;
    reader.open(out[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QString said = QString::fromUtf8(reader.readAll());
    waitpid(child, nullptr, 0);
    return said;
}

} // namespace

class TestUsbDevices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listing()
    {
        QTemporaryDir tmp;
        const QString sys = tmp.path() + "/sys";
        plug(sys, "usb1", attributes(1, 1, "1d6b:0002", "09"), {"09/00/00"});
        plug(sys, "1-1", attributes(1, 2, "05e3:0610", "09"), {"09/00/00"});
        plug(sys, "1-1.2",
             attributes(1, 7, "046d:c52b", "00") + ";manufacturer=Logitech;product=USB\033Receiver ",
             {"03/01/01", "03/01/02", "03/00/00"});
        plug(sys, "2-1", attributes(2, 3, "0bda:8153", "ff"), {"ff/ff/00"});
        plug(sys, "1-10", attributes(1, 4, "0781:5581", "00") + ";product=Ultra", {"08/06/50"});
        plug(sys, "1-3", attributes(1, 5, "0781:5581", "00"), {"08/06/5g"});
        int address = 20; // the broken ones are left out
        for (const char* broken : {"idVendor=zz12", "devnum=", "!idProduct", "bcdDevice=10000", "devnum=128",
                                   "bDeviceClass=0x0"}) {
            plug(sys, QString("1-%1").arg(address), attributes(1, address, "0781:5581", "00") + ';' + broken);
            ++address;
        }

        const QVector<UsbDevice> devices = listUsbDevices(sys);
        QStringList seen;
        for (const UsbDevice& d : devices)
            seen << summary(d);
        QCOMPARE(seen,
                 QStringList({"1-10 1/4 0781:5581 v0100 00/00/00 [08/06/50] Ultra",
                              "1-1.2 1/7 046d:c52b v0100 00/00/00 [03/01/01 03/01/02 03/00/00] Logitech "
                              "USB Receiver",
                              "2-1 2/3 0bda:8153 v0100 ff/00/00 [ff/ff/00] USB device 0bda:8153"}));
        QCOMPARE(devices[2].node(), QString("/dev/bus/usb/002/003"));
        QVERIFY(listUsbDevices(tmp.path() + "/nothing").isEmpty());
    }

    void filter()
    {
        const UsbDevice devices[] = {device(0x046d, 0xc077, 0x7200, 0, {{3, 1, 2}}),
                                     device(0x0d8c, 0x0014, 0x0100, 0, {{1, 1, 0}, {1, 2, 0}, {3, 0, 0}}),
                                     device(0x0781, 0x5581, 0x0100, 0, {{8, 6, 0x50}}),
                                     device(0x046d, 0x085c, 0x0010, 0xef, {{0x0e, 1, 0}, {0x0e, 2, 0}}),
                                     device(0x0bda, 0x8153, 0x3000, 0xff, {{0xff, 0xff, 0}}),
                                     device(0x1234, 0x5678, 0x0001, 0, {})};
        // Which are allowed of: a mouse, audio with volume keys, a stick, a webcam, a vendor's own
        // device, one not configured (no interfaces, so nothing to check).
        const std::pair<const char*, QString> table[] = {
            {"0x03,-1,-1,-1,0|-1,-1,-1,-1,1", "-aswvu"}, // the library's default
            {"-1,-1,-1,-1,1", "maswvu"},
            {"8,-1,-1,-1,1", "--s--u"}, // none allowed where no rule matches
            {"-1,0x0781,0x5581,-1,1", "--s--u"},
            {"-1,0x0781,-1,0x0200,1", "-----u"},
            {"1,-1,-1,-1,1", "-a---u"},    // a non-boot HID interface beside others is not looked at
            {"0x0e,-1,-1,-1,1", "---w-u"}, // nor the class of a misc device
            {"0xef,-1,-1,-1,1", "-----u"},
            {"255,-1,-1,-1,1", "----vu"},                 // the device's class and its interface's
            {" -1,-1,-1,-1,1 | 8,-1,-1,-1,0 ", "maswvu"}, // the first match wins
            {"8,-1,-1,-1,0|-1,-1,-1,-1,1||", "ma-wvu"},
            {"|", "------"}};
        for (const auto& [rules, allowed] : table) {
            UsbFilter filter;
            QString error, seen;
            QVERIFY2(filter.parse(rules, error), qPrintable(error));
            QCOMPARE(filter.isEmpty(), rules == QLatin1String("|"));
            for (int i = 0; i < 6; ++i)
                seen += filter.matches(devices[i]) ? QString("maswvu")[i] : QChar('-');
            QVERIFY2(seen == allowed, qPrintable(QString("%1: %2").arg(rules, seen)));
        }

        // Bad texts are refused in words; the rules are kept until good ones replace them.
        const std::pair<const char*, const char*> bad[] = {
            {"3,-1,-1,-1",
             "rule 1 (\"3,-1,-1,-1\") has 4 fields, not the 5 of class,vendor,product,version,allow"},
            {"0x1g,-1,-1,-1,1",
             "the class \"0x1g\" is not a number: write it in decimal or 0x-hex, -1 for any"},
            {"010,-1,-1,-1,1", "the class \"010\" is not a number"}, // the library would read octal
            {"3,-1,-1,4294967299,1", "the version \"4294967299\" is not a number"}, // and wrap it
            {"-1,-1,-1,-1,1|3,,-1,-1,0", "rule 2 (\"3,,-1,-1,0\"): the vendor \"\" is not a number"},
            {"256,-1,-1,-1,1", "the class \"256\" is past 0xff, the most it can be"},
            {"3,-1,-1,-1,2", "the allow \"2\" is neither 0 (deny) nor 1 (allow)"}};
        UsbFilter filter;
        QString error;
        QVERIFY(filter.parse("8,-1,-1,-1,1", error));
        for (const auto& [text, words] : bad) {
            QVERIFY2(!filter.parse(text, error), text);
            QVERIFY2(error.contains(words), qPrintable(error));
        }
        QVERIFY(filter.matches(devices[2]));
        QVERIFY(filter.parse("3,-1,-1,-1,1", error) && !filter.matches(devices[2]));
    }

    void access()
    {
        QTemporaryDir tmp;
        const QString dev = tmp.path() + "/dev";
        QVERIFY(QDir().mkpath(dev + "/bus/usb/001/006"));
        write(dev + "/bus/usb/001/004", "");
        write(dev + "/bus/usb/001/007", "");
        QVERIFY(chmod(qPrintable(tmp.path()), 0755) == 0 &&
                chmod(qPrintable(dev + "/bus/usb/001/004"), 0666) == 0 &&
                chmod(qPrintable(dev + "/bus/usb/001/007"), 0) == 0);
        const auto at = [](int address) {
            UsbDevice stick = device(0x0781, 0x5581, 0x0100, 0, {{8, 6, 0x50}});
            stick.bus = 1, stick.address = address;
            return stick;
        };

        QString error;
        QCOMPARE(usbAccessProblem(at(4), dev), QString());
        const int fd = openUsbDevice(at(4), error, dev);
        QVERIFY2(fd >= 0, qPrintable(error));
        QCOMPARE(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
        QVERIFY(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        ::close(fd);

        // Root may open any file: the one without permission is tried by another user.
        const std::tuple<int, bool, QString> problems[] = {
            {5, false, "no device node " + dev + "/bus/usb/001/005 (the device was unplugged"},
            {6, false, dev + "/bus/usb/001/006 is not a device node"},
            {7, true,
             "no permission to open " + dev +
                 "/bus/usb/001/007 (a udev rule can give it to you: the line "
                 "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0781\", ATTR{idProduct}==\"5581\", "
                 "TAG+=\"uaccess\""}};
        for (const auto& [address, asAnother, words] : problems) {
            const auto check = [&, address = address] {
                QString openError;
                const int opened = openUsbDevice(at(address), openError, dev);
                return usbAccessProblem(at(address), dev) + '|' + (opened < 0 ? openError : "opened");
            };
            const QString said = asAnother ? unprivileged(check) : check();
            QVERIFY2(said.startsWith(words) && said.contains('|' + words), qPrintable(said));
        }
    }
};

QTEST_GUILESS_MAIN(TestUsbDevices)
#include "test_usbdevices.moc"
