#pragma once

// Child processes for the command-line tests: qv310 run as a user runs it, and virtual
// programmers (qv310-vprog) beside it, all with a private XDG_RUNTIME_DIR.

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace clitest {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The environment of this process with XDG_RUNTIME_DIR replaced.
inline std::vector<std::string> environmentWith(const std::string& runtimeDir) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0)
            env.emplace_back(*e);
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
    return env;
}

class Child {
  public:
    ~Child() { kill(SIGKILL); }

    // Starts program with args; stdout and stderr go to the two files.
    bool start(const std::string& program, std::vector<std::string> args, const std::vector<std::string>& env,
               const std::string& outFile, const std::string& errFile, const std::string& cwd = {}) {
        outPath_ = outFile;
        errPath_ = errFile;
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envCopy = env;
        std::vector<char*> envp;
        for (auto& e : envCopy)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
        if (!cwd.empty())
            posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
#endif
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            pid_ = -1;
        return rc == 0;
    }

    // Waits for the exit; -1 when it did not end in time (then it is killed) or died of a signal.
    int wait(int timeoutMs = 120000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (pid_ > 0) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() > end) {
                kill(SIGKILL);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    void kill(int signal) {
        if (pid_ > 0) {
            ::kill(pid_, signal);
            if (signal == SIGKILL) {
                ::waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
        }
    }

    std::string out() const {
        return readFile(outPath_);
    }
    std::string err() const {
        return readFile(errPath_);
    }
    pid_t pid() const {
        return pid_;
    }

  private:
    pid_t pid_ = -1;
    std::string outPath_;
    std::string errPath_;
};

}  // namespace clitest
