// The window on one display setting: this program is run once for each DPI and scale factor
// (tests/app/CMakeLists.txt), because Qt fixes them when the application object is made.
//
//   qv_app_window_dpi_tests --font-dpi=144 [--scale=1.25] [--fontconfig=FILE --expect-family=NAME]
//       [gtest options]
//   qv_app_window_dpi_tests -platform windows --display-dpi=144
//
// --font-dpi is the display's DPI (QT_FONT_DPI: what Windows' display scaling or X's Xft.dpi
// gives a program); --display-dpi the DPI a real display is set to (scripts/check-windows-zip.sh
// runs the window so under Wine); --scale a further factor on top (QT_SCALE_FACTOR);
// --fontconfig a fontconfig file that leaves the window only some of the machine's fonts
// (FONTCONFIG_FILE); --expect-family the family those fonts must give the window's panels.
#include "app/DisplayScaling.h"
#include "app/MainWindow.h"
#include "support/TestEnvironment.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextDocumentFragment>

#include <cstdlib>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

namespace {

int fontDpi = 96;
double extraScale = 1.0;
QString expectedFamily;  // of the panels' font, when the run names it

// What a text needs and what its widget gives it, in the widget's own (logical) pixels.
struct Room {
    QSize needed;
    QSize given;
};

QSize textSize(const QFontMetrics& metrics, const QString& text) {
    // Labels may hold rich text; their words are what must fit.
    const QString plain = Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
    return metrics.boundingRect(QRect(), Qt::TextShowMnemonic, plain).size();
}

// The room of a label, push button or check box, measured with the widget's font and its style's
// own contents rectangle; false for any other widget.
bool roomOf(QWidget* widget, Room& room) {
    QStyle* style = widget->style();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        room.needed = textSize(label->fontMetrics(), label->text());
        const int margin = label->margin();
        room.given = label->contentsRect().adjusted(margin, margin, -margin, -margin).size();
        return true;
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        if (button->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
        // Text that runs up to the frame reads as cut: the style's button margin belongs to it.
        const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        room.needed = textSize(button->fontMetrics(), button->text()) + QSize(margin, 0);
        room.given = style->subElementRect(QStyle::SE_PushButtonContents, &option, button).size();
        return true;
    }
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(box);
        option.text = box->text();
        room.needed = textSize(box->fontMetrics(), box->text());
        room.given = style->subElementRect(QStyle::SE_CheckBoxContents, &option, box).size();
        return true;
    }
    return false;
}

// Every label, button and check box of the window whose text does not fit, one line each.
QStringList cutTexts(QWidget& window) {
    QStringList cut;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        Room room;
        if (!widget->isVisibleTo(&window) || !roomOf(widget, room)) continue;
        if (room.needed.width() > room.given.width() || room.needed.height() > room.given.height()) {
            const QString text = qobject_cast<QAbstractButton*>(widget) ? qobject_cast<QAbstractButton*>(widget)->text()
                                                                        : qobject_cast<QLabel*>(widget)->text();
            cut << QStringLiteral("%1 \"%2\" needs %3x%4, has %5x%6 (%7 %8 pt)")
                       .arg(widget->objectName(), text)
                       .arg(room.needed.width())
                       .arg(room.needed.height())
                       .arg(room.given.width())
                       .arg(room.given.height())
                       .arg(QFontInfo(widget->font()).family())
                       .arg(widget->font().pointSizeF());
        }
    }
    return cut;
}

class WindowDpiTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousDirectory = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(workDir.path()));  // config.ini is written there at exit
        window = std::make_unique<MainWindow>();
        window->setMessageHook([](const QString&, const QString&) {});
        window->show();
        QApplication::processEvents();
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(previousDirectory);
    }

    QTemporaryDir workDir;
    QString previousDirectory;
    std::unique_ptr<MainWindow> window;
};

TEST_F(WindowDpiTest, TheWindowGrowsWithTheDisplayAndKeepsItsLayout) {
    const double factor = fontDpi / 96.0 * extraScale;
    SCOPED_TRACE(QStringLiteral("display %1 DPI, scale %2").arg(fontDpi).arg(extraScale).toStdString());
    // Laid out as at 96 DPI, in the same logical pixels...
    EXPECT_EQ(window->logicalDpiX(), 96);
    EXPECT_EQ(window->size(), QSize(960, 660));
    // ...and drawn that much larger, fractional factors included.
    EXPECT_NEAR(window->devicePixelRatioF(), factor, 1e-6);
}

TEST_F(WindowDpiTest, EveryTextFitsItsWidget) {
    const QString family = QFontInfo(window->findChild<QGroupBox*>(QStringLiteral("groupBox_2"))->font()).family();
    if (!expectedFamily.isEmpty()) {
        ASSERT_EQ(family, expectedFamily) << "the run's fonts are not the ones it is for";
    }
    const QStringList cut = cutTexts(*window);
    EXPECT_TRUE(cut.isEmpty()) << "display " << fontDpi << " DPI, scale " << extraScale << ", panels in "
                               << qPrintable(family) << ":\n  " << qPrintable(cut.join(QStringLiteral("\n  ")));
}

// Takes --NAME=VALUE out of argv; the value or nullptr.
const char* takeOption(int& argc, char** argv, const char* name) {
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
            const char* value = argv[i] + length + 1;
            for (int j = i; j < argc; ++j) argv[j] = argv[j + 1];
            --argc;
            return value;
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    // --font-dpi stands for a display's DPI on the offscreen platform; without it, 96 (that
    // platform's own 100 DPI is no display people have). On a real platform --display-dpi says
    // what the display is set to, and the platform reports it itself.
    if (const char* dpi = takeOption(argc, argv, "--display-dpi")) {
        fontDpi = std::atoi(dpi);
    } else {
        if (const char* dpi = takeOption(argc, argv, "--font-dpi")) fontDpi = std::atoi(dpi);
        qputenv("QT_FONT_DPI", QByteArray::number(fontDpi));
    }
    if (const char* scale = takeOption(argc, argv, "--scale")) {
        extraScale = std::atof(scale);
        qputenv("QT_SCALE_FACTOR", scale);
    }
    if (const char* file = takeOption(argc, argv, "--fontconfig")) qputenv("FONTCONFIG_FILE", file);
    if (const char* family = takeOption(argc, argv, "--expect-family")) expectedFamily = QString::fromUtf8(family);
    qvtest::useFreshRuntimeDirectory();
    qvtest::setQtVariablesForWindows();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qv::enableDisplayScaling();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
