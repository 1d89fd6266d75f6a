#include "TestCheck.h"

#include "ConnectionReport.h"

#include <cstdio>
#include <cstring>

namespace qv::testcheck {

namespace {
int passed = 0;
int failed = 0;

std::string hex(uint32_t value) {
    return qv::diag::hexNumber(value, 8);
}
}  // namespace

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

void checkEqual(uint32_t actual, uint32_t expected, const std::string& what) {
    check(actual == expected, what + ": got " + hex(actual) + ", expected " + hex(expected));
}

void checkBytes(const uint8_t* actual, const std::vector<uint8_t>& expected, const std::string& what) {
    const bool same = std::memcmp(actual, expected.data(), expected.size()) == 0;
    check(same, what + ":\n  got      " + qv::diag::hexBytes(actual, uint32_t(expected.size())) +
                    "\n  expected " + qv::diag::hexBytes(expected.data(), uint32_t(expected.size())));
}

int finish() {
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

}  // namespace qv::testcheck
