// A test program whose one case hangs, for the time limit's own test (CaseTimeLimitTest.cpp). With
// QV_PROBE_PID_FILE set, the case first starts a child of its own (this program with --sleep),
// writes the child's process id there, and only then hangs.

#include "support/CaseTimeLimit.h"
#include "support/ChildProcess.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {
std::string self;
}

TEST(Hangs, neverEnds) {
    if (const char* pidFile = std::getenv("QV_PROBE_PID_FILE")) {
        static qvtest::Child child;
        ASSERT_TRUE(child.start(self, {"--sleep"}, QProcessEnvironment::systemEnvironment(),
                                std::string(pidFile) + ".out", std::string(pidFile) + ".err"));
        std::ofstream(pidFile) << child.pid() << "\n";
    }
    std::this_thread::sleep_for(std::chrono::seconds(120));
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--sleep") {
        std::this_thread::sleep_for(std::chrono::seconds(120));
        return 0;
    }
    QCoreApplication app(argc, argv);
    self = QCoreApplication::applicationFilePath().toStdString();
    ::testing::InitGoogleTest(&argc, argv);
    qvtest::limitCaseTime();
    return RUN_ALL_TESTS();
}
