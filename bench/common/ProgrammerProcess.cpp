#include "ProgrammerProcess.h"

#include "protocol/Frames.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace qvbench {

namespace {

bool readAll(int fd, void* buffer, size_t length) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t n = ::read(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool writeAll(int fd, const void* buffer, size_t length) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

// Child side: serves until the control pipe closes. Command 'M' answers the tally since the
// previous 'M', computed by replaying the logged requests through a scratch model with the same
// options, so the modelled time is exactly what the server waited before its replies.
[[noreturn]] void serveProgrammer(const vprog::Options& options, int control, int answer) {
    int status = 0;
    {
        vprog::VirtualProgrammer programmer(options);
        const uint8_t ready = programmer.plugged() ? 1 : 0;
        writeAll(answer, &ready, 1);
        vprog::DeviceModel scratch(options);
        size_t mark = 0;
        uint8_t command = 0;
        while (readAll(control, &command, 1)) {
            if (command != 'M')
                continue;
            std::vector<std::vector<uint8_t>> requests;
            programmer.withModel([&](vprog::DeviceModel& model) {
                const auto& log = model.requestLog();
                requests.assign(log.begin() + long(std::min(mark, log.size())), log.end());
                mark = log.size();
            });
            DeviceTally tally;
            for (const auto& request : requests) {
                tally.modelledMicros += scratch.handle(request.data(), request.size()).delayMicros;
                ++tally.requests;
                if (request.size() >= 3 && request[2] == qv::frame::kWriteData) {
                    ++tally.dataChunks;
                    tally.dataBytes += qv::frame::getBe24(request.data() + 3) - qv::frame::kDataFrameOverhead;
                }
            }
            if (!writeAll(answer, &tally, sizeof tally)) {
                status = 1;
                break;
            }
        }
    }
    ::_exit(status);
}

}  // namespace

ProgrammerProcess::ProgrammerProcess(const vprog::Options& options) {
    int toChild[2];
    int fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only its own two ends stay open: an inherited end of another programmer's control
        // pipe would keep that one from ever seeing the bench hang up.
        const long openMax = std::min(::sysconf(_SC_OPEN_MAX), 4096L);
        for (int fd = 3; fd < openMax; ++fd) {
            if (fd != toChild[0] && fd != fromChild[1])
                ::close(fd);
        }
        serveProgrammer(options, toChild[0], fromChild[1]);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    control_ = toChild[1];
    answer_ = fromChild[0];
    uint8_t ready = 0;
    ready_ = pid_ > 0 && readAll(answer_, &ready, 1) && ready == 1;
    path_ = "virtual:" + vprog::defaultDirectory() + "/" + options.name + ".sock";
}

ProgrammerProcess::~ProgrammerProcess() {
    if (control_ >= 0)
        ::close(control_);
    if (answer_ >= 0)
        ::close(answer_);
    if (pid_ > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

DeviceTally ProgrammerProcess::mark() {
    DeviceTally tally;
    const uint8_t command = 'M';
    if (!writeAll(control_, &command, 1) || !readAll(answer_, &tally, sizeof tally))
        std::fprintf(stderr, "lost the virtual programmer process\n");
    return tally;
}

double ProgrammerProcess::cpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    // Fields after the command name: state is field 3; utime and stime are fields 14 and 15.
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size() && fields.size() < 13) {
        const size_t space = text.find(' ', at);
        fields.push_back(text.substr(at, space - at));
        at = space == std::string::npos ? text.size() : space + 1;
    }
    if (fields.size() < 13)
        return 0;
    const double ticks = double(::sysconf(_SC_CLK_TCK));
    return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

}  // namespace qvbench
