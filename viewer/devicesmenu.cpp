#include "devicesmenu.h"

#include "connection_settings.h"
#include "log.h"
#include "session_client.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>

DevicesMenu::DevicesMenu(QWidget* window, SessionClient* session, const ConnectionSettings& settings,
                         UsbMonitor* usb, const QString& devRoot)
    : QObject(window), window(window), session(session), usb(usb), devRoot(devRoot),
      devicesMenu(new QMenu(tr("&Devices"), window)), usbOn(settings.usb), autoShare(settings.usbAutoShare)
{
    QString error;
    const QString filter =
        settings.usbFilter.isEmpty() ? QString::fromLatin1(kDefaultUsbFilter) : settings.usbFilter;
    if (!autoFilter.parse(filter, error)) {
        autoFilterError =
            tr("The USB filter of %1 is not valid (%2): no device is redirected when plugged in")
                .arg(settings.usbFilterSource.isEmpty() ? tr("the command line") : settings.usbFilterSource,
                     error);
        Logger(ERROR) << autoFilterError;
    }
    if (!settings.usbRedirectOnConnect.isEmpty() &&
        !onConnectFilter.parse(settings.usbRedirectOnConnect, error)) {
        onConnectFilterError = tr("The USB filter usb-redirect-on-connect is not valid (%1): no device is "
                                  "redirected when the session opens")
                                   .arg(error);
        Logger(ERROR) << onConnectFilterError;
    }
    // What the user saw goes in the log: a report of "it did not work" then says why.
    focused = [] { return QApplication::applicationState() == Qt::ApplicationActive; };
    connect(devicesMenu, &QMenu::aboutToShow, this,
            [this] { Logger(INFO) << "Devices menu: " << describe().join(QStringLiteral(" | ")); });
    connect(session, &SessionClient::devicesChanged, this, &DevicesMenu::statusChanged);
    if (usb) {
        connect(usb, &UsbMonitor::added, this, &DevicesMenu::plugged);
        connect(usb, &UsbMonitor::removed, this, &DevicesMenu::unplugged);
    }
    rebuild();
}

const SharedDevice* DevicesMenu::shared(uint32_t id) const
{
    for (const SharedDevice& d : session->devices().devices)
        if (d.id == id)
            return &d;
    return nullptr;
}

void DevicesMenu::fail(const QString& text)
{
    Logger(ERROR) << text;
    Q_EMIT notice(text);
}

QString DevicesMenu::usbWhyNot(const UsbDevice& device) const
{
    const DevicesStatus& status = session->devices();
    if (!usbOn || status.usb == DevicesStatus::UsbOff)
        return tr("USB redirection is turned off");
    if (status.usb == DevicesStatus::UsbNoServerSupport)
        return tr("the remote machine offers no USB redirection");
    if (status.usb == DevicesStatus::UsbUnknown)
        return tr("not connected");
    if (redirected.contains(device.sysName))
        return {};
    int busy = 0;
    for (const SharedDevice& d : status.devices)
        busy += d.state != SharedDevice::Failed;
    if (busy >= status.freeUsbChannels)
        return tr("no free USB channel");
    return usbAccessProblem(device, devRoot);
}

QStringList DevicesMenu::describe()
{
    rebuild();
    QStringList lines;
    for (const QAction* action : devicesMenu->actions())
        if (!action->isSeparator())
            lines << QString(action->isCheckable() ? (action->isChecked() ? "[x] " : "[ ] ") : "") +
                         action->text().remove('&') + (action->isEnabled() ? "" : " (disabled)");
    return lines;
}

