// What the engine judges before anything is sent: addresses written in full, files read no
// further than they may be.

#include "engine/BoundedRead.h"
#include "engine/Steps.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(StrictCodeAddress, onlyAPrefixedHexNumberInsideTheCodeFlashIsAnAddress) {
    struct Case {
        const char* text;
        bool taken;
    };
    const Case cases[] = {
        {"0xA000", true},      {"0XA000", true},        {"0xa000", true},     {"0x0", true},
        {"0x0000A000", true},  {"0x7FFFF", true},       {"0x80000", false},   {"0xFFFFFFFF", false},
        {"A000", false},       {"a000", false},         {"40960", false},     {"0x", false},
        {"", false},           {" 0xA000", false},      {"0xA000 ", false},   {"+0xA000", false},
        {"-0xA000", false},    {"0x0000A0000", false},  {"0xA0G0", false},    {"0xA000\n", false},
        {"0x\u0661\u0662", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(qv::engine::isStrictCodeAddress(QString::fromUtf8(c.text)), c.taken) << c.text;
}

TEST(BoundedRead, readsNoFurtherThanOneBytePastTheLimit) {
    QTemporaryDir dir;
    const QString exact = dir.filePath(QStringLiteral("exact"));
    const QString over = dir.filePath(QStringLiteral("over"));
    for (const auto& [path, size] : {std::pair<QString, int>{exact, 100}, {over, 101}}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size, 'x'));
    }
    QByteArray data;
    QString error;
    EXPECT_EQ(qv::engine::readBounded(exact, 100, data, error), qv::engine::ReadOutcome::Read);
    EXPECT_EQ(data.size(), 100);
    EXPECT_EQ(qv::engine::readBounded(over, 100, data, error), qv::engine::ReadOutcome::TooLong);
    EXPECT_TRUE(data.isEmpty());
    EXPECT_EQ(qv::engine::readBounded(dir.filePath(QStringLiteral("none")), 100, data, error),
              qv::engine::ReadOutcome::Unreadable);
#ifndef _WIN32
    // A device that never ends.
    EXPECT_EQ(qv::engine::readBounded(QStringLiteral("/dev/zero"), 1 << 20, data, error),
              qv::engine::ReadOutcome::TooLong);
#endif
}

}  // namespace
