#include "DeviceWatcher.h"

#include "Backends.h"
#include "DeviceSearch.h"
#include "qtsupport/QueuedCalls.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#ifndef _WIN32
#include "LibusbContext.h"

#include <libusb.h>
#endif

namespace qv {

namespace {
constexpr int kPipePollMs = 1000;
}  // namespace

DeviceWatcher::DeviceWatcher(QObject* parent) : QObject(parent), hotplugEvents(new QueuedCalls(this)) {
    for (const Backend& backend : backends()) {
        switch (backend.hotplug) {
            case HotplugSource::WindowNotifications:
                break;  // the window's messages, through ProgrammerRoster::nativeEvent
            case HotplugSource::LibusbCallback:
                startUsbHotplug();
                break;
            case HotplugSource::DirectoryWatch:
                followByListing(backend);
                if (!fileWatcher) {
                    fileWatcher = new QFileSystemWatcher(this);
                    connect(fileWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
                        watchVirtualDirectory();
                        relist();
                    });
                    watchVirtualDirectory();
                }
                break;
            case HotplugSource::NamespacePoll:
                followByListing(backend);
                if (!pipePoll) {
                    pipePoll = new QTimer(this);
                    connect(pipePoll, &QTimer::timeout, this, &DeviceWatcher::relist);
                    pipePoll->start(kPipePollMs);
                }
                break;
        }
    }
}

DeviceWatcher::~DeviceWatcher() { stopUsbHotplug(); }

void DeviceWatcher::postHotplugEvent(const QString& path, bool arrived) {
    hotplugEvents->post([this, path, arrived] {
        if (arrived) {
            emit deviceArrived(path);
        } else {
            emit deviceRemoved(path);
        }
    });
}

// Watches the directory itself when it exists, otherwise its parent, so that a directory created
// by the first virtual programmer after the tool started is still noticed.
void DeviceWatcher::watchVirtualDirectory() {
    if (!fileWatcher) return;
    const QString directory = QString::fromStdString(virtualProgrammerDirectory());
    if (directory.isEmpty()) return;
    const QString parent = QFileInfo(directory).absolutePath();
    if (!fileWatcher->directories().contains(parent) && QFileInfo::exists(parent)) fileWatcher->addPath(parent);
    if (!fileWatcher->directories().contains(directory) && QFileInfo::exists(directory)) {
        fileWatcher->addPath(directory);
    }
}

void DeviceWatcher::followByListing(const Backend& backend) {
    Listed entry{&backend, {}};
    for (const std::string& path : backend.list()) entry.paths.insert(QString::fromStdString(path));
    listed.push_back(std::move(entry));
}

// Lists every backend followed by listing again and tells what changed: removals first.
void DeviceWatcher::relist() {
    for (Listed& entry : listed) {
        QSet<QString> now;
        for (const std::string& path : entry.backend->list()) now.insert(QString::fromStdString(path));
        for (const QString& path : entry.paths) {
            if (!now.contains(path)) emit deviceRemoved(path);
        }
        for (const QString& path : now) {
            if (!entry.paths.contains(path)) emit deviceArrived(path);
        }
        entry.paths = now;
    }
}

#ifndef _WIN32

namespace {

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* userData) {
    auto* watcher = static_cast<DeviceWatcher*>(userData);
    const QString path = QString::fromStdString(usbPortPath(device));
    const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    // Runs on the libusb event thread: hand the event to the watcher's own thread.
    watcher->postHotplugEvent(path, arrived);
    return 0;
}

}  // namespace

void DeviceWatcher::startUsbHotplug() {
    libusb_context* context = LibusbContext::get();
    if (!context || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return;
    libusb_hotplug_callback_handle handle = 0;
    const int rc = libusb_hotplug_register_callback(
        context,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_NO_FLAGS, kProgrammerVendorId, kProgrammerProductId, LIBUSB_HOTPLUG_MATCH_ANY, onHotplug,
        this, &handle);
    if (rc != LIBUSB_SUCCESS) return;
    hotplugHandle = handle;
    hotplugRegistered = true;
    eventThread = std::thread([this, context] {
        while (!stopEvents.load(std::memory_order_acquire)) {
            timeval slice{0, 100000};
            libusb_handle_events_timeout_completed(context, &slice, nullptr);
        }
    });
}

void DeviceWatcher::stopUsbHotplug() {
    if (!hotplugRegistered) return;
    // Deregistering wakes the event thread's wait, which then sees the stop flag.
    stopEvents.store(true, std::memory_order_release);
    libusb_hotplug_deregister_callback(LibusbContext::get(), hotplugHandle);
    if (eventThread.joinable()) eventThread.join();
    hotplugRegistered = false;
}

#else

void DeviceWatcher::startUsbHotplug() {}
void DeviceWatcher::stopUsbHotplug() {}

#endif

}  // namespace qv
