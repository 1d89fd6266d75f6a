#include "vprog/LinkServer.h"

#include <cstdio>

namespace vprog {

namespace {

constexpr auto kRestartPause = std::chrono::milliseconds(1000);

std::string hexLine(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

}  // namespace

void warn(const std::string& name, const std::string& what) {
    std::fprintf(stderr, "qv310-vprog %s: %s\n", name.c_str(), what.c_str());
}

LinkServer::LinkServer(Options o) : options(std::move(o)), model(options) {}

void LinkServer::start() {
    thread = std::thread([this] { run(); });
}

void LinkServer::stop() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        quit = true;
        stateChanged.notify_all();
    }
    wake();
    thread.join();
}

bool LinkServer::plug() {
    std::unique_lock<std::mutex> lock(stateMutex);
    if (plugged)
        return true;
    const uint64_t ticket = ++plugRequests;
    stateChanged.notify_all();
    wake();
    stateChanged.wait(lock, [&] { return plugAnswers >= ticket || quit; });
    return plugged;
}

void LinkServer::unplug() {
    std::unique_lock<std::mutex> lock(stateMutex);
    wantPlugged = false;
    stateChanged.notify_all();
    wake();
    stateChanged.wait(lock, [&] { return (!plugged && !restartPending) || quit; });
}

bool LinkServer::isPlugged() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return plugged;
}

bool LinkServer::waitPlugged(int timeoutMs) {
    std::unique_lock<std::mutex> lock(stateMutex);
    return stateChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return plugged; });
}

void LinkServer::withModel(const std::function<void(DeviceModel&)>& fn) {
    std::lock_guard<std::mutex> lock(modelMutex);
    fn(model);
}

bool LinkServer::commandPending() const {
    return quit || (wantPlugged && !plugged && !restartPending) || (!wantPlugged && plugged) ||
           plugRequests != plugAnswers;
}

void LinkServer::trace(const char* direction, const uint8_t* data, size_t length) {
    if (!options.trace)
        return;
    std::fprintf(stderr, "%s %s %s\n", options.name.c_str(), direction, hexLine(data, length).c_str());
}

// Waits up to delay unless a command (unplug, quit) arrives first; true when it ran out.
bool LinkServer::pause(std::unique_lock<std::mutex>& lock, uint64_t delayMicros) {
    if (delayMicros == 0)
        return true;
    return !stateChanged.wait_for(lock, std::chrono::microseconds(delayMicros),
                                  [this] { return commandPending(); });
}

// Server thread, stateMutex held: does what plug()/unplug() asked.
void LinkServer::applyCommands() {
    bool changed = false;
    if (plugRequests != plugAnswers) {
        restartPending = false;
        if (!plugged) {
            plugged = openListener();
            wantPlugged = plugged;
        }
        plugAnswers = plugRequests;
        changed = true;
    }
    if (!wantPlugged && (plugged || restartPending)) {
        closeListener();
        plugged = false;
        restartPending = false;
        changed = true;
    }
    if (restartPending && Clock::now() >= restartAt) {
        restartPending = false;
        plugged = openListener();
        wantPlugged = plugged;
        changed = true;
    }
    if (changed)
        stateChanged.notify_all();
}

// Server thread, stateMutex held: the programmer leaves the bus.
void LinkServer::vanish(bool comesBack) {
    closeListener();
    plugged = false;
    if (comesBack) {
        restartPending = true;
        restartAt = Clock::now() + kRestartPause;
    } else {
        wantPlugged = false;
    }
    stateChanged.notify_all();
}

void LinkServer::handleRequest(std::unique_lock<std::mutex>& lock, const uint8_t* request, size_t length) {
    trace("<-", request, length);
    DeviceModel::Response response;
    {
        std::lock_guard<std::mutex> modelLock(modelMutex);
        response = model.handle(request, length);
    }
    if (!pause(lock, response.delayMicros))
        return;  // unplugged while the box was busy

    switch (response.outcome) {
        case DeviceModel::Outcome::NoReply:
            return;
        case DeviceModel::Outcome::Stall:
            stallConnection();
            return;
        case DeviceModel::Outcome::Unplug:
            vanish(false);
            return;
        case DeviceModel::Outcome::Reply:
        case DeviceModel::Outcome::Restart:
            break;
    }
    trace("->", response.reply.data(), response.reply.size());
    if (!sendReply(lock, response.reply)) {
        closeConnection();
        return;
    }
    if (response.outcome == DeviceModel::Outcome::Restart)
        vanish(true);
}

void LinkServer::run() {
    serverThreadStarted();
    std::unique_lock<std::mutex> lock(stateMutex);
    while (true) {
        applyCommands();
        if (quit)
            break;
        if (!plugged) {
            if (restartPending) {
                stateChanged.wait_until(lock, restartAt, [this] { return commandPending(); });
            } else {
                stateChanged.wait(lock, [this] { return commandPending(); });
            }
            continue;
        }
        serveLink(lock);
    }
    closeListener();
    plugged = false;
    stateChanged.notify_all();
}

void LinkServer::saveMemories() {
    std::lock_guard<std::mutex> modelLock(modelMutex);
    const Options& current = model.options();
    const struct {
        const std::string& path;
        const std::vector<uint8_t>& data;
    } dumps[] = {{current.dumpCodePath, model.codeFlash()},
                 {current.dumpSpiPath, model.spiFlash()},
                 {current.dumpFirmwarePath, model.firmwareArea()}};
    for (const auto& dump : dumps) {
        if (dump.path.empty())
            continue;
        if (!saveFile(dump.path, dump.data))
            warn(options.name, "cannot save " + dump.path);
    }
}

}  // namespace vprog
