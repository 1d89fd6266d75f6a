#pragma once

#include "vprog/VirtualProgrammer.h"

#include <cstdint>
#include <string>

#include <sys/types.h>

// A virtual programmer in a child process of a bench, forked before the bench starts Qt, so that the
// bench's own CPU figures are the tool's and the programmer's time can be asked for between
// operations.
namespace qvbench {

// What the programmer saw between two marks: its requests and the time the modelled box would
// have needed for them (the model's own per-request delay, wire and flash).
struct DeviceTally {
    uint64_t modelledMicros = 0;
    uint32_t requests = 0;
    uint32_t dataChunks = 0;
    uint64_t dataBytes = 0;
};

class ProgrammerProcess {
  public:
    explicit ProgrammerProcess(const vprog::Options& options);
    ~ProgrammerProcess();
    ProgrammerProcess(const ProgrammerProcess&) = delete;
    ProgrammerProcess& operator=(const ProgrammerProcess&) = delete;

    bool ready() const { return ready_; }
    const std::string& path() const { return path_; }
    // The tally since the previous mark.
    DeviceTally mark();
    // User plus system CPU seconds of the programmer process so far.
    double cpuSeconds() const;

  private:
    pid_t pid_ = -1;
    int control_ = -1;
    int answer_ = -1;
    bool ready_ = false;
    std::string path_;
};

}  // namespace qvbench
