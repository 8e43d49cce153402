#pragma once

// A made-up sysfs for USB devices, as the kernel lays it out, and the uevents that announce them.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QtTest>

inline void write(const QString& path, const QByteArray& text)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(text) == text.size(), qPrintable(path));
}

// A device as the kernel lays it out: its folder under devices/, its interfaces' folders inside it,
// each linked from bus/usb/devices. Attributes "name=value;..." are written as lines.
inline void plug(const QString& sys, const QString& name, const QString& attributes,
                 const QStringList& interfaces = {})
{
    QStringList folders = {name};
    for (int i = 0; i < interfaces.size(); ++i)
        folders << QString("%1/%1:1.%2").arg(name).arg(i);
    for (const QString& folder : folders) {
        QVERIFY(QDir().mkpath(sys + "/devices/usb1/" + folder) && QDir().mkpath(sys + "/bus/usb/devices"));
        QVERIFY(QFile::link("../../../devices/usb1/" + folder,
                            sys + "/bus/usb/devices/" + folder.section('/', -1)));
    }
    for (const QString& attribute : attributes.split(';')) { // "!name" removes one
        const QString file = sys + "/devices/usb1/" + name + '/' + attribute.section('=', 0, 0);
        if (attribute.startsWith('!'))
            QVERIFY(QFile::remove(QString(file).remove('!')));
        else
            write(file, attribute.section('=', 1).toUtf8() + '\n');
    }
    for (int i = 0; i < interfaces.size(); ++i) {
        QStringList classes = interfaces[i].split('/');
        for (const char* field : {"bInterfaceClass", "bInterfaceSubClass", "bInterfaceProtocol"})
            write(sys + "/devices/usb1/" + folders[i + 1] + '/' + field,
                  classes.takeFirst().toLatin1() + '\n');
    }
}

inline QString attributes(int bus, int address, const char* id, const char* deviceClass)
{
    return QString("busnum=%1;devnum=%2;idVendor=%3;idProduct=%4;bcdDevice=0100;bDeviceClass=%5;"
                   "bDeviceSubClass=00;bDeviceProtocol=00")
        .arg(bus)
        .arg(address)
        .arg(QString(id).left(4), QString(id).mid(5), deviceClass);
}

// A uevent datagram: its fields end in NULs.
template <int N> inline QByteArray uevent(const char (&fields)[N])
{
    return QByteArray(fields, N - 1);
}
