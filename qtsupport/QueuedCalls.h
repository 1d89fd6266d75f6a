#pragma once

#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

class QSocketNotifier;

namespace qv {

// Hands calls from any thread to the thread that owns this object, in the order they were
// posted. The calls wait in a queue under a std::mutex; the poster only wakes the owner's thread,
// once per burst. On Linux and macOS the wake-up is a byte through a pipe that a socket notifier
// of the owner's thread watches, so nothing of the poster's crosses through Qt's event queue, whose
// locks the thread sanitizer cannot see: every hand-over is ordered by the mutex and the pipe,
// which it can. On Windows the wake-up is a queued call of drain(). Calls still queued when the
// object goes are dropped: whoever posts must be stopped before the object is destroyed.
class QueuedCalls : public QObject {
    Q_OBJECT
  public:
    explicit QueuedCalls(QObject* parent = nullptr);
    ~QueuedCalls() override;

    // Safe from any thread.
    void post(std::function<void()> call);

  private:
    Q_INVOKABLE void drain();

    std::mutex mutex_;
    std::vector<std::function<void()>> pending_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    QSocketNotifier* wakeNotifier_ = nullptr;
};

}  // namespace qv
