#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace qvtest {

// Runs the event loop until condition holds or timeoutMs have passed; whether it held. For the
// tests, the end-to-end drivers and the benches alike (header only: they link no test library).
inline bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 4000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace qvtest
