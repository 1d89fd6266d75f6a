#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

class QFileSystemWatcher;
class QTimer;

namespace qv {

class QueuedCalls;
struct Backend;

// Tells when a programmer is plugged in or out, as the same two signals from every backend's
// hot-plug source (usb/Backends.h): libusb hot-plug for real programmers (Linux, macOS), a watch
// on the virtual programmer directory, and on Windows a look at the pipe namespace once a second
// for virtual programmers (pipes cannot be watched like a directory). Real programmers on Windows
// are announced to a window instead (usb/DeviceNotifications.h): ProgrammerRoster takes those.
// Signals are emitted on the thread that owns the watcher, within about a second of the change.
class DeviceWatcher : public QObject {
    Q_OBJECT
public:
    explicit DeviceWatcher(QObject* parent = nullptr);
    ~DeviceWatcher() override;

    // Safe from any thread: the event is emitted as one of the signals on the watcher's thread.
    // libusb's event thread reports through this.
    void postHotplugEvent(const QString& path, bool arrived);

signals:
    void deviceArrived(const QString& path);
    void deviceRemoved(const QString& path);

private:
    // A backend followed by listing it again: its paths at the last look.
    struct Listed {
        const Backend* backend;
        QSet<QString> paths;
    };

    void followByListing(const Backend& backend);
    void relist();
    void watchVirtualDirectory();
    void startUsbHotplug();
    void stopUsbHotplug();

    QFileSystemWatcher* fileWatcher = nullptr;
    QTimer* pipePoll = nullptr;
    QueuedCalls* hotplugEvents = nullptr;  // from libusb's event thread to the watcher's thread
    std::vector<Listed> listed;
    std::atomic<bool> stopEvents{false};
    std::thread eventThread;
    int hotplugHandle = 0;
    bool hotplugRegistered = false;
};

}  // namespace qv