void DevicesMenu::rebuild()
{
    devicesMenu->clear();
    const DevicesStatus& status = session->devices();
    const auto words = [this](const QString& text) { devicesMenu->addAction(text)->setEnabled(false); };

    // USB devices, each with its state or why it cannot go.
    if (!autoFilterError.isEmpty())
        words(autoFilterError);
    if (!onConnectFilterError.isEmpty())
        words(onConnectFilterError);
    if (!usbOn)
        words(tr("USB redirection is turned off"));
    else if (status.usb == DevicesStatus::UsbNoServerSupport)
        words(tr("The remote machine offers no USB redirection"));
    const QVector<UsbDevice> local = usb ? usb->devices() : QVector<UsbDevice>();
    if (usbOn && status.usb != DevicesStatus::UsbNoServerSupport) {
        if (local.isEmpty())
            words(tr("No local USB device"));
        for (const UsbDevice& device : local) {
            const auto id = redirected.value(device.sysName);
            const SharedDevice* d = id ? shared(id) : nullptr;
            QString label = device.description();
            if (d && d->state == SharedDevice::Connecting)
                label += tr(" (being redirected)");
            else if (d && d->state == SharedDevice::Failed)
                label += " (" + d->words + ")";
            const QString why = id ? QString() : usbWhyNot(device);
            if (!why.isEmpty())
                label += " (" + why + ")";
            QAction* action = devicesMenu->addAction(label);
            action->setCheckable(true);
            action->setChecked(d && d->state != SharedDevice::Failed);
            action->setEnabled(why.isEmpty());
            connect(action, &QAction::triggered, this,
                    [this, device](bool on) { on ? redirect(device) : giveBack(device); });
        }
    }

    // CD images.
    devicesMenu->addSeparator();
    for (const SharedDevice& d : status.devices) {
        if (!d.cd)
            continue;
        QString label = tr("&Eject CD image %1").arg(d.name);
        if (d.state == SharedDevice::Connecting)
            label += tr(" (being shared)");
        else if (d.state == SharedDevice::Failed)
            label += " (" + d.words + ")";
        QAction* action = devicesMenu->addAction(label);
        action->setCheckable(true);
        action->setChecked(d.state == SharedDevice::Redirected);
        const uint32_t id = d.id;
        connect(action, &QAction::triggered, this, [this, id, name = d.name] {
            Logger(INFO) << "CD image " << name << ": given back";
            session->releaseDevice(id);
        });
    }
    if (!kiosk && usbOn && status.usb != DevicesStatus::UsbNoServerSupport)
        devicesMenu->addAction(tr("Share a &CD image…"), this, [this] {
            const QString path = QFileDialog::getOpenFileName(window, tr("Share a CD image"), QString(),
                                                              tr("CD images (*.iso);;All files (*)"));
            if (!path.isEmpty())
                shareCd(path);
        });

    // The shared folder.
    devicesMenu->addSeparator();
    const bool folderChannel = status.flags & DevicesStatus::FolderChannel;
    if (status.flags & DevicesStatus::FolderShared) {
        devicesMenu->addAction(tr("&Stop sharing %1%2")
                                   .arg(status.folder, (status.flags & DevicesStatus::FolderReadOnly)
                                                           ? tr(" (read only)")
                                                           : QString()),
                               this, [this] { shareFolder({}, false); });
    } else if (!folderChannel) {
        words(status.usb == DevicesStatus::UsbUnknown ? tr("Shared folder: not connected")
                                                      : tr("The remote machine offers no shared folder"));
    }
    if (!kiosk && folderChannel)
        for (const bool readOnly : {false, true})
            devicesMenu->addAction(
                readOnly ? tr("Share a folder read-&only…") : tr("Share a &folder…"), this, [this, readOnly] {
                    const QString path = QFileDialog::getExistingDirectory(window, tr("Share a folder"));
                    if (!path.isEmpty())
                        shareFolder(path, readOnly);
                });

    // The microphone and the software smartcard.
    devicesMenu->addSeparator();
    QAction* microphone = devicesMenu->addAction((status.flags & DevicesStatus::RecordChannel)
                                                     ? tr("&Microphone")
                                                     : tr("&Microphone (the remote machine has none)"));
    microphone->setCheckable(true);
    microphone->setChecked(status.flags & DevicesStatus::Microphone);
    connect(microphone, &QAction::triggered, this, [this](bool on) {
        Logger(INFO) << "Microphone turned " << (on ? "on" : "off") << " from the menu";
        session->setMicrophone(on);
    });
    if (status.flags & DevicesStatus::SoftwareCard) {
        const bool in = status.flags & DevicesStatus::CardInserted;
        devicesMenu->addAction(in ? tr("&Remove the smartcard") : tr("&Insert the smartcard"), this,
                               [this, in] { session->smartcard(!in); });
    }
}

void DevicesMenu::statusChanged(const DevicesStatus& status)
{
    // A new session: the devices of the redirect-on-connect filter go to it once it offers USB.
    if (status.usb != DevicesStatus::UsbReady)
        onConnectDone = false;
    if (status.usb == DevicesStatus::UsbReady && !onConnectDone) {
        onConnectDone = true;
        if (!onConnectFilter.isEmpty() && onConnectFilterError.isEmpty() && usb)
            for (const UsbDevice& device : usb->devices())
                if (!redirected.contains(device.sysName) && onConnectFilter.matches(device))
                    redirect(device);
    }
    for (const SharedDevice& d : status.devices)
        if (d.state == SharedDevice::Failed && !d.words.isEmpty())
            Q_EMIT notice(d.words);
    if (status.usb != lastUsb && status.usb == DevicesStatus::UsbNoServerSupport && !redirected.isEmpty())
        Q_EMIT notice(tr("The remote machine offers no USB redirection"));
    lastUsb = status.usb;
    if (devicesMenu->isVisible())
        rebuild();
}

void DevicesMenu::redirect(const UsbDevice& device)
{
    if (redirected.contains(device.sysName))
        return;
    if (!usbOn) {
        fail(tr("Cannot redirect %1: USB redirection is turned off").arg(device.description()));
        return;
    }
    QString error;
    const int fd = openUsbDevice(device, error, devRoot);
    if (fd < 0) {
        fail(tr("Cannot redirect %1: %2").arg(device.description(), error));
        return;
    }
    const uint32_t id = nextId++;
    redirected.insert(device.sysName, id);
    Logger(INFO) << "USB device " << device.description() << " (" << device.sysName << "): redirecting";
    session->redirectUsb(id, device.description(), fd);
}

void DevicesMenu::giveBack(const UsbDevice& device)
{
    if (!redirected.contains(device.sysName))
        return;
    Logger(INFO) << "USB device " << device.description() << ": given back";
    session->releaseDevice(redirected.take(device.sysName));
}

void DevicesMenu::plugged(const UsbDevice& device)
{
    // Only while a window of the viewer has the focus: a device plugged in for the local desktop
    // stays with it.
    if (!autoShare || !autoFilterError.isEmpty() || !focused())
        return;
    if (autoFilter.matches(device))
        redirect(device);
}

void DevicesMenu::unplugged(const UsbDevice& device)
{
    giveBack(device);
}

void DevicesMenu::shareCd(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        fail(tr("Cannot share the CD image %1: %2")
                 .arg(path, QFileInfo::exists(path) ? tr("it cannot be read") : tr("no such file")));
        return;
    }
    Logger(INFO) << "CD image " << path << ": sharing";
    session->shareCd(nextId++, QFileInfo(path).absoluteFilePath());
}

void DevicesMenu::shareFolder(const QString& path, bool readOnly)
{
    if (!path.isEmpty() && !QFileInfo(path).isDir()) {
        fail(tr("Cannot share the folder %1: it is not a folder").arg(path));
        return;
    }
    session->shareFolder(path.isEmpty() ? path : QFileInfo(path).absoluteFilePath(), readOnly);
}
