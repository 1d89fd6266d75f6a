// config.ini on Windows: CR LF lines written at exit and read back at start, and the replacing
// rename (MoveFileExW) that puts a new config.ini in place of the old one.

#include "WindowsTestSupport.h"

#include "app/Settings.h"

#include <QCheckBox>
#include <QDir>

using namespace wintest;

namespace {

class ConfigFileOnWindows : public WindowFixture {};

TEST_F(ConfigFileOnWindows, TheExitWritesCrLfLinesThatTheNextStartReadsBack) {
    writeConfig(crlf("UPBOOT:0\nNFLASH:0\n  C:\\fw\\app.bin  \nD:/ui/a.bin\n\\\\server\\share\\boot.bin\nWAITT:0\nPWROFF:1\n"));
    open();
    EXPECT_EQ(fieldText("lineEdit_MCU"), QStringLiteral("  C:\\fw\\app.bin  "));  // no '\r' kept
    EXPECT_EQ(fieldText("lineEdit_Flash"), QStringLiteral("D:/ui/a.bin"));
    EXPECT_EQ(fieldText("lineEdit_Boot"), QStringLiteral("\\\\server\\share\\boot.bin"));
    EXPECT_TRUE(child<QCheckBox>("checkBox_PwrOFF")->isChecked());
    closeWindow();

    const QByteArray expected = "UPBOOT:0\r\nNFLASH:0\r\nC:\\fw\\app.bin\r\nD:/ui/a.bin\r\n"
                                "\\\\server\\share\\boot.bin\r\nWAITT:0\r\nPWROFF:1\r\n";
    const QByteArray written = configOnDisk();
    EXPECT_EQ(written, expected);
    EXPECT_EQ(written.count("\r\n"), 7);
    EXPECT_EQ(written.count('\n'), 7) << "every line end is CR LF";

    // Read back: the same fields, and the next exit writes the same bytes.
    open();
    EXPECT_EQ(fieldText("lineEdit_MCU"), QStringLiteral("C:\\fw\\app.bin"));
    EXPECT_EQ(fieldText("lineEdit_Flash"), QStringLiteral("D:/ui/a.bin"));
    EXPECT_EQ(fieldText("lineEdit_Boot"), QStringLiteral("\\\\server\\share\\boot.bin"));
    EXPECT_TRUE(child<QCheckBox>("checkBox_PwrOFF")->isChecked());
    EXPECT_FALSE(logLines().contains(QStringLiteral("Open config.ini fail")));
    closeWindow();
    EXPECT_EQ(configOnDisk(), expected);
    EXPECT_TRUE(messages.isEmpty()) << messages.join(QLatin1Char(';')).toStdString();
}

TEST_F(ConfigFileOnWindows, AFileWithLfLinesIsReadAndRewrittenWithCrLf) {
    writeConfig("UPBOOT:0\nNFLASH:0\nC:\\m.bin\nC:\\u.diff\nC:\\b.bin\nWAITT:0\nPWROFF:0\n");
    open();
    EXPECT_EQ(fieldText("lineEdit_MCU"), QStringLiteral("C:\\m.bin"));
    EXPECT_EQ(fieldText("lineEdit_Boot"), QStringLiteral("C:\\b.bin"));
    closeWindow();
    EXPECT_EQ(configOnDisk(), crlf("UPBOOT:0\nNFLASH:0\nC:\\m.bin\nC:\\u.diff\nC:\\b.bin\nWAITT:0\nPWROFF:0\n"));
}

TEST_F(ConfigFileOnWindows, WithoutAFileTheExitWritesTheDefaultsWithCrLf) {
    open();
    EXPECT_TRUE(logLines().contains(QStringLiteral("Open config.ini fail")));
    closeWindow();
    EXPECT_EQ(configOnDisk(), QByteArray("UPBOOT:0\r\nNFLASH:0\r\n./\r\n./\r\n\r\nWAITT:0\r\nPWROFF:0\r\n"));
}

// --- the replacing rename -----------------------------------------------------------------------

// The file's identity on its volume: a rename over the old file gives the new file's, a copy into
// the old file would keep the old one.
ULONGLONG fileIndex(const QString& path) {
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    HANDLE h = ::CreateFileW(native.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
    return ok ? (ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow : 0;
}

QStringList filesIn(const QTemporaryDir& dir) {
    return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

TEST_F(ConfigFileOnWindows, ASaveReplacesTheExistingFileByRenameAndLeavesNoTemporaryFile) {
    ASSERT_TRUE(qv::writeFileAtomically(configPath(), "old\r\n"));
    const ULONGLONG before = fileIndex(configPath());
    ASSERT_NE(before, 0u);
    ASSERT_TRUE(qv::writeFileAtomically(configPath(), "new content\r\n"));
    EXPECT_EQ(configOnDisk(), QByteArray("new content\r\n"));
    EXPECT_NE(fileIndex(configPath()), before) << "the new file was renamed over the old one";
    EXPECT_EQ(filesIn(workDir), QStringList{QStringLiteral("config.ini")});
}

TEST_F(ConfigFileOnWindows, AFolderWithNonAsciiCharactersTakesTheSaveToo) {
    // Paths reach Windows as UTF-16, whatever the code page.
    // 配置-Prüfung
    const QString folder = workDir.filePath(fromCodePoints({0x914D, 0x7F6E, U'-', U'P', U'r', 0xFC, U'f', U'u', U'n', U'g'}));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/config.ini");
    ASSERT_TRUE(qv::writeFileAtomically(path, "one\r\n"));
    ASSERT_TRUE(qv::writeFileAtomically(path, "two\r\n"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("two\r\n"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("config.ini")});
}

TEST_F(ConfigFileOnWindows, AFileHeldOpenWithoutDeleteSharingIsLeftIntactAndTheSaveFails) {
    ASSERT_TRUE(qv::writeFileAtomically(configPath(), "kept\r\n"));
    const std::wstring native = QDir::toNativeSeparators(configPath()).toStdWString();
    HANDLE holder = ::CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const bool replaced = qv::writeFileAtomically(configPath(), "lost\r\n");
    ::CloseHandle(holder);
    EXPECT_FALSE(replaced);
    EXPECT_EQ(configOnDisk(), QByteArray("kept\r\n"));
    EXPECT_EQ(filesIn(workDir), QStringList{QStringLiteral("config.ini")}) << "the temporary file is removed";
}

// Wine says it is Wine through an export of its ntdll that Windows' ntdll does not have.
bool underWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Whether the system refuses MoveFileExW(..., MOVEFILE_REPLACE_EXISTING) over a read-only file,
// as Windows does (ERROR_ACCESS_DENIED). Wine 8 replaces the file all the same, as root and as
// an ordinary user alike.
bool systemRefusesToReplaceReadOnlyFiles(const QTemporaryDir& dir) {
    const std::wstring target = QDir::toNativeSeparators(dir.filePath(QStringLiteral("probe.ini"))).toStdWString();
    const std::wstring source = QDir::toNativeSeparators(dir.filePath(QStringLiteral("probe.new"))).toStdWString();
    for (const std::wstring* name : {&target, &source}) {
        HANDLE h = ::CreateFileW(name->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return true;
        ::CloseHandle(h);
    }
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    const bool refused = !::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(target.c_str());
    ::DeleteFileW(source.c_str());
    return refused;
}

TEST_F(ConfigFileOnWindows, AReadOnlyFileIsLeftIntactAndTheWindowSaysSo) {
    // The save leaves a read-only config.ini alone because Windows refuses to rename over it. A
    // Wine that replaces it cannot show this; on Windows itself the check always runs.
    {
        QTemporaryDir probe;
        ASSERT_TRUE(probe.isValid());
        if (underWine() && !systemRefusesToReplaceReadOnlyFiles(probe)) {
            GTEST_SKIP() << "this Wine replaces a read-only file with MoveFileExW(MOVEFILE_REPLACE_EXISTING), "
                            "where Windows refuses with ERROR_ACCESS_DENIED; the check needs Windows "
                            "(or a Wine that refuses)";
        }
    }
    writeConfig(crlf("UPBOOT:0\nNFLASH:0\nC:\\keep.bin\n"));
    const std::wstring native = QDir::toNativeSeparators(configPath()).toStdWString();
    ASSERT_TRUE(::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_READONLY));
    open();
    closeWindow();
    ::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(configOnDisk(), crlf("UPBOOT:0\nNFLASH:0\nC:\\keep.bin\n"));
    EXPECT_EQ(messages, QStringList{QStringLiteral("Message|") + openFileFailed()});
    EXPECT_EQ(filesIn(workDir), QStringList{QStringLiteral("config.ini")});
}

}  // namespace
