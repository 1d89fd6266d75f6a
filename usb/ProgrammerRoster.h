#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

namespace qv {

class DeviceWatcher;

// The programmers present, for every front end that follows them: the window, the station and
// any program with an event loop. It lists every backend of the table (usb/Backends.h) and
// follows each backend's hot-plug source from the moment it is made.
//
// Two levels of news, both on the thread that owns the roster:
// - deviceArrived / deviceRemoved: each notification as its source gives it (the device path as
//   the source names it; for a Windows device interface, its upper-cased name), at once;
// - programmerCame / programmerWent and changed: the difference between two searches. The roster
//   searches by itself kSettleMs after the last of a burst of notifications; search() searches
//   at once.
//
// On Windows real programmers are announced only to a window: a roster that should see them is
// given one (watchWindow) and is handed the window's native messages (nativeEvent).
class ProgrammerRoster : public QObject {
    Q_OBJECT
public:
    static constexpr int kSettleMs = 100;

    explicit ProgrammerRoster(QObject* parent = nullptr);
    ~ProgrammerRoster() override;

    // Registers a native window (a window's winId()) for the device notifications of real
    // programmers. Does nothing outside Windows.
    void watchWindow(void* nativeWindowHandle);
    // A native message of that window: an arrival or removal of a programmer is taken as any
    // other notification. Every other message (and every message outside Windows) is ignored.
    void nativeEvent(void* message);

    // Lists every backend now, in the table's order (real programmers in bus order, then virtual
    // ones by name), keeps the list as present(), and signals the difference from the last list.
    QStringList search();
    // The list of the last search; empty before the first.
    const QStringList& present() const { return present_; }

signals:
    void deviceArrived(const QString& path);
    void deviceRemoved(const QString& path);
    void programmerCame(const QString& path);
    void programmerWent(const QString& path);
    // After the comings and goings of a search that changed the list.
    void changed();

private:
    void notified();

    QStringList present_;
    QTimer settle_;
    DeviceWatcher* watcher_ = nullptr;
};

}  // namespace qv
