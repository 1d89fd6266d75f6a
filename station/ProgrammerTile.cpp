#include "ProgrammerTile.h"

#include <QFont>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace qv::station {

namespace {

// How many of the failing operation's last lines the log view shows.
constexpr int kLogLinesShown = 12;
// What a tile keeps of a running operation's log.
constexpr int kLogLinesKept = 200;
// Every tile is as wide as this (logical pixels), or as the widest state word needs.
constexpr int kTileWidth = 360;
constexpr int kStatePadding = 12;

}  // namespace

void setLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleName(text);
}

QString wrappablePath(const QString& path) {
    QString shown;
    for (const QChar c : path) {
        shown += c;
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':'))
            shown += QChar(0x200B);
    }
    return shown;
}

ProgrammerTile::ProgrammerTile(const QString& device, int steps, QWidget* parent)
    : QFrame(parent), device_(device), steps_(std::max(steps, 1)) {
    setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(this);

    title_ = new QLabel(this);
    title_->setWordWrap(true);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    layout->addWidget(title_);
    setTitle(device);

    stateLabel_ = new QLabel(this);
    stateLabel_->setAlignment(Qt::AlignCenter);
    QFont big = stateLabel_->font();
    big.setPointSize(30);
    big.setBold(true);
    stateLabel_->setFont(big);
    stateLabel_->setAutoFillBackground(true);
    layout->addWidget(stateLabel_);
    // One width for every tile, so that a column is exactly a tile wide: the grid lays out each
    // row for the height the tiles' wrapped lines take at the column's width, and a tile narrower
    // than its column would wrap into more lines than its row has room for.
    int widestWord = 0;
    for (const char* word : {"READY", "RUNNING", "PASS", "FAIL"})
        widestWord = std::max(widestWord, QFontMetrics(big).horizontalAdvance(QLatin1String(word)));
    const QMargins margins = layout->contentsMargins();
    setFixedWidth(std::max(kTileWidth, widestWord + 2 * kStatePadding + margins.left() + margins.right() +
                                           2 * frameWidth()));

    bar_ = new QProgressBar(this);
    bar_->setRange(0, 100);
    bar_->setValue(0);
    bar_->setTextVisible(false);
    bar_->setAccessibleName(QStringLiteral("Progress"));
    layout->addWidget(bar_);

    board_ = new QLabel(this);
    layout->addWidget(board_);
    reason_ = new QLabel(this);
    reason_->setWordWrap(true);
    reason_->setStyleSheet(QStringLiteral("color: #b00020;"));
    reason_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(reason_);

    auto* buttons = new QHBoxLayout();
    start_ = new QPushButton(QStringLiteral("Start"), this);
    start_->setAccessibleName(start_->text());
    start_->setAccessibleDescription(QStringLiteral("Runs the job on %1").arg(device));
    logButton_ = new QPushButton(QStringLiteral("Log"), this);
    logButton_->setAccessibleName(logButton_->text());
    logButton_->setAccessibleDescription(QStringLiteral("Shows the last lines of the failed operation"));
    logButton_->setCheckable(true);
    logButton_->setEnabled(false);
    buttons->addWidget(start_);
    buttons->addWidget(logButton_);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    logView_ = new QPlainTextEdit(this);
    logView_->setReadOnly(true);
    logView_->setAccessibleName(QStringLiteral("Log"));
    logView_->setMaximumBlockCount(kLogLinesShown);
    logView_->setVisible(false);
    layout->addWidget(logView_);

    connect(start_, &QPushButton::clicked, this, [this] { emit startRequested(device_); });
    connect(logButton_, &QPushButton::toggled, this, &ProgrammerTile::showLog);
    setLabelText(board_, QStringLiteral("No board yet"));
    setLabelText(reason_, QString());
    setState(State::Ready);
}

QString ProgrammerTile::stateText() const {
    return stateLabel_->text();
}

QString ProgrammerTile::reason() const {
    return reason_->text();
}

QString ProgrammerTile::lastBoard() const {
    return board_->text();
}

QString ProgrammerTile::logText() const {
    return logView_->toPlainText();
}

