#include "daemon_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "test_util.h"

namespace kvtest {
namespace {

constexpr int START_SECONDS = 10;
constexpr int STOP_SECONDS = 10;

double now_seconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void nap() {
    timespec pause{0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

}  // namespace

stand_in::stand_in(const std::string& dir) : stand_in(dir, options{}) {}

stand_in::stand_in(const std::string& dir, options opts) : base_(dir + "/" + opts.name) {
    // In the foreground, so that the pid stays the child's.
    std::vector<std::string> argv = {daemon_bin(), "--foreground", "--pidfile=" + pidfile(),
                                     "--control=" + base_ + ".ctl", "--record=" + base_ + ".rec", "--timeout=5"};
    if (!opts.databases.empty()) argv.push_back("--database-directory=" + opts.databases);
    argv.insert(argv.end(), opts.args.begin(), opts.args.end());
    if (opts.unix_socket) argv.push_back(unix_address());
    if (opts.tcp) argv.push_back("inet:0@127.0.0.1");

    const std::string log_path = base_ + ".log";
    pid_ = fork();
    if (pid_ == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char*> args;
        for (std::string& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid_ < 0) {
        ADD_FAILURE() << "cannot fork the stand-in daemon";
        return;
    }
    // Ready when the pid file is there: it is written after every address listens.
    const double deadline = now_seconds() + START_SECONDS;
    struct stat info;
    while (stat(pidfile().c_str(), &info) != 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_ || now_seconds() > deadline) {
            ADD_FAILURE() << "the stand-in daemon did not start:\n" << log();
            if (now_seconds() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            pid_ = -1;
            return;
        }
        nap();
    }
    if (opts.tcp) {
        std::istringstream lines(read_file(pidfile()));
        std::string line;
        while (std::getline(lines, line)) {
            const size_t colon = line.rfind(':');
            if (line.rfind("127.0.0.1:", 0) == 0 && colon != std::string::npos) tcp_port_ = std::stoi(line.substr(colon + 1));
        }
        EXPECT_NE(tcp_port_, 0) << read_file(pidfile());
    }
}

stand_in::~stand_in() {
    if (running()) {
        const int status = stop();
        EXPECT_EQ(status, 0) << "the stand-in daemon did not stop cleanly:\n" << log();
    }
}

int stand_in::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    const double deadline = now_seconds() + STOP_SECONDS;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (now_seconds() > deadline) {
            ADD_FAILURE() << "the stand-in daemon did not stop:\n" << log();
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        nap();
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void stand_in::control(const std::string& settings) const {
    const std::string path = base_ + ".ctl";
    write_file(path + ".new", settings);
    if (rename((path + ".new").c_str(), path.c_str()) != 0) ADD_FAILURE() << "cannot replace " << path;
}

void stand_in::signal(int sig) const {
    if (pid_ > 0) kill(pid_, sig);
}

bool stand_in::wait_for_log(const std::string& text, int count, int seconds) const {
    const double deadline = now_seconds() + seconds;
    for (;;) {
        const std::string logged = log();
        int seen = 0;
        for (size_t at = logged.find(text); at != std::string::npos; at = logged.find(text, at + text.size())) ++seen;
        if (seen >= count) return true;
        if (now_seconds() > deadline) return false;
        nap();
    }
}

long stand_in::memory_kb(const char* field) const {
    std::istringstream status(read_file("/proc/" + std::to_string(pid_) + "/status"));
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

std::string stand_in::record() const { return read_file(base_ + ".rec"); }

std::string stand_in::log() const { return read_file(base_ + ".log"); }

std::vector<std::string> stand_in::requests() const {
    std::vector<std::string> lines;
    std::istringstream in(record());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string eicar() {
    std::string text = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$";
    text += "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    return text;
}

namespace {

// Moves all of length bytes within the deadline; false when the peer or the time fails.
bool transfer(int fd, char* data, size_t length, bool sending, double deadline) {
    while (length > 0) {
        pollfd ready{fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
        const int wait_ms = static_cast<int>((deadline - now_seconds()) * 1000);
        if (wait_ms <= 0 || poll(&ready, 1, wait_ms) <= 0) return false;
        const ssize_t done = sending ? send(fd, data, length, MSG_NOSIGNAL) : recv(fd, data, length, 0);
        if (done <= 0) return false;
        data += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

int64_t scan_status(const std::string& address, const std::string& content, int seconds) {
    const double deadline = now_seconds() + seconds;
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    const std::string path = address.substr(address.find(':') + 1);
    if (address.rfind("local:", 0) != 0 || path.size() >= sizeof peer.sun_path) return -1;
    memcpy(peer.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    std::string request;
    for (uint32_t value : {uint32_t{1}, uint32_t{0}, uint32_t{0}, static_cast<uint32_t>(content.size())}) {
        for (int shift = 24; shift >= 0; shift -= 8) request += static_cast<char>((value >> shift) & 0xFF);
    }
    request += content;
    unsigned char status[4];
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
                    transfer(fd, request.data(), request.size(), true, deadline) &&
                    transfer(fd, reinterpret_cast<char*>(status), sizeof status, false, deadline);
    close(fd);
    if (!ok) return -1;
    return (int64_t{status[0]} << 24) | (status[1] << 16) | (status[2] << 8) | status[3];
}

}  // namespace kvtest
