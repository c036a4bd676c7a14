// Helpers shared by the tests: temporary directories, files, running the built
// programs as their callers do, and capturing what the code logs.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvtest {

// A fresh directory under /tmp, removed with everything in it.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The parts appended one after the other. g++ 12 at -O3 takes "text" + a
// temporary std::string (an insert at the front) for an overlapping copy and
// stops with -Werror=restrict; building by appending avoids that path.
std::string join(std::initializer_list<std::string_view> parts);

void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// Names (not paths) of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::string& path);
void remove_tree(const std::string& path);

struct run_result {
    int status = -1;   // exit status, or -1 when killed by a signal
    int signal = 0;    // the signal that ended it
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs argv[0] with argv and the given file (or /dev/null) as standard input,
// in directory cwd when given; kills it after timeout_seconds.
run_result run_program(const std::vector<std::string>& argv, const std::string& stdin_path = "",
                       int timeout_seconds = 60, const std::string& cwd = "");

// The same in two steps, for tests that act on the program while it runs.
class running_program {
public:
    running_program(const std::vector<std::string>& argv, const std::string& stdin_path = "",
                    const std::string& cwd = "");
    ~running_program();
    running_program(const running_program&) = delete;
    running_program& operator=(const running_program&) = delete;
    pid_t pid() const { return pid_; }
    // Waits for the end (killing it after timeout_seconds) and collects its output.
    run_result wait(int timeout_seconds = 60);

private:
    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    std::string out_path_, err_path_;
};

// Waits until path exists: true, or false after timeout_ms.
bool wait_for_file(const std::string& path, int timeout_ms = 10000);

// Collects every message logged while it lives, at every level, from every
// thread; it may be read while other threads log.
class log_capture {
public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;
    std::vector<std::pair<int, std::string>> lines() const;
    bool has(const std::string& text) const;         // an exact line
    bool has(int level, const std::string& text) const;
    bool contains(const std::string& part) const;    // a line containing part
    // Waits until a line containing part was logged; false after timeout_ms.
    bool wait_for(const std::string& part, int timeout_ms) const;
    std::string dump() const;
    void clear();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable logged_;
    std::vector<std::pair<int, std::string>> lines_;
};

// Path of a built program or of a file in the source tree.
std::string filter_bin();
std::string quarantine_bin();
std::string daemon_bin();
std::string source_path(const std::string& relative);

}  // namespace kvtest
