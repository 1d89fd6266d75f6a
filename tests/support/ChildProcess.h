#pragma once

// Child processes for the end-to-end tests: qv310 run as a user runs it, virtual programmers
// (qv310-vprog) beside it, with an environment of the test's own. QProcess, so that the same
// tests run on Windows.

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <sys/types.h>
#endif

namespace qvtest {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// This process's environment with some variables replaced (an empty value removes one).
inline QProcessEnvironment environmentWith(const std::map<std::string, std::string>& changes) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : changes) {
        if (value.empty())
            env.remove(QString::fromStdString(name));
        else
            env.insert(QString::fromStdString(name), QString::fromStdString(value));
    }
    return env;
}

class Child {
  public:
    static constexpr const char* kInputPipe = "<pipe>";
    ~Child() { kill(); }

    // Starts program with args; standard output and error go to the two files, standard input
    // comes from inFile (none: nothing to read), or with inFile kInputPipe from a pipe that stays
    // open until closeInput().
    bool start(const std::string& program, const std::vector<std::string>& args, const QProcessEnvironment& env,
               const std::string& outFile, const std::string& errFile, const std::string& cwd = {},
               const std::string& inFile = {}) {
        outPath_ = outFile;
        errPath_ = errFile;
        process_ = std::make_unique<QProcess>();
        QStringList arguments;
        for (const std::string& a : args)
            arguments << QString::fromStdString(a);
        process_->setProcessEnvironment(env);
        process_->setStandardOutputFile(QString::fromStdString(outFile));
        process_->setStandardErrorFile(QString::fromStdString(errFile));
        if (inFile != kInputPipe)
            process_->setStandardInputFile(inFile.empty() ? QProcess::nullDevice() : QString::fromStdString(inFile));
        if (!cwd.empty())
            process_->setWorkingDirectory(QString::fromStdString(cwd));
#ifdef _WIN32
        // A process group of its own, so that interrupt() reaches the child alone.
        process_->setCreateProcessArgumentsModifier(
            [](QProcess::CreateProcessArguments* a) { a->flags |= CREATE_NEW_PROCESS_GROUP; });
#endif
        process_->start(QString::fromStdString(program), arguments);
        return process_->waitForStarted(30000);
    }

    // Waits for the exit; -1 when it did not end in time (then it is killed) or did not exit by
    // itself (a signal).
    int wait(int timeoutMs = 120000) {
        if (!process_)
            return -1;
        if (process_->state() != QProcess::NotRunning && !process_->waitForFinished(timeoutMs)) {
            kill();
            return -1;
        }
        return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
    }

    bool running() const { return process_ && process_->state() != QProcess::NotRunning; }

    // Ctrl-C (SIGINT); on Windows Ctrl-Break to the child's process group, the console's
    // interrupt that reaches a process group of its own.
    void interrupt() {
        if (!running())
            return;
#ifdef _WIN32
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, DWORD(process_->processId()));
#else
        ::kill(pid_t(process_->processId()), SIGINT);
#endif
    }
    // SIGTERM.
    void terminate() {
        if (running())
            process_->terminate();
    }
    void closeInput() {
        if (running())
            process_->closeWriteChannel();
    }
    void kill() {
        if (running()) {
            process_->kill();
            process_->waitForFinished(10000);
        }
    }

    std::string out() const { return readFile(outPath_); }
    std::string err() const { return readFile(errPath_); }
    qint64 pid() const { return process_ ? process_->processId() : 0; }

  private:
    std::unique_ptr<QProcess> process_;
    std::string outPath_;
    std::string errPath_;
};

}  // namespace qvtest
