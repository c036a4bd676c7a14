#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "kvc_log.h"

namespace kvtest {

temp_dir::temp_dir() {
    char templ[] = "/tmp/kvtest.XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

temp_dir::~temp_dir() { remove_tree(path_); }

void remove_tree(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : list_dir(path)) remove_tree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) throw std::runtime_error("cannot write " + path);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    fchmod(fd, mode);
    close(fd);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool file_exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

running_program::running_program(const std::vector<std::string>& argv, const std::string& stdin_path,
                                 const std::string& cwd) {
    char out_templ[] = "/tmp/kvtest.out.XXXXXX";
    char err_templ[] = "/tmp/kvtest.err.XXXXXX";
    out_fd_ = mkstemp(out_templ);
    err_fd_ = mkstemp(err_templ);
    out_path_ = out_templ;
    err_path_ = err_templ;
    pid_ = fork();
    if (pid_ == 0) {
        int in_fd = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
        if (in_fd < 0) _exit(127);
        dup2(in_fd, 0);
        dup2(out_fd_, 1);
        dup2(err_fd_, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
}

running_program::~running_program() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

run_result running_program::wait(int timeout_seconds) {
    run_result result;
    int status = 0;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (pid_ > 0) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= timeout_seconds) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            result.timed_out = true;
            break;
        }
        timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    pid_ = -1;
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = read_file(out_path_);
    result.err = read_file(err_path_);
    return result;
}

run_result run_program(const std::vector<std::string>& argv, const std::string& stdin_path, int timeout_seconds,
                       const std::string& cwd) {
    running_program program(argv, stdin_path, cwd);
    return program.wait(timeout_seconds);
}

bool wait_for_file(const std::string& path, int timeout_ms) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!file_exists(path)) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 > timeout_ms) return false;
        timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

log_capture::log_capture() {
    kv::log_init("console", kv::Debug, 0, 0, "kerval-postfix");
    kv::log_set_capture([this](int level, const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(level, text);
        }
        logged_.notify_all();
    });
}

log_capture::~log_capture() {
    kv::log_set_capture(nullptr);
    kv::log_init("console", 0, 0, 0, "kerval-postfix");
}

std::vector<std::pair<int, std::string>> log_capture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool log_capture::has(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const auto& line) { return line.second == text; });
}

bool log_capture::has(int level, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const auto& line) { return line.first == level && line.second == text; });
}

bool log_capture::contains(const std::string& part) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const auto& line) { return line.second.find(part) != std::string::npos; });
}

bool log_capture::wait_for(const std::string& part, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return logged_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const auto& line) { return line.second.find(part) != std::string::npos; });
    });
}

std::string log_capture::dump() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto& line : lines_) text += std::to_string(line.first) + ": " + line.second + "\n";
    return text;
}

void log_capture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

std::string filter_bin() { return KV_FILTER_BIN; }

std::string quarantine_bin() { return KV_QUARANTINE_BIN; }

std::string daemon_bin() {
#ifdef KV_DAEMON_BIN
    return KV_DAEMON_BIN;
#else
    return "";
#endif
}

std::string join(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text.append(part);
    return text;
}

std::string source_path(const std::string& relative) { return std::string(KV_SOURCE_DIR) + "/" + relative; }

}  // namespace kvtest
