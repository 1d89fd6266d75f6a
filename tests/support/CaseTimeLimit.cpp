#include "CaseTimeLimit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qvtest {

namespace {

constexpr int kExitCode = 124;  // as timeout(1) ends a program that ran out of time

[[noreturn]] void endNow() {
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), kExitCode);
#endif
    _exit(kExitCode);
}

class CaseWatch : public ::testing::EmptyTestEventListener {
  public:
    explicit CaseWatch(std::chrono::seconds limit) : limit_(limit), thread_([this] { watch(); }) {}
    ~CaseWatch() override { stop(); }

    void OnTestStart(const ::testing::TestInfo& info) override {
        std::lock_guard<std::mutex> lock(mutex_);
        name_ = std::string(info.test_suite_name()) + "." + info.name();
        deadline_ = std::chrono::steady_clock::now() + limit_;
        running_ = true;
        changed_.notify_all();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        changed_.notify_all();
    }
    void OnTestProgramEnd(const ::testing::UnitTest&) override { stop(); }

  private:
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable())
            thread_.join();
    }

    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (!running_) {
                changed_.wait(lock);
                continue;
            }
            const auto deadline = deadline_;
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && running_ && !stopping_ &&
                deadline_ == deadline) {
                std::fprintf(stderr, "\n[  TIMEOUT ] %s ran longer than %lld s: the test program is ended\n",
                             name_.c_str(), static_cast<long long>(limit_.count()));
                std::fflush(stderr);
                std::fflush(stdout);
                endNow();
            }
        }
    }

    const std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string name_;
    std::chrono::steady_clock::time_point deadline_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once everything it uses is made
};

}  // namespace

void limitCaseTime() {
    long seconds = 600;
    if (const char* text = std::getenv("QV_TEST_CASE_SECONDS")) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && value >= 0)
            seconds = value;
    }
    if (seconds == 0)
        return;
    ::testing::UnitTest::GetInstance()->listeners().Append(new CaseWatch(std::chrono::seconds(seconds)));
}

}  // namespace qvtest
