// The test programs' own safety net: a case that hangs names itself and ends its program, and on
// Windows nothing the program started outlives it.

#include "support/ChildProcess.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

TEST(CaseTimeLimit, aHungCaseIsNamedAndEndsItsProgramWithWhatItStarted) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string base = dir.path().toStdString();
    const std::string pidFile = base + "/child.pid";
    qvtest::Child probe;
    ASSERT_TRUE(probe.start(QV_CASE_LIMIT_PROBE, {},
                            qvtest::environmentWith({{"QV_TEST_CASE_SECONDS", "2"}, {"QV_PROBE_PID_FILE", pidFile}}),
                            base + "/probe.out", base + "/probe.err"));
    EXPECT_EQ(probe.wait(60000), 124) << probe.err();
    EXPECT_NE(probe.err().find("[  TIMEOUT ] Hangs.neverEnds ran longer than 2 s"), std::string::npos)
        << probe.err();
    long long pid = 0;
    std::ifstream(pidFile) >> pid;
    ASSERT_GT(pid, 0) << "the probe did not start its child";
#ifdef _WIN32
    if (HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid))) {
        EXPECT_EQ(WaitForSingleObject(child, 10000), WAIT_OBJECT_0) << "the probe's child outlived it";
        CloseHandle(child);
    }
#else
    // QProcess children are not tied to their parent here: the orphan is ended by hand.
    ::kill(pid_t(pid), SIGKILL);
#endif
}
