#include "qtsupport/QueuedCalls.h"

#include <QMetaObject>
#include <QSocketNotifier>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qv {

QueuedCalls::QueuedCalls(QObject* parent) : QObject(parent) {
#ifndef _WIN32
    int ends[2];
    if (::pipe(ends) == 0) {
        for (int fd : ends) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        wakeRead_ = ends[0];
        wakeWrite_ = ends[1];
        wakeNotifier_ = new QSocketNotifier(wakeRead_, QSocketNotifier::Read, this);
        connect(wakeNotifier_, &QSocketNotifier::activated, this, &QueuedCalls::drain);
    }
#endif
}

QueuedCalls::~QueuedCalls() {
#ifndef _WIN32
    delete wakeNotifier_;
    if (wakeRead_ >= 0)
        ::close(wakeRead_);
    if (wakeWrite_ >= 0)
        ::close(wakeWrite_);
#endif
}

void QueuedCalls::post(std::function<void()> call) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake = pending_.empty();
        pending_.push_back(std::move(call));
    }
    // One wake-up per burst: a drain already on its way takes this call too.
    if (!wake)
        return;
#ifndef _WIN32
    if (wakeWrite_ >= 0) {
        const char byte = 1;
        ssize_t written;
        do {
            written = ::write(wakeWrite_, &byte, 1);
        } while (written < 0 && errno == EINTR);
        // A full pipe (EAGAIN) already holds a wake-up that has not been read.
        return;
    }
#endif
    QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
}

void QueuedCalls::drain() {
#ifndef _WIN32
    if (wakeRead_ >= 0) {
        char bytes[64];
        while (::read(wakeRead_, bytes, sizeof bytes) > 0) {
        }
    }
#endif
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls.swap(pending_);
    }
    for (std::function<void()>& call : calls)
        call();
}

}  // namespace qv
