#pragma once
// Helpers of the Windows-only tests.

#include "app/MainWindow.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <QTextEdit>
#include <QTemporaryDir>
#include <QVector>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace wintest {

// A text from its code points, so that the expectation does not depend on how the compiler read
// this source file.
inline QString fromCodePoints(std::initializer_list<char32_t> codePoints) {
    QVector<uint> points;
    for (char32_t c : codePoints) points << uint(c);
    return QString::fromUcs4(points.constData(), points.size());
}

// "打开文件失败" ("opening the file failed"), the message of a failed config.ini save.
inline QString openFileFailed() { return fromCodePoints({0x6253, 0x5F00, 0x6587, 0x4EF6, 0x5931, 0x8D25}); }

// "微软雅黑" (Microsoft YaHei), the window's font family.
inline QString microsoftYaHei() { return fromCodePoints({0x5FAE, 0x8F6F, 0x96C5, 0x9ED1}); }

// The ANSI code page conversions of Windows itself (MultiByteToWideChar, WideCharToMultiByte), to
// compare the tool's "local 8-bit" texts with.
inline QString fromAnsiCodePage(const QByteArray& bytes) {
    if (bytes.isEmpty()) return QString();
    const int length = ::MultiByteToWideChar(CP_ACP, 0, bytes.constData(), bytes.size(), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes.constData(), bytes.size(), wide.data(), length);
    return QString::fromStdWString(wide);
}

inline QByteArray toAnsiCodePage(const QString& text, bool* lossless = nullptr) {
    if (lossless) *lossless = true;
    if (text.isEmpty()) return QByteArray();
    const std::wstring wide = text.toStdWString();
    BOOL usedDefault = FALSE;
    const int length = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    QByteArray bytes(length, '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), bytes.data(), length, nullptr,
                          lossless ? &usedDefault : nullptr);
    if (lossless) *lossless = !usedDefault && fromAnsiCodePage(bytes) == text;
    return bytes;
}

// config.ini's bytes with Windows line ends.
inline QByteArray crlf(QByteArray text) {
    text.replace("\n", "\r\n");
    return text;
}

// The window with its native-event handler reachable, as Windows calls it.
class ProbeWindow : public MainWindow {
public:
    using MainWindow::nativeEvent;
};

// Each test runs in a fresh current directory, where the window reads and writes config.ini.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(workDir.isValid());
        previousDirectory = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(workDir.path()));
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(previousDirectory);
    }
    QString configPath() const { return workDir.filePath(QStringLiteral("config.ini")); }
    void writeConfig(const QByteArray& content) {
        QFile f(configPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(content), content.size());
    }
    QByteArray configOnDisk() const {
        QFile f(configPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    ProbeWindow& open(bool hookMessages = true) {
        window = std::make_unique<ProbeWindow>();
        if (hookMessages) {
            window->setMessageHook([this](const QString& title, const QString& text) {
                messages << title + QStringLiteral("|") + text;
            });
        }
        return *window;
    }
    // Closes the window: its destructor writes config.ini.
    void closeWindow() { window.reset(); }
    template <typename T>
    T* child(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString fieldText(const char* name) {
        auto* field = child<QLineEdit>(name);
        return field ? field->text() : QStringLiteral("<no field>");
    }
    QStringList logLines() {
        auto* log = child<QTextEdit>("textEdit");
        return log ? log->toPlainText().split(QLatin1Char('\n')) : QStringList();
    }

    QTemporaryDir workDir;
    QString previousDirectory;
    std::unique_ptr<ProbeWindow> window;
    QStringList messages;
};

}  // namespace wintest
