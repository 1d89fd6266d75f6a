#pragma once

#include "vprog/VirtualProgrammer.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The platform-neutral part of the link server: the plug/unplug/restart state machine, the
// handshake with plug() and unplug(), and what is done with one request (the model, the modelled
// delay, the faults, the trace). The platform part (VirtualProgrammer.cpp, VirtualProgrammerWin.cpp)
// owns the listener and the connection and makes every system call.
namespace vprog {

void warn(const std::string& name, const std::string& what);

class LinkServer {
  public:
    explicit LinkServer(Options o);
    virtual ~LinkServer() = default;
    LinkServer(const LinkServer&) = delete;
    LinkServer& operator=(const LinkServer&) = delete;

    // Starts the server thread; call once the platform part is ready.
    void start();
    // Ends the server thread: the listener is closed when this returns.
    void stop();

    bool plug();
    void unplug();
    bool isPlugged() const;
    bool waitPlugged(int timeoutMs);
    void withModel(const std::function<void(DeviceModel&)>& fn);
    // Saves the memories named in the model's options (they may still change while it runs).
    void saveMemories();
    const std::string& name() const { return options.name; }

  protected:
    using Clock = std::chrono::steady_clock;

    // Wakes the server thread out of its wait on the link (any thread).
    virtual void wake() = 0;
    // Server thread, once before anything else.
    virtual void serverThreadStarted() {}
    // Server thread, stateMutex held. openListener: false (with a warning) when the programmer
    // cannot plug in. closeListener also ends the connection.
    virtual bool openListener() = 0;
    virtual void closeListener() = 0;
    virtual void closeConnection() = 0;
    // Server thread, stateMutex held, plugged: waits at most a poll interval for the link, takes
    // a new tool, receives a request and hands it to handleRequest. Returns at once when a command
    // arrives.
    virtual void serveLink(std::unique_lock<std::mutex>& lock) = 0;
    // Server thread, stateMutex held: sends one reply message; false when the connection failed
    // or a command arrived before the tool took the reply.
    virtual bool sendReply(std::unique_lock<std::mutex>& lock, const std::vector<uint8_t>& reply) = 0;
    // Server thread, stateMutex held: reads no more requests on this connection; only its end is
    // still watched for.
    virtual void stallConnection() = 0;
    virtual bool saveFile(const std::string& path, const std::vector<uint8_t>& data) = 0;

    // Server thread, stateMutex held: something for the thread to do other than serving.
    bool commandPending() const;
    // Server thread, stateMutex held: one request received from the tool.
    void handleRequest(std::unique_lock<std::mutex>& lock, const uint8_t* request, size_t length);

    Options options;
    std::mutex modelMutex;
    DeviceModel model;

    mutable std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool wantPlugged = false;
    bool plugged = false;
    bool quit = false;
    bool restartPending = false;
    Clock::time_point restartAt;
    uint64_t plugRequests = 0;  // plug() calls so far
    uint64_t plugAnswers = 0;   // plug() calls the server has tried

  private:
    void run();
    void trace(const char* direction, const uint8_t* data, size_t length);
    bool pause(std::unique_lock<std::mutex>& lock, uint64_t delayMicros);
    void applyCommands();
    void vanish(bool comesBack);

    std::thread thread;
};

}  // namespace vprog
