#pragma once

#include "CommandLine.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

namespace qv::cli {

// A job file: the steps of one board in order, each image pinned by its SHA-256, and options
// that stand beside the steps.
struct Job {
    QVector<Step> steps;
    std::optional<int> speed;
    std::optional<bool> powerOff;
    QString flashIni;  // resolved against the job's folder; empty when not given
    bool allowBootUpdate = false;
    std::optional<bool> skipUnchanged;
};

struct ParsedJob {
    bool ok = false;
    QString error;  // names the step or key at fault
    Job job;
};

// Reads a job file's text. Paths are resolved against jobFolder. Every step is one object with
// exactly one subcommand key naming its file, a "sha256" of 64 hex digits, and for program-mcu
// an optional "addr". Nothing is read from disk here.
ParsedJob parseJob(const QByteArray& text, const QString& jobFolder);

}  // namespace qv::cli
