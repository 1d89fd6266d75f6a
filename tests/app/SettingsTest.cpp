#include "app/Settings.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#ifndef _WIN32
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <functional>
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
        {"UPBOOT:1", true},               // no line break at the end
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.content).upbootEnabled, c.unlocked) << c.content;
    }
}

TEST(ConfigFile, PathsAreReadAsWrittenAndOnlyTheLinesPresentCount) {
    const auto full = parse(
        "UPBOOT:0\r\nNFLASH:0\r\n  C:/fw/app.bin  \r\n./ui.bin\r\n\r\nWAITT:0\r\nPWROFF:1\r\nPWROFF:0\r\n");
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

QStringList filesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::System | QDir::Hidden);
}

// Runs fn in a child process as an ordinary user and returns its exit status (0: fn was true).
// Root writes regardless of permission bits, so a test of a read-only folder has to give root up;
// the child does, the test itself stays root.
int asUser(const std::function<bool()>& fn) {
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        ::_exit(fn() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Hands a path to the user the child runs as (a no-op when the tests do not run as root).
void giveToUser(const QString& path) {
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    }
}

TEST(ConfigFile, AFolderThatAllowsNoNewFileGetsTheFileRewrittenInPlace) {
    struct Case {
        const char* name;
        const char* old;  // nullptr: no config.ini
        mode_t fileMode;
        bool saved;
    } cases[] = {
        {"writable file, longer than the new text",
         "UPBOOT:1\nNFLASH:0\n/a/much/longer/old/path/than/now.bin\n", 0644, true},
        {"writable file, shorter than the new text", "x\n", 0644, true},
        {"no file", nullptr, 0, false},
        {"read-only file", "old\n", 0444, false},
    };
    const QByteArray bytes = qv::settingsFileBytes("/m.bin", "/u.bin", "/b.bin", true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir(QStringLiteral("/tmp/qv-settings-XXXXXX"));
        ASSERT_TRUE(dir.isValid());
        const QString path = dir.filePath("config.ini");
        if (c.old) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.old);
            f.close();
            giveToUser(path);
            ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), c.fileMode), 0);
        }
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0555), 0);

        // The folder really refuses a new file to the user the save runs as.
        EXPECT_EQ(asUser([&] { return QFile(dir.filePath("probe")).open(QIODevice::WriteOnly); }), 1);
        EXPECT_EQ(asUser([&] { return qv::writeFileAtomically(path, bytes); }), c.saved ? 0 : 1);

        EXPECT_EQ(readAll(path), c.saved ? bytes : c.old ? QByteArray(c.old) : QByteArray("<missing>"));
        EXPECT_EQ(filesIn(dir.path()), c.old ? QStringList{"config.ini"} : QStringList{});
        ::chmod(QFile::encodeName(dir.path()).constData(), 0700);
    }
}

TEST(ConfigFile, ASymbolicLinkStaysAndTheFileItLeadsToIsReplaced) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> links;  // link name in the folder, target
    } cases[] = {
        {"relative link into a subfolder", {{"config.ini", "data/real.ini"}}},
        {"absolute link", {{"config.ini", "<abs>data/real.ini"}}},
        {"link to a link", {{"config.ini", "middle.ini"}, {"middle.ini", "data/real.ini"}}},
    };
    namespace fs = std::filesystem;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const fs::path root = dir.path().toStdString();
        fs::create_directory(root / "data");
        {
            QFile real(dir.filePath("data/real.ini"));
            ASSERT_TRUE(real.open(QIODevice::WriteOnly));
            real.write("old\n");
        }
        for (const auto& link : c.links) {
            std::string target = link.second;
            if (target.rfind("<abs>", 0) == 0)
                target = (root / target.substr(5)).string();
            fs::create_symlink(target, root / link.first);
        }
        ASSERT_TRUE(qv::writeFileAtomically(dir.filePath("config.ini"), "new content\n"));
        for (const auto& link : c.links) {
            EXPECT_TRUE(fs::is_symlink(root / link.first)) << link.first;
        }
        EXPECT_EQ(readAll(dir.filePath("data/real.ini")), QByteArray("new content\n"));
        EXPECT_EQ(filesIn(dir.filePath("data")), QStringList{"real.ini"});
        EXPECT_EQ(filesIn(dir.path()).size(), int(c.links.size())) << "no temporary file is left";
    }
}

TEST(ConfigFile, TemporaryFilesOfEndedSavesAreRemovedByTheNextSave) {
    // A process that has ended: its pid is free (and not reused within this test).
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0)
        ::_exit(0);
    ::waitpid(ended, nullptr, 0);
    const QString deadPid = QString::number(ended);
    const QString livePid = QString::number(::getppid());

    QTemporaryDir dir;
    const QStringList left = {"config.ini." + deadPid + ".tmp", "config.ini." + livePid + ".tmp",
                              "other.ini." + deadPid + ".tmp", "config.ini.tmp",
                              "config.ini.x" + deadPid + ".tmp"};
    for (const QString& name : left) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("UPBOOT:0\n");
    }
    ASSERT_TRUE(qv::writeFileAtomically(dir.filePath("config.ini"), "saved\n"));
    EXPECT_EQ(readAll(dir.filePath("config.ini")), QByteArray("saved\n"));
    QStringList expected = {"config.ini", "config.ini." + livePid + ".tmp", "other.ini." + deadPid + ".tmp",
                            "config.ini.tmp", "config.ini.x" + deadPid + ".tmp"};
    expected.sort();
    QStringList files = filesIn(dir.path());
    files.sort();
    EXPECT_EQ(files, expected) << "only the leftover of the ended save goes; a running process may be saving";
}

#endif  // the tests above need POSIX processes, permissions and links
}  // namespace
