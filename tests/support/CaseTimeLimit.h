#pragma once

namespace qvtest {

// Ends the test program when one test case runs longer than its limit, after naming the case on
// standard error ("[  TIMEOUT ] Suite.Case ran longer than N s"), so that a case that hangs names
// itself instead of taking the time of every case after it. The limit is QV_TEST_CASE_SECONDS
// (600 s when unset; 0 turns it off). Ending the program also ends its children on Windows, where
// each runs in a job object killed when the program's handles close (support/ChildProcess.h).
void limitCaseTime();

}  // namespace qvtest
