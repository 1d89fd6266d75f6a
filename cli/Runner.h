#pragma once

#include <QStringList>

namespace qv::cli {

// The whole qv310 program after the program name: reads the command line, checks every file
// (and job digest) and the record database before anything is sent, picks the programmers, runs
// one session per programmer at once and returns the exit code of the table.
int runCommandLine(const QStringList& args);

}  // namespace qv::cli
