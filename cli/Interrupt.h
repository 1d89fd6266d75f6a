#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace qv::cli {

// Ctrl-C and its relatives while qv310 runs. The first interrupt (SIGINT, SIGTERM, SIGHUP; on
// Windows Ctrl-C, Ctrl-Break or closing the console window) calls onInterrupt once, on a thread of
// this watch, so that the runs can stop their boards and report; a second one ends the process at
// once with exit code 130. One watch at a time; the handlers are removed when it ends.
class InterruptWatch {
  public:
    explicit InterruptWatch(std::function<void()> onInterrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool interrupted() const { return interrupted_.load(std::memory_order_acquire); }
    const std::atomic<bool>& flag() const { return interrupted_; }

  private:
    void watch();

    std::function<void()> onInterrupt_;
    std::atomic<bool> interrupted_{false};
    std::thread thread_;
};

}  // namespace qv::cli
