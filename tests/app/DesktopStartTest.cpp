#include "app/DesktopStart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

TEST(DesktopStart, WorkFolderFollowsXdgDataHomeOnlyWhenItIsAbsolute) {
    struct Case {
        const char* xdgDataHome;
        const char* expected;
    } cases[] = {
        {"/data/u1", "/data/u1/qv310-isp"},
        {"/data/u1/", "/data/u1/qv310-isp"},
        {"", "/home/u1/.local/share/qv310-isp"},
        {"relative/data", "/home/u1/.local/share/qv310-isp"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qv::workFolderPath(QString::fromUtf8(c.xdgDataHome), QStringLiteral("/home/u1")),
                  QString::fromUtf8(c.expected))
            << c.xdgDataHome;
    }
}

TEST(DesktopStart, FirstStartCreatesTheFolderAndCopiesTheCatalogueLaterStartsKeepTheUsersOwn) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString shipped = dir.filePath(QStringLiteral("Flash.ini"));
    ASSERT_TRUE(writeFile(shipped, "[FLASH]\n0x1C4016,512,4096,CHIP16M,\n"));
    const QString folder = dir.filePath(QStringLiteral("data/deeper/qv310-isp"));

    qv::WorkFolder first = qv::prepareWorkFolder(folder, shipped);
    EXPECT_TRUE(first.usable) << first.problem.toStdString();
    EXPECT_TRUE(first.logLine.isEmpty()) << first.logLine.toStdString();
    EXPECT_EQ(readAll(folder + QStringLiteral("/Flash.ini")), readAll(shipped));
    // Nothing but the catalogue is left behind: no scratch file, no temporary copy.
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Flash.ini")});

    ASSERT_TRUE(writeFile(folder + QStringLiteral("/Flash.ini"), "0x1C4099,1,1,MINE,\n"));
    qv::WorkFolder second = qv::prepareWorkFolder(folder, shipped);
    EXPECT_TRUE(second.usable);
    EXPECT_EQ(readAll(folder + QStringLiteral("/Flash.ini")), QByteArray("0x1C4099,1,1,MINE,\n"));
}

TEST(DesktopStart, MissingShippedCatalogueIsOneLogLineAndTheToolStillStarts) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("qv310-isp"));
    const QString shipped = dir.filePath(QStringLiteral("missing/Flash.ini"));

    qv::WorkFolder work = qv::prepareWorkFolder(folder, shipped);
    EXPECT_TRUE(work.usable);
    EXPECT_TRUE(work.problem.isEmpty());
    EXPECT_TRUE(work.logLine.contains(shipped)) << work.logLine.toStdString();
    EXPECT_FALSE(work.logLine.contains(QLatin1Char('\n')));
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/Flash.ini")));
}

TEST(DesktopStart, FolderThatCannotBeCreatedIsAProblemNamingTheFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A regular file where a parent folder should be: creation fails for every user, root included.
    const QString blocker = dir.filePath(QStringLiteral("share"));
    ASSERT_TRUE(writeFile(blocker, "not a folder"));
    const QString shipped = dir.filePath(QStringLiteral("Flash.ini"));
    ASSERT_TRUE(writeFile(shipped, "0x1C4016,1,1,X,\n"));

    for (const QString& folder : {blocker + QStringLiteral("/qv310-isp"), blocker}) {
        qv::WorkFolder work = qv::prepareWorkFolder(folder, shipped);
        EXPECT_FALSE(work.usable) << folder.toStdString();
        EXPECT_TRUE(work.problem.contains(folder)) << work.problem.toStdString();
        EXPECT_TRUE(work.problem.contains(QStringLiteral("cannot be created"))) << work.problem.toStdString();
    }
}

}  // namespace
