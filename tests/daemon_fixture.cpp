#include "daemon_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
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
    std::vector<std::string> argv = {daemon_bin(),         "--pidfile=" + pidfile(), "--control=" + base_ + ".ctl",
                                     "--record=" + base_ + ".rec", "--timeout=5"};
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

}  // namespace kvtest
