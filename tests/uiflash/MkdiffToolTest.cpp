// qv310-mkdiff as a program: usage errors, I/O errors, and a file equal to the library's.

#include "uiflash/UiFormats.h"

#include "TestImages.h"

#include "support/ChildProcess.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace uitest;

namespace {

struct ToolRun {
    int exitCode;
    QString out, err;
};

ToolRun mkdiff(const QStringList& args) {
    QTemporaryDir outputs;
    std::vector<std::string> arguments;
    for (const QString& a : args)
        arguments.push_back(a.toStdString());
    qvtest::Child p;
    EXPECT_TRUE(p.start(QV_MKDIFF, arguments, QProcessEnvironment::systemEnvironment(),
                        outputs.filePath(QStringLiteral("out")).toStdString(),
                        outputs.filePath(QStringLiteral("err")).toStdString()));
    const int exitCode = p.wait(30000);
    return {exitCode, QString::fromLocal8Bit(QByteArray::fromStdString(p.out())),
            QString::fromLocal8Bit(QByteArray::fromStdString(p.err()))};
}

QString put(const QTemporaryDir& dir, const char* name, const Bytes& bytes) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    return path;
}

}  // namespace

TEST(MkdiffTool, UsageAndFileErrorsHaveTheirExitCodes) {
    QTemporaryDir dir;
    const QString oldPath = put(dir, "old.bin", pattern(100, 1));
    const QString newPath = put(dir, "new.bin", pattern(100, 2));
    const QString out = dir.filePath(QStringLiteral("out.diff"));
    const QString nowhere = dir.filePath(QStringLiteral("no/such/dir/out.diff"));
    struct Case {
        const char* name;
        QStringList args;
        int exitCode;
    } cases[] = {
        {"help", {"--help"}, 0},
        {"no arguments", {}, 2},
        {"two files", {oldPath, newPath}, 2},
        {"four files", {oldPath, newPath, out, out}, 2},
        {"unknown option", {oldPath, newPath, out, "--fast"}, 2},
        {"index without value", {oldPath, newPath, out, "--index"}, 2},
        {"index not a number", {oldPath, newPath, out, "--index", "12z"}, 2},
        {"index beyond 32 bits", {oldPath, newPath, out, "--index", "0x100000000"}, 2},
        {"negative index", {oldPath, newPath, out, "--index", "-1"}, 2},
        {"old image missing", {dir.filePath("none.bin"), newPath, out}, 1},
        {"new image missing", {oldPath, dir.filePath("none.bin"), out}, 1},
        {"output not writable", {oldPath, newPath, nowhere}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolRun r = mkdiff(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err.toStdString();
        if (c.exitCode == 0) {
            EXPECT_TRUE(r.out.contains(QStringLiteral("Usage: qv310-mkdiff")));
        } else {
            EXPECT_FALSE(r.err.isEmpty());
        }
    }
    EXPECT_FALSE(QFile::exists(out));
}

TEST(MkdiffTool, WritesWhatTheLibraryMakesAndSummarisesIt) {
    QTemporaryDir dir;
    const Bytes oldImage = pattern(20000, 1);
    Bytes newImage = oldImage;
    newImage[100] ^= 1;
    newImage[9000] ^= 1;
    const QString out = dir.filePath(QStringLiteral("out.diff"));
    const ToolRun r =
        mkdiff({put(dir, "old.bin", oldImage), put(dir, "new.bin", newImage), out, "--index", "0x2A"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("2 blocks, 8192 bytes of block data"))) << r.out.toStdString();
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray written = f.readAll();
    const Bytes expected = qv::makeDiffFile(oldImage, newImage, 0x2A);
    EXPECT_EQ(Bytes(written.begin(), written.end()), expected);
}
