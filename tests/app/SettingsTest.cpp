#include "app/Settings.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

namespace {

// config.ini's bytes on this platform: "\r\n" line ends on Windows.
QByteArray platformLines(QByteArray text) {
#ifdef _WIN32
    text.replace("\n", "\r\n");
#endif
    return text;
}

qv::StoredSettings parse(const QByteArray& content) {
    QByteArray bytes = content;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    return qv::readSettings(buffer);
}

TEST(ConfigFile, UnlockLineIsACaseSensitiveSubstringOfLineOneOnly) {
    struct Case {
        const char* content;
        bool unlocked;
    } cases[] = {
        {"UPBOOT:1\n", true},
        {"xxUPBOOT:12\n", true},
        {"upboot:1\n", false},
        {"UPBOOT:0\nUPBOOT:1\n", false},  // a key on another line than its own is ignored
        {"UPBOOT:1", true},              // no line break at the end
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.content).upbootEnabled, c.unlocked) << c.content;
    }
}

TEST(ConfigFile, PathsAreReadAsWrittenAndOnlyTheLinesPresentCount) {
    const auto full = parse("UPBOOT:0\r\nNFLASH:0\r\n  C:/fw/app.bin  \r\n./ui.bin\r\n\r\nWAITT:0\r\nPWROFF:1\r\nPWROFF:0\r\n");
    EXPECT_TRUE(full.hasMcuCodeLine);
    EXPECT_EQ(full.mcuCodeLine, QStringLiteral("  C:/fw/app.bin  "));
    EXPECT_EQ(full.mcuCodeLine.trimmed(), QStringLiteral("C:/fw/app.bin"));
    EXPECT_EQ(full.uiImageLine, QStringLiteral("./ui.bin"));
    EXPECT_TRUE(full.hasBootCodeLine);
    EXPECT_EQ(full.bootCodeLine, QString());
    EXPECT_TRUE(full.powerOff);  // line 8 is never read

    const auto shortFile = parse("UPBOOT:1\nNFLASH:0\n/a.bin\n");
    EXPECT_TRUE(shortFile.hasMcuCodeLine);
    EXPECT_FALSE(shortFile.hasUiImageLine);
    EXPECT_FALSE(shortFile.hasBootCodeLine);
    EXPECT_FALSE(shortFile.hasPowerOffLine);

    EXPECT_TRUE(parse("1\n2\n3\n4\n5\n6\nxPWROFF:1x\n").powerOff);
    EXPECT_FALSE(parse("1\n2\n3\n4\n5\n6\npwroff:1\n").powerOff);
}

TEST(ConfigFile, WrittenBytesAreTheSevenFixedLines) {
    EXPECT_EQ(qv::settingsFileBytes("./", "./", "", false),
              platformLines("UPBOOT:0\nNFLASH:0\n./\n./\n\nWAITT:0\nPWROFF:0\n"));
    EXPECT_EQ(qv::settingsFileBytes("/m.bin", "/u.diff", "/b.bin", true),
              platformLines("UPBOOT:0\nNFLASH:0\n/m.bin\n/u.diff\n/b.bin\nWAITT:0\nPWROFF:1\n"));
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TEST(ConfigFile, ReplacingWritesTheNewBytesAndLeavesNoTemporaryFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    ASSERT_TRUE(qv::writeFileAtomically(path, "old\n"));
    ASSERT_TRUE(qv::writeFileAtomically(path, "new content\n"));
    EXPECT_EQ(readAll(path), QByteArray("new content\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"config.ini"});
}

#ifndef _WIN32
// A full disk in the middle of the save: the file size limit makes the write fail the way ENOSPC
// does, in a child process so the limit does not reach the test itself. Root ignores permission
// bits, so this is the dependable way to make a write fail here.
TEST(ConfigFile, ASaveThatFailsMidWriteLeavesTheOldFileIntact) {
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    const QByteArray old("UPBOOT:1\nNFLASH:0\n/keep/me.bin\n");
    ASSERT_TRUE(qv::writeFileAtomically(path, old));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{8, 8};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool replaced = qv::writeFileAtomically(path, QByteArray(4096, 'x'));
        ::_exit(replaced ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed save must report failure";
    EXPECT_EQ(readAll(path), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"config.ini"});
}
#endif

}  // namespace
