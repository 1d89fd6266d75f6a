#pragma once

// The few checking helpers of the logic test: each failed check prints what went wrong, and the
// program ends with the line "N passed, N failed".
#include <cstdint>
#include <string>
#include <vector>

namespace qv::testcheck {

void check(bool ok, const std::string& what);
void checkEqual(uint32_t actual, uint32_t expected, const std::string& what);
void checkBytes(const uint8_t* actual, const std::vector<uint8_t>& expected, const std::string& what);
// Prints the closing line; the program's exit status.
int finish();

}  // namespace qv::testcheck
