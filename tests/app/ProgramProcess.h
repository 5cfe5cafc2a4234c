// The k419 program as a child process, for tests of what a user sees of it: its standard
// output and standard error as lines, signals, and its exit status.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace k419::test {

class Program {
  public:
    // Starts `argv` (argv[0] is the program's path) with the test's environment, changed by
    // `env`: a value sets the variable, an empty one removes it. K419_COMn above 9 is left out.
    Program(std::vector<std::string> argv, const std::map<std::string, std::string>& env) {
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            // The tests' own pseudo-terminals publish K419_COMn for high n; they mean nothing
            // to the program (which says it ignores them).
            const bool testsOwn = name.rfind("K419_COM", 0) == 0 && name.size() > 9;
            if (env.count(name) == 0 && !testsOwn) environment.push_back(entry);
        }
        for (const auto& [name, value] : env) {
            if (!value.empty()) environment.push_back(name + "=" + value);
        }
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> args, envp;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_.fd = out[0];
        err_.fd = err[0];
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_.fd);
        close(err_.fd);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return pid_ > 0; }

    // The next whole line of standard output or standard error (without its line end), or
    // nothing when none came within `timeoutMs`.
    std::optional<std::string> OutputLine(int timeoutMs = 10000) { return Line(out_, timeoutMs); }
    std::optional<std::string> ErrorLine(int timeoutMs = 10000) { return Line(err_, timeoutMs); }

    void Signal(int signal) const {
        if (pid_ > 0) kill(pid_, signal);
    }

    // The exit status once the program has ended (-1: it did not within `timeoutMs`, or it
    // ended through a signal). Reads what is left of its output meanwhile.
    int Wait(int timeoutMs = 10000) {
        const auto deadline = Deadline(timeoutMs);
        while (pid_ > 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            Fill(out_, 0);
            Fill(err_, 10);
        }
        return -1;
    }

    // Everything the program wrote to standard error that was not taken as lines yet, once
    // it has ended.
    std::string RestOfErrors() {
        while (Fill(err_, 0)) {
        }
        return std::exchange(err_.pending, {});
    }

  private:
    struct Stream {
        int fd = -1;
        std::string pending;
    };

    static std::chrono::steady_clock::time_point Deadline(int ms) {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    }

    // Reads what is there (waiting up to `ms` for it); false at the end of the stream.
    static bool Fill(Stream& s, int ms) {
        pollfd p{s.fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buffer[4096];
        const ssize_t n = read(s.fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        s.pending.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    static std::optional<std::string> Line(Stream& s, int timeoutMs) {
        const auto deadline = Deadline(timeoutMs);
        for (;;) {
            if (const auto end = s.pending.find('\n'); end != std::string::npos) {
                std::string line = s.pending.substr(0, end);
                s.pending.erase(0, end + 1);
                return line;
            }
            if (std::chrono::steady_clock::now() >= deadline || !Fill(s, 10)) return std::nullopt;
        }
    }

    pid_t pid_ = -1;
    Stream out_, err_;
};

}  // namespace k419::test
