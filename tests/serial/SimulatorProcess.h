// The meter simulator as a child process on its own pseudo-terminal, for the integration
// tests: its first line of output names the terminal.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

// The meter simulator on its own pseudo-terminal; killed when the test ends at the latest.
class Simulator {
  public:
    explicit Simulator(const std::vector<std::string>& options) {
        const std::string program = K419_BINARY_DIR "/tools/k419-sim";
        if (access(program.c_str(), X_OK) != 0) return;
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> args{program};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        output_ = out[0];  // the simulator ends when its standard output goes
        char c;
        while (pid_ > 0 && read(output_, &c, 1) == 1 && c != '\n') path_.push_back(c);
    }
    ~Simulator() {
        Kill();
        if (output_ >= 0) close(output_);
    }
    // Ends the simulator at once, as a crash or a pulled cable would.
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    const std::string& Path() const { return path_; }

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string path_;
};