void ProgrammerTile::setState(State state) {
    state_ = state;
    static const struct {
        const char* word;
        const char* background;
    } looks[] = {{"READY", "#d0d4d8"}, {"RUNNING", "#ffd54f"}, {"PASS", "#2e7d32"}, {"FAIL", "#c62828"}};
    const auto& look = looks[int(state)];
    setLabelText(stateLabel_, QString::fromLatin1(look.word));
    const bool dark = state == State::Pass || state == State::Fail;
    stateLabel_->setStyleSheet(QStringLiteral("background-color: %1; color: %2; padding: %3px;")
                                   .arg(QLatin1String(look.background),
                                        dark ? QStringLiteral("white") : QStringLiteral("black"))
                                   .arg(kStatePadding));
    start_->setEnabled(state != State::Running);
}

void ProgrammerTile::setTitle(const QString& title) {
    title_->setText(wrappablePath(title));
    // What a screen reader says: the text without the invisible break hints.
    title_->setAccessibleName(title);
    setAccessibleName(title);
}

void ProgrammerTile::setBoardId(uint32_t id) {
    setTitle(QStringLiteral("%1  board %2").arg(device_, engine::hex8(id)));
}

void ProgrammerTile::boardStarted(const QString& tag) {
    stepsDone_ = 0;
    operationLog_.clear();
    bar_->setValue(0);
    setLabelText(reason_, QString());
    setLabelText(board_, tag.isEmpty() ? QStringLiteral("Board without a tag") : QStringLiteral("Tag %1").arg(tag));
    logButton_->setChecked(false);
    logButton_->setEnabled(false);
    logView_->clear();
    setState(State::Running);
}

void ProgrammerTile::boardNotStarted() {
    setLabelText(board_, QStringLiteral("Board not started"));
    logButton_->setEnabled(!operationLog_.isEmpty());
    setState(State::Ready);
}

void ProgrammerTile::operationStarted(const QString& operation) {
    Q_UNUSED(operation);
    operationLog_.clear();
}

void ProgrammerTile::logLine(const QString& line) {
    operationLog_ << line;
    if (operationLog_.size() > kLogLinesKept)
        operationLog_.removeFirst();
}

void ProgrammerTile::progress(int percent) {
    const int done = std::clamp(stepsDone_, 0, steps_ - 1);
    bar_->setValue((done * 100 + std::clamp(percent, 0, 100)) / steps_);
}

void ProgrammerTile::operationEnded(const engine::OperationResult& result) {
    // The bar stays where a failing operation left it.
    if (result.exitCode == engine::kExitOk) {
        ++stepsDone_;
        bar_->setValue(std::min(100, stepsDone_ * 100 / steps_));
    }
    if (result.board.connected)
        setBoardId(result.board.boardId);
    if (result.exitCode != engine::kExitOk && !result.log.isEmpty())
        operationLog_ = result.log;
}

void ProgrammerTile::boardEnded(const engine::BoardSummary& summary, const QString& tag) {
    if (summary.boardId)
        setBoardId(*summary.boardId);
    QStringList board;
    board << (summary.serials.isEmpty() ? QStringLiteral("no serial")
                                        : QStringLiteral("Serial %1").arg(summary.serials.join(QLatin1Char('/'))));
    board << (tag.isEmpty() ? QStringLiteral("no tag") : QStringLiteral("Tag %1").arg(tag));
    setLabelText(board_, board.join(QStringLiteral("  ")));
    if (summary.exitCode == engine::kExitOk) {
        bar_->setValue(100);
        setState(State::Pass);
        return;
    }
    // One line: the failing operation and why (a message may hold line breaks of its own).
    QString why = summary.what.simplified();
    if (why.isEmpty())
        why = QStringLiteral("failed");
    setLabelText(reason_, QStringLiteral("exit %1: %2").arg(summary.exitCode).arg(why));
    logView_->setPlainText(operationLog_.mid(std::max(0, int(operationLog_.size()) - kLogLinesShown)).join(QLatin1Char('\n')));
    logButton_->setEnabled(!operationLog_.isEmpty());
    setState(State::Fail);
}

void ProgrammerTile::showLog(bool shown) {
    logView_->setVisible(shown);
}

}  // namespace qv::station
