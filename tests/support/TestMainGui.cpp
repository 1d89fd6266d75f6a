#include "CaseTimeLimit.h"
#include "TestEnvironment.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qvtest::useFreshRuntimeDirectory();
    qvtest::setQtVariablesForWindows();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    qvtest::limitCaseTime();
    return RUN_ALL_TESTS();
}
