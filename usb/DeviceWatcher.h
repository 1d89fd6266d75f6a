#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class QFileSystemWatcher;
class QTimer;

namespace qv {

class QueuedCalls;

// Tells the window when a programmer is plugged in or out, as the same two signals from every
// source: libusb hot-plug for real programmers (Linux, macOS) and a watch on the virtual
// programmer directory. Signals are emitted on the thread that owns the watcher (the GUI thread),
// within about a second of the change. On Windows the window's native device notifications do
// this for real programmers, and the watcher follows virtual programmers (named pipes) by looking
// at the pipe namespace once a second: pipes cannot be watched like a directory.
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
    void rescanVirtualProgrammers();
    void watchVirtualDirectory();
    void startUsbHotplug();
    void stopUsbHotplug();

    QFileSystemWatcher* fileWatcher = nullptr;
    QTimer* pipePoll = nullptr;  // Windows only
    QueuedCalls* hotplugEvents = nullptr;  // from libusb's event thread to the watcher's thread
    QSet<QString> virtualSockets;
    std::atomic<bool> stopEvents{false};
    std::thread eventThread;
    int hotplugHandle = 0;
    bool hotplugRegistered = false;
};

}  // namespace qv
