#pragma once

// Shared by the harnesses: an exact-size copy of the input, so that AddressSanitizer catches a read
// one byte past its end, and a check that stops the run with a message when an invariant fails.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace qvfuzz {

class ExactCopy {
  public:
    ExactCopy(const uint8_t* data, size_t size) : bytes_(new uint8_t[size]), size_(size) {
        if (size)
            std::memcpy(bytes_.get(), data, size);
    }
    const uint8_t* data() const { return bytes_.get(); }
    const char* chars() const { return reinterpret_cast<const char*>(bytes_.get()); }
    size_t size() const { return size_; }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_;
};

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

}  // namespace qvfuzz

#define QVFUZZ_REQUIRE(condition) \
    ((condition) ? (void)0 : ::qvfuzz::fail(#condition, __FILE__, __LINE__))
