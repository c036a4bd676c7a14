// kv_dfork: runs a program as a child process that reads a given descriptor as
// its standard input (starter_start) and collects how it ended (starter_wait).
//
// The program is run by fork and execv: no shell, no search of PATH; it
// inherits the environment and the standard descriptors only, with no signal
// blocked (a threaded caller's other files and connections stay its own).
// The input is a finished file opened for reading, so a child never sees a
// message cut short, whatever happens to this process. A child that cannot run
// the program exits with 71. starter_wait answers STARTER_OK (0) for exit status
// 0 and STARTER_FAILED (-1) for anything else, after logging how the child
// ended; STARTER_RUNNING (-2) when a non-blocking wait finds it still running.
//
// child_process owns the child. A child that was never collected is killed
// (SIGKILL) and reaped by the destructor: no zombie is left. While a child runs
// it is known to the run guard (kv_runguard), which stops it when the run is
// stopped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>


namespace kv {

enum starter_result : int { STARTER_OK = 0, STARTER_FAILED = -1, STARTER_RUNNING = -2 };

// Exit status of a child that could not run its program.
constexpr int kStarterCannotRun = 71;

class child_process {
public:
    child_process() = default;
    explicit child_process(pid_t pid) : pid_(pid) {}
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    child_process(child_process&& other) noexcept;
    child_process& operator=(child_process&& other) noexcept;
    ~child_process();

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // starter_wait on this child.
    [[nodiscard]] int wait(bool block, const char* name);
    // Waits at most timeout for the child to end; STARTER_RUNNING when it has not.
    [[nodiscard]] int wait_for(std::chrono::milliseconds timeout, const char* name);
    // Kills the child (SIGKILL) and collects it.
    [[nodiscard]] int kill_and_wait(const char* name);

private:
    void reap_quietly();
    void collected();

    pid_t pid_ = -1;
    bool collected_ = false;
};

// Runs path with argv (argv[0] included) reading input (a descriptor open for
// reading, at the offset it is to start from) as its standard input. An empty
// holder (started() false) after logging why it could not.
[[nodiscard]] child_process starter_start(const char* path, const std::vector<std::string>& argv, int input);

// Waits for the child pid (without blocking when block is false) and logs how it
// ended; name is only used in messages.
[[nodiscard]] int starter_wait(pid_t pid, bool block, const char* name);

}  // namespace kv
