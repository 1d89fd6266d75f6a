// Bad input: paths with non-ASCII characters in config.ini. The window reads and writes
// config.ini in the local 8-bit encoding, which on Windows is the ANSI code page (1252 on a
// Western European Windows, 936 (GBK) on a Simplified Chinese one). What the code page can hold
// survives a run of the tool; what it cannot hold comes back as '?'; nothing crashes.
// The expectations are Windows' own conversions (MultiByteToWideChar / WideCharToMultiByte).

#include "WindowsTestSupport.h"

#include <QFileInfo>
#include <QPushButton>

#include <cstdlib>
#include <iostream>

using namespace wintest;

namespace {

class LocalCodePage : public WindowFixture {
protected:
    // The seven lines with `pathLine` as the MCU code path, CR LF.
    static QByteArray configWithMcuPath(const QByteArray& pathLine) {
        return QByteArray("UPBOOT:0\r\nNFLASH:0\r\n") + pathLine + "\r\n./\r\n\r\nWAITT:0\r\nPWROFF:0\r\n";
    }
    // Line 3 of what is on disk.
    QByteArray savedMcuPathLine() const {
        const QList<QByteArray> lines = configOnDisk().split('\n');
        return lines.size() > 2 ? QByteArray(lines[2]).replace("\r", "") : QByteArray("<no line 3>");
    }
    void createFile(const QString& path, const QByteArray& content) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath())) << path.toStdString();
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
        f.write(content);
    }
};

template <size_t N>
QByteArray bytesOf(const char (&literal)[N]) {
    return QByteArray(literal, int(N - 1));
}

// Folder names to try: Latin-1 (Prüfung), Chinese (固件, "firmware"), Greek (Ωmega) and Thai (ก),
// which no code page of the two holds.
QStringList candidateNames() {
    return {fromCodePoints({U'P', U'r', 0xFC, U'f', U'u', U'n', U'g'}), fromCodePoints({0x56FA, 0x4EF6}),
            fromCodePoints({0x3A9, U'm', U'e', U'g', U'a'}), fromCodePoints({0x0E01})};
}

TEST_F(LocalCodePage, TheCodePageIsTheOneThisRunIsFor) {
    const UINT acp = ::GetACP();
    std::cout << "ANSI code page: " << acp << "\n";
    for (const QString& name : candidateNames()) {
        bool lossless = false;
        toAnsiCodePage(name, &lossless);
        std::cout << "  " << name.toUtf8().constData() << (lossless ? ": held" : ": not held (becomes '?')") << "\n";
    }
    const QByteArray expected = qgetenv("QV_TEST_EXPECT_ACP");
    if (!expected.isEmpty()) {
        EXPECT_EQ(acp, UINT(expected.toUInt()));
    }
}

