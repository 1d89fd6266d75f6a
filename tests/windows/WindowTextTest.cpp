// The non-ASCII texts of the running Windows program, compared with texts made from code points
// (not with literals of this file, which the compiler reads the same way as the program's).

#include "WindowsTestSupport.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

using namespace wintest;

namespace {

class TextsOnWindows : public WindowFixture {};

struct SeenBox {
    bool seen = false;
    QString title, text, label;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Watches for the modal message box, notes what it shows and presses its button.
QTimer* answerMessageBox(SeenBox& seen) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, &seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen.seen = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) seen.label = label->text();
        timer->stop();
        box->accept();
    });
    timer->start();
    return timer;
}

TEST_F(TextsOnWindows, AFailedSaveShowsTheChineseMessageInTheRealMessageBox) {
    open(/*hookMessages=*/false);
    ASSERT_TRUE(QDir(workDir.path()).mkdir(QStringLiteral("config.ini")));  // nothing can be written in its place
    SeenBox seen;
    std::unique_ptr<QTimer> watcher(answerMessageBox(seen));
    closeWindow();  // the save at exit fails and shows the box
    ASSERT_TRUE(seen.seen) << "no message box was shown";
    EXPECT_EQ(seen.title, QStringLiteral("Message"));
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.text, openFileFailed());
    EXPECT_EQ(seen.label, openFileFailed());
    EXPECT_EQ(seen.text.toUtf8(), QByteArray("\xE6\x89\x93\xE5\xBC\x80\xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xB1\xE8\xB4\xA5"));
}

TEST_F(TextsOnWindows, TheWindowAsksForItsChineseFontFamily) {
    ProbeWindow& w = open();
    EXPECT_EQ(w.font().family(), microsoftYaHei());
    EXPECT_EQ(w.windowTitle(), QStringLiteral("QV310_SWD_ISP_V1.2C"));
}

TEST_F(TextsOnWindows, TheTestFontsCanDrawChinese) {
    if (!qEnvironmentVariableIsSet("QV_TEST_FONTDIR")) GTEST_SKIP() << "no test font folder given";
    // The offscreen platform draws only with the fonts of QT_QPA_FONTDIR: without a CJK font there
    // the message would show as boxes.
    const QStringList chinese = QFontDatabase().families(QFontDatabase::SimplifiedChinese);
    EXPECT_FALSE(chinese.isEmpty()) << QFontDatabase().families().join(QLatin1Char(',')).toStdString();
}

}  // namespace
