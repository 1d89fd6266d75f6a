#include "CaseTimeLimit.h"
#include "TestEnvironment.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qvtest::useFreshRuntimeDirectory();
    qvtest::setQtVariablesForWindows();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    qvtest::limitCaseTime();
    return RUN_ALL_TESTS();
}