TEST_F(LocalCodePage, APathTheCodePageHoldsSurvivesTheRunAndNamesTheRealFile) {
    QString folder;
    for (const QString& name : candidateNames()) {
        bool lossless = false;
        toAnsiCodePage(name, &lossless);
        if (lossless) folder += name + QLatin1Char('-');
    }
    ASSERT_FALSE(folder.isEmpty()) << "the code page holds none of the names";
    const QString path = QDir::toNativeSeparators(workDir.filePath(folder + QStringLiteral("/app.bin")));
    createFile(path, QByteArray(64, '\x5a'));
    bool lossless = false;
    const QByteArray line = toAnsiCodePage(path, &lossless);
    ASSERT_TRUE(lossless);
    writeConfig(configWithMcuPath(line));

    open();
    EXPECT_EQ(fieldText("lineEdit_MCU"), path);
    EXPECT_TRUE(QFileInfo::exists(fieldText("lineEdit_MCU"))) << "the path read back names the file";
    closeWindow();
    EXPECT_EQ(savedMcuPathLine(), line) << "the same bytes are written back";
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(LocalCodePage, UtfEightBytesAreReadAsTheCodePageSaysAndWrittenBackAsTheyCameIn) {
    // A config.ini saved as UTF-8 without a byte order mark (as Notepad does since Windows 10 1903).
    const QString intended = QStringLiteral("C:\\") + fromCodePoints({0x56FA, 0x4EF6}) + QStringLiteral("\\") +
                             fromCodePoints({U'P', U'r', 0xFC, U'f', U'u', U'n', U'g'}) + QStringLiteral(".bin");
    const QByteArray utf8 = intended.toUtf8();
    writeConfig(configWithMcuPath(utf8));
    open();
    const QString shown = fieldText("lineEdit_MCU");
    EXPECT_EQ(shown, fromAnsiCodePage(utf8)) << "the bytes are decoded in the ANSI code page";
    if (::GetACP() != CP_UTF8) {
        EXPECT_NE(shown, intended);
    }
    closeWindow();
    bool lossless = false;
    const QByteArray expected = toAnsiCodePage(fromAnsiCodePage(utf8), &lossless);
    EXPECT_EQ(savedMcuPathLine(), expected);
    std::cout << "UTF-8 path bytes " << (savedMcuPathLine() == utf8 ? "survive" : "do not survive")
              << " a run under code page " << ::GetACP() << "\n";
}

TEST_F(LocalCodePage, AUtf16FileWithItsByteOrderMarkIsReadAsUnicodeAndWrittenInTheCodePage) {
    // Notepad's "Unicode": UTF-16LE with FF FE first. Qt's text stream recognises the mark.
    const QString intended = QStringLiteral("C:\\") + fromCodePoints({0x56FA, 0x4EF6}) + QStringLiteral("\\a.bin");
    const QString text = QStringLiteral("UPBOOT:0\r\nNFLASH:0\r\n") + intended + QStringLiteral("\r\n./\r\n\r\nWAITT:0\r\nPWROFF:1\r\n");
    QByteArray bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    writeConfig(bytes);
    open();
    EXPECT_EQ(fieldText("lineEdit_MCU"), intended);
    closeWindow();
    bool lossless = false;
    const QByteArray expected = toAnsiCodePage(intended, &lossless);
    EXPECT_EQ(savedMcuPathLine(), expected);
    EXPECT_EQ(lossless, savedMcuPathLine().indexOf('?') < 0);
    EXPECT_TRUE(configOnDisk().endsWith("PWROFF:1\r\n"));
}

TEST_F(LocalCodePage, APathTheCodePageCannotHoldComesBackWithQuestionMarks) {
    // Chosen in the file dialog: Thai and Greek names, held by neither 1252 nor (for Thai) 936.
    const QString folder = fromCodePoints({0x0E01, 0x0E02}) + QStringLiteral("-") + fromCodePoints({0x3A9});
    const QString path = QDir::toNativeSeparators(workDir.filePath(folder + QStringLiteral("/mcu.bin")));
    createFile(path, QByteArray(256, '\x11'));
    bool lossless = true;
    const QByteArray expected = toAnsiCodePage(path, &lossless);
    ASSERT_FALSE(lossless) << "the path was meant to fall outside the code page";

    open();
    window->setFileDialogHook([&](const QString&, const QString&, const QString&) { return path; });
    child<QPushButton>("pushButton_InputMCUCode")->click();
    EXPECT_EQ(fieldText("lineEdit_MCU"), path);
    EXPECT_TRUE(messages.isEmpty()) << "the file itself opens: " << messages.join(QLatin1Char(';')).toStdString();
    closeWindow();
    const QByteArray saved = savedMcuPathLine();
    EXPECT_EQ(saved, expected);
    EXPECT_GE(saved.count('?'), 2);

    // The next run shows the damaged path; the file is not found under it, and nothing crashes.
    messages.clear();
    open();
    const QString shown = fieldText("lineEdit_MCU");
    EXPECT_EQ(shown, fromAnsiCodePage(saved));
    EXPECT_FALSE(QFileInfo::exists(shown));
    closeWindow();
    EXPECT_EQ(savedMcuPathLine(), saved) << "it stays as it is from then on";
}

TEST_F(LocalCodePage, BytesThatAreNoTextInAnyCodePageDoNotCrashTheWindow) {
    const QByteArray cases[] = {
        bytesOf("UPBOOT:0\r\nNFLASH:0\r\nC:\\a\0b\\c.bin\r\n"),                  // a NUL in the path
        QByteArray("UPBOOT:0\r\nNFLASH:0\r\n\xFF\xFE\xFD\x80\x81\r\n\x81\r\n\x81"),  // lone lead bytes, one at the very end
        QByteArray("\xEF\xBB\xBFUPBOOT:1\r\nNFLASH:0\r\n\xE5\x9B\xBA\r\n"),           // UTF-8 byte order mark
        QByteArray("UPBOOT:0\r\nNFLASH:0\r\n") + QByteArray(200000, '\xA4') + "\r\n",  // a 200 000-byte line
        QByteArray("\r\r\r\n\n\r\n\x1A\x1A\r\n"),                                      // stray CRs, DOS end-of-file marks
    };
    for (const QByteArray& content : cases) {
        SCOPED_TRACE(content.left(40).toHex().toStdString());
        writeConfig(content);
        open();
        const QString shown = fieldText("lineEdit_MCU");
        closeWindow();
        const QByteArray saved = configOnDisk();
        EXPECT_TRUE(saved.startsWith("UPBOOT:0\r\nNFLASH:0\r\n")) << "the save still happens";
        EXPECT_TRUE(saved.endsWith("WAITT:0\r\nPWROFF:0\r\n"));
        EXPECT_EQ(saved.count("\r\n"), 7);
        EXPECT_LE(shown.size(), 200000);
    }
    EXPECT_TRUE(messages.isEmpty());
}

}  // namespace
