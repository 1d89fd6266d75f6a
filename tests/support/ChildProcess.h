#pragma once

// Child processes for the end-to-end tests: qv310 run as a user runs it, virtual programmers
// (qv310-vprog) beside it, with an environment of the test's own. On Linux and macOS a QProcess;
// on Windows the process is made with CreateProcessW directly, in a job object of its own that
// is killed when the test lets go of it (or dies), and with only its three standard handles
// inherited, so that no child outlives its test or holds the test runner's output pipe. (Qt 5's
// QProcess on Windows watches the process handle from the thread pool and lets go of that watch
// without waiting for a callback already running; a child that ends while the test waits for it
// could then have the callback read a freed notifier, which crashed a test program under Wine.)

#include <QDir>
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

#ifdef _WIN32

class Child {
  public:
    static constexpr const char* kInputPipe = "<pipe>";
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        kill();
        release();
    }

    // Starts program with args; standard output and error go to the two files, standard input
    // comes from inFile (none: nothing to read), or with inFile kInputPipe from a pipe that stays
    // open until closeInput().
    bool start(const std::string& program, const std::vector<std::string>& args, const QProcessEnvironment& env,
               const std::string& outFile, const std::string& errFile, const std::string& cwd = {},
               const std::string& inFile = {}) {
        kill();
        release();
        outPath_ = outFile;
        errPath_ = errFile;
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        HANDLE out = CreateFileW(wide(outFile).c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE err = CreateFileW(wide(errFile).c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE in = INVALID_HANDLE_VALUE;
        if (inFile == kInputPipe) {
            HANDLE readEnd = nullptr;
            if (CreatePipe(&readEnd, &inputWriter_, &inherit, 0)) {
                SetHandleInformation(inputWriter_, HANDLE_FLAG_INHERIT, 0);
                in = readEnd;
            }
        } else {
            in = CreateFileW(inFile.empty() ? L"NUL" : wide(inFile).c_str(), GENERIC_READ, share, &inherit,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        const bool started = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                             in != INVALID_HANDLE_VALUE && in != nullptr && create(program, args, env, cwd, in, out, err);
        for (HANDLE h : {in, out, err}) {
            if (h != INVALID_HANDLE_VALUE && h != nullptr)
                CloseHandle(h);
        }
        if (!started)
            release();
        return started;
    }

    // Waits for the exit; -1 when it did not end in time (then it is killed) or did not exit by
    // itself (killed, or ended by an exception).
    int wait(int timeoutMs = 120000) {
        if (!process_)
            return -1;
        if (WaitForSingleObject(process_, DWORD(timeoutMs)) != WAIT_OBJECT_0) {
            kill();
            return -1;
        }
        DWORD code = 0;
        if (killed_ || !GetExitCodeProcess(process_, &code) || code >= 0xC0000000u)
            return -1;
        return int(code);
    }

    bool running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

    // Ctrl-Break to the child's process group, the console's interrupt that reaches a process
    // group of its own.
    void interrupt() {
        if (running())
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, processId_);
    }
    // A console program has no polite stop from outside on Windows: it is ended.
    void terminate() { kill(); }
    void closeInput() {
        if (inputWriter_) {
            CloseHandle(inputWriter_);
            inputWriter_ = nullptr;
        }
    }
    // Ends the child and everything it started.
    void kill() {
        if (!running())
            return;
        killed_ = true;
        if (job_)
            TerminateJobObject(job_, 1);
        else
            TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 10000);
    }

    std::string out() const { return readFile(outPath_); }
    std::string err() const { return readFile(errPath_); }
    qint64 pid() const { return processId_; }

  private:
    static std::wstring wide(const std::string& utf8) { return QString::fromStdString(utf8).toStdWString(); }

    // One argument as the C runtime's command-line parser reads it back.
    static std::wstring quoted(const std::wstring& arg) {
        if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
            return arg;
        std::wstring q = L"\"";
        size_t backslashes = 0;
        for (wchar_t c : arg) {
            if (c == L'\\') {
                ++backslashes;
                continue;
            }
            q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
            backslashes = 0;
            q.push_back(c);
        }
        q.append(backslashes * 2, L'\\');
        q.push_back(L'"');
        return q;
    }

    bool create(const std::string& program, const std::vector<std::string>& args, const QProcessEnvironment& env,
                const std::string& cwd, HANDLE in, HANDLE out, HANDLE err) {
        std::wstring commandLine = quoted(QDir::toNativeSeparators(QString::fromStdString(program)).toStdWString());
        for (const std::string& a : args)
            commandLine += L" " + quoted(wide(a));
        std::wstring block;
        for (const QString& entry : env.toStringList())
            block += entry.toStdWString() + L'\0';
        block += L'\0';

        job_ = CreateJobObjectW(nullptr, nullptr);
        if (!job_)
            return false;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits))
            return false;

        // Only the three standard handles are inherited.
        HANDLE inherited[3] = {in, out, err};
        SIZE_T listSize = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
        std::vector<unsigned char> listMemory(listSize);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listMemory.data());
        const bool haveList = listSize && InitializeProcThreadAttributeList(list, 1, 0, &listSize) &&
                              UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                        sizeof inherited, nullptr, nullptr);
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = haveList ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = in;
        startup.StartupInfo.hStdOutput = out;
        startup.StartupInfo.hStdError = err;
        if (haveList)
            startup.lpAttributeList = list;
        const DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                            (haveList ? EXTENDED_STARTUPINFO_PRESENT : 0);
        const std::wstring directory = cwd.empty() ? std::wstring() : wide(cwd);
        PROCESS_INFORMATION info{};
        const BOOL made = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, block.data(),
                                         directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo,
                                         &info);
        if (haveList)
            DeleteProcThreadAttributeList(list);
        if (!made)
            return false;
        process_ = info.hProcess;
        processId_ = info.dwProcessId;
        // In the job before it runs a single instruction, so that whatever it starts is in it too.
        if (!AssignProcessToJobObject(job_, process_)) {
            TerminateProcess(process_, 1);
            CloseHandle(info.hThread);
            return false;
        }
        ResumeThread(info.hThread);
        CloseHandle(info.hThread);
        return true;
    }

    void release() {
        closeInput();
        if (process_)
            CloseHandle(process_);
        if (job_)
            CloseHandle(job_);  // kills whatever is still in the job
        process_ = nullptr;
        job_ = nullptr;
        processId_ = 0;
        killed_ = false;
    }

    HANDLE process_ = nullptr;
    HANDLE job_ = nullptr;
    HANDLE inputWriter_ = nullptr;
    DWORD processId_ = 0;
    bool killed_ = false;
    std::string outPath_;
    std::string errPath_;
};

#else

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

    // Ctrl-C (SIGINT).
    void interrupt() {
        if (running())
            ::kill(pid_t(process_->processId()), SIGINT);
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

#endif

}  // namespace qvtest
