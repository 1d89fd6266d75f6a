#include "DisplayRun.h"

#include "CaseTimeLimit.h"
#include "TestEnvironment.h"
#include "qtsupport/DisplayScaling.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextDocument>
#include <QTextDocumentFragment>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace qvtest {

namespace {

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

// What a text needs and what its widget gives it, in the widget's own (logical) pixels.
struct Room {
    QSize needed;
    QSize given;
};

QString plainText(const QString& text) {
    // Labels may hold rich text; their words are what must fit.
    return Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

QSize textSize(const QFontMetrics& metrics, const QString& text) {
    return metrics.boundingRect(QRect(), Qt::TextShowMnemonic, plainText(text)).size();
}

// The room of a label, push button or check box, measured with the widget's font and its style's
// own contents rectangle; false for any other widget.
bool roomOf(QWidget* widget, Room& room) {
    QStyle* style = widget->style();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        const int margin = label->margin();
        room.given = label->contentsRect().adjusted(margin, margin, -margin, -margin).size();
        if (label->wordWrap()) {
            // A wrapping label needs the height of its lines at its own width; a word wider than
            // that still overflows in width.
            const QRect bounds(0, 0, room.given.width(), 1 << 20);
            room.needed = label->fontMetrics()
                              .boundingRect(bounds, Qt::TextWordWrap | Qt::TextShowMnemonic, plainText(label->text()))
                              .size();
        } else {
            room.needed = textSize(label->fontMetrics(), label->text());
        }
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

DisplayRun takeDisplayRunOptions(int& argc, char** argv) {
    DisplayRun run;
    // --font-dpi stands for a display's DPI on the offscreen platform; without it, 96 (that
    // platform's own 100 DPI is no display people have). On a real platform --display-dpi says
    // what the display is set to, and the platform reports it itself.
    if (const char* dpi = takeOption(argc, argv, "--display-dpi")) {
        run.fontDpi = std::atoi(dpi);
    } else {
        if (const char* dpi = takeOption(argc, argv, "--font-dpi")) run.fontDpi = std::atoi(dpi);
        qputenv("QT_FONT_DPI", QByteArray::number(run.fontDpi));
    }
    if (const char* scale = takeOption(argc, argv, "--scale")) {
        run.extraScale = std::atof(scale);
        qputenv("QT_SCALE_FACTOR", scale);
    }
    if (const char* file = takeOption(argc, argv, "--fontconfig")) qputenv("FONTCONFIG_FILE", file);
    if (const char* family = takeOption(argc, argv, "--expect-family"))
        run.expectedFamily = QString::fromUtf8(family);
    return run;
}

}  // namespace

QString DisplayRun::describe() const {
    return QStringLiteral("display %1 DPI, scale %2").arg(fontDpi).arg(extraScale);
}

int runTestsOnDisplay(int argc, char** argv, DisplayRun& display) {
    display = takeDisplayRunOptions(argc, argv);
    useFreshRuntimeDirectory();
    setQtVariablesForWindows();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qv::enableDisplayScaling();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    qvtest::limitCaseTime();
    return RUN_ALL_TESTS();
}

void settleLayouts(QWidget& window) {
    // A layout that changes asks its parent's layout to follow with a request of its own, posted
    // while the first is handled and so sent in the next round: one round per level of the tree.
    int depth = 0;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        int level = 0;
        for (QWidget* w = widget; w && w != &window; w = w->parentWidget()) ++level;
        depth = std::max(depth, level);
    }
    for (int round = 0; round <= depth; ++round)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
}

QStringList cutTexts(QWidget& window) {
    settleLayouts(window);
    QStringList cut;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        Room room;
        if (!widget->isVisibleTo(&window) || !roomOf(widget, room)) continue;
        if (room.needed.width() == 0) continue;  // no text, nothing to cut
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

}  // namespace qvtest
