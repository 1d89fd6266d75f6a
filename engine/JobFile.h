#pragma once

#include "Steps.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

namespace qv::engine {

// A job file: the steps of one board in order, each image pinned by its SHA-256, and options
// that stand beside the steps.
struct Job {
    QVector<Step> steps;
    std::optional<int> speed;
    std::optional<bool> powerOff;
    QString flashIni;  // resolved against the job's folder; empty when not given
    // Says the job means to replace a boot loader; the command line's --allow-boot-update must
    // still allow it.
    bool allowBootUpdate = false;
    std::optional<bool> skipUnchanged;
    QString sha256;  // of the job file (readJobFile)
    // True when a step takes a serial.
    bool hasSerial() const {
        for (const Step& step : steps) {
            if (step.serial)
                return true;
        }
        return false;
    }
};

struct ParsedJob {
    bool ok = false;
    QString error;  // names the step or key at fault
    Job job;
};

// Reads a job file's text. Paths are resolved against jobFolder. Every step is one object with
// exactly one subcommand key naming its file, a "sha256" of 64 hex digits, and for program-mcu
// an optional "addr" ("0x" and one to eight hex digits, inside the code flash). Nothing is read
// from disk here.
ParsedJob parseJob(const QByteArray& text, const QString& jobFolder);

// The largest job file read.
constexpr qint64 kLargestJobFile = 1024 * 1024;

// Reads and parses a job file (at most kLargestJobFile bytes are read). The error names the file.
ParsedJob readJobFile(const QString& path);

}  // namespace qv::engine
