#include "ProgrammerRoster.h"

#include "Backends.h"
#include "DeviceNotifications.h"
#include "DeviceWatcher.h"

namespace qv {

ProgrammerRoster::ProgrammerRoster(QObject* parent) : QObject(parent), watcher_(new DeviceWatcher(this)) {
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &ProgrammerRoster::search);
    connect(watcher_, &DeviceWatcher::deviceArrived, this, [this](const QString& path) {
        emit deviceArrived(path);
        notified();
    });
    connect(watcher_, &DeviceWatcher::deviceRemoved, this, [this](const QString& path) {
        emit deviceRemoved(path);
        notified();
    });
}

// The watcher (a child) stops its event thread before the roster's signals go.
ProgrammerRoster::~ProgrammerRoster() {
    delete watcher_;
    watcher_ = nullptr;
}

void ProgrammerRoster::watchWindow(void* nativeWindowHandle) { registerDeviceNotifications(nativeWindowHandle); }

void ProgrammerRoster::nativeEvent(void* message) {
    const DeviceChange change = decodeDeviceChange(message);
    if (change.kind == DeviceChange::Arrival) {
        emit deviceArrived(change.name);
    } else if (change.kind == DeviceChange::Removal) {
        emit deviceRemoved(change.name);
    } else {
        return;
    }
    notified();
}

void ProgrammerRoster::notified() { settle_.start(); }

QStringList ProgrammerRoster::search() {
    QStringList now;
    for (const std::string& path : findProgrammers()) now << QString::fromStdString(path);
    const QStringList before = present_;
    present_ = now;
    bool differs = false;
    for (const QString& path : before) {
        if (!now.contains(path)) {
            differs = true;
            emit programmerWent(path);
        }
    }
    for (const QString& path : now) {
        if (!before.contains(path)) {
            differs = true;
            emit programmerCame(path);
        }
    }
    if (differs || now != before)
        emit changed();
    return now;
}

}  // namespace qv
