// bench-scan: scan round trips against kervald.
//
// Part 1, the client: round trips per second over a UNIX-domain socket and over
// TCP, for a 4 KB and a 10 MB message, in local mode (the daemon opens the file)
// and content mode (the file travels on the channel), with the client's peak
// memory, against the daemon's built-in matcher.
// Part 2, the daemon: scans per second with 1, 4 and 16 clients at once, for a
// 4 KB and a 1 MB message in both modes, with the built-in matcher and with the
// signature engine (the generated test database), and the daemon's peak
// resident memory; every row has a fresh daemon with the default pool of
// workers. Each client runs in a child process of its own.
//
// Usage: bench-scan KERVALD WORKDIR SECONDS DATABASE-DIRECTORY
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kvc_lib.h"

namespace {

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string message(size_t size) {
    std::string text = "From: a@example.org\r\nTo: b@example.org\r\nSubject: bench\r\n\r\n";
    while (text.size() < size) text += "The quick brown fox jumps over the lazy dog, again and again.\r\n";
    text.resize(size);
    return text;
}

struct outcome {
    long requests = 0;
    double seconds = 0;
    long max_rss_kb = 0;
    int failed = 0;
};

// Runs body in a child; its measurements come back through a pipe, its peak
// resident size from the kernel.
template <typename Body>
outcome in_child(Body body) {
    int fds[2];
    if (pipe(fds) != 0) return {0, 0, 0, 1};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        outcome o = body();
        (void)!write(fds[1], &o, sizeof o);
        _exit(0);
    }
    close(fds[1]);
    outcome o{};
    if (read(fds[0], &o, sizeof o) != static_cast<ssize_t>(sizeof o)) o.failed = 1;
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    o.max_rss_kb = usage.ru_maxrss;
    return o;
}

// Scans the file again and again within the budget (at least three times).
outcome scan_loop(const std::string& address, const std::string& path, int local, double budget) {
    outcome o;
    if (kv::startup(kv::KV_LIB_VERSION, address.c_str(), 60, 0) != kv::KV_OK) {
        o.failed = 1;
        return o;
    }
    kv::strings recipients;
    recipients.add("b@example.org");
    const uint32_t options = kv::KV_OPT_EXTENDED | kv::KV_OPT_VIRUS_CATEGORIES | kv::KV_OPT_STATISTICS |
                             kv::KV_OPT_REPORT | 0x80000;
    const double start = now();
    while (o.requests < 3 || now() - start < budget) {
        std::unique_ptr<kv::scanresult> result;
        if (kv::scanmail(path, local, options, 0, result, 0, "a@example.org", &recipients) != kv::KV_OK) {
            o.failed = 1;
            break;
        }
        ++o.requests;
    }
    o.seconds = now() - start;
    (void)kv::cleanup();
    return o;
}

outcome measure(const std::string& address, const std::string& path, int local, double budget) {
    return in_child([&] { return scan_loop(address, path, local, budget); });
}

// clients processes at once; the requests added up over the longest run.
outcome measure_parallel(int clients, const std::string& address, const std::string& path, int local, double budget) {
    std::vector<int> pipes;
    std::vector<pid_t> children;
    for (int i = 0; i < clients; ++i) {
        int fds[2];
        if (pipe(fds) != 0) return {0, 0, 0, 1};
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const outcome o = scan_loop(address, path, local, budget);
            (void)!write(fds[1], &o, sizeof o);
            _exit(0);
        }
        close(fds[1]);
        pipes.push_back(fds[0]);
        children.push_back(pid);
    }
    outcome total;
    for (size_t i = 0; i < children.size(); ++i) {
        outcome o{};
        if (read(pipes[i], &o, sizeof o) != static_cast<ssize_t>(sizeof o)) o.failed = 1;
        close(pipes[i]);
        waitpid(children[i], nullptr, 0);
        total.requests += o.requests;
        total.seconds = std::max(total.seconds, o.seconds);
        total.failed |= o.failed;
    }
    return total;
}

// A kervald in the foreground on a socket in work, and on TCP when asked.
struct daemon_run {
    pid_t pid = -1;
    std::string socket;
    std::string tcp;  // "inet:PORT@127.0.0.1"

    bool start(const std::string& kervald, const std::string& work, const std::vector<std::string>& more) {
        socket = work + "/kervald.sock";
        const std::string pidfile = work + "/kervald.pid";
        unlink(pidfile.c_str());
        pid = fork();
        if (pid == 0) {
            int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, 1);
            std::vector<std::string> args = {kervald, "--foreground", "--pidfile=" + pidfile, "--log-level=errors",
                                             "--timeout=60", "local:" + socket};
            args.insert(args.end(), more.begin(), more.end());
            std::vector<char*> raw;
            for (std::string& arg : args) raw.push_back(arg.data());
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        struct stat info;
        for (const double deadline = now() + 60; stat(pidfile.c_str(), &info) != 0; usleep(2000)) {
            if (now() > deadline || waitpid(pid, nullptr, WNOHANG) == pid) {
                fprintf(stderr, "bench-scan: kervald did not start\n");
                pid = -1;
                return false;
            }
        }
        std::ifstream in(pidfile);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("127.0.0.1:", 0) == 0) tcp = "inet:" + line.substr(10) + "@127.0.0.1";
        }
        return true;
    }

    // The daemon's peak resident memory so far, in KB.
    long peak_kb() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
        }
        return -1;
    }

    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

std::string write_message(const std::string& work, size_t bytes) {
    const std::string path = work + "/message-" + std::to_string(bytes);
    std::ofstream(path, std::ios::binary) << message(bytes);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: bench-scan KERVALD WORKDIR SECONDS DATABASE-DIRECTORY\n");
        return 2;
    }
    const std::string kervald = argv[1];
    const std::string work = argv[2];
    const double budget = atof(argv[3]);
    const std::string databases = argv[4];
    int status = 0;

    daemon_run builtin;
    if (!builtin.start(kervald, work, {"--database-directory=none", "inet:0@127.0.0.1"})) return 1;
    const outcome idle = in_child([] {
        outcome o;
        o.failed = kv::startup(kv::KV_LIB_VERSION, "default", 30, 0) != kv::KV_OK;
        (void)kv::cleanup();
        return o;
    });
    printf("Part 1: the client, against the built-in matcher\n");
    printf("client peak RSS of an idle started library: %ld KB\n\n", idle.max_rss_kb);
    printf("%-9s %-6s %-8s %10s %12s %11s %14s\n", "transport", "size", "mode", "requests", "requests/s", "MB/s",
           "client RSS KB");
    for (const auto& [label, bytes] : {std::pair<const char*, size_t>{"4 KB", 4096}, {"10 MB", 10u << 20}}) {
        const std::string path = write_message(work, bytes);
        for (const auto& [transport, address] : {std::pair<const char*, std::string>{"unix", "local:" + builtin.socket},
                                                 std::pair<const char*, std::string>{"tcp", builtin.tcp}}) {
            for (int local : {1, 0}) {
                const outcome o = measure(address, path, local, budget);
                const double rate = o.seconds > 0 ? static_cast<double>(o.requests) / o.seconds : 0;
                printf("%-9s %-6s %-8s %10ld %12.1f %11.1f %14ld%s\n", transport, label, local ? "local" : "content",
                       o.requests, rate, rate * static_cast<double>(bytes) / (1 << 20), o.max_rss_kb,
                       o.failed ? "  FAILED" : "");
                if (o.failed) status = 1;
            }
        }
    }
    builtin.stop();

    printf("\nPart 2: the daemon, over a UNIX-domain socket, %u workers (twice the cores)\n\n",
           std::max(2u, std::thread::hardware_concurrency() * 2));
    printf("%-8s %-6s %-8s %8s %10s %10s %16s\n", "matcher", "size", "mode", "clients", "scans", "scans/s",
           "daemon peak KB");
    for (const auto& [matcher, directory] : {std::pair<const char*, std::string>{"built-in", "none"},
                                             std::pair<const char*, std::string>{"engine", databases}}) {
        for (const auto& [label, bytes] : {std::pair<const char*, size_t>{"4 KB", 4096}, {"1 MB", 1u << 20}}) {
            const std::string path = write_message(work, bytes);
            for (int local : {1, 0}) {
                for (int clients : {1, 4, 16}) {
                    daemon_run daemon;
                    if (!daemon.start(kervald, work, {"--database-directory=" + directory})) return 1;
                    const outcome o = measure_parallel(clients, "local:" + daemon.socket, path, local, budget);
                    const long peak = daemon.peak_kb();
                    daemon.stop();
                    const double rate = o.seconds > 0 ? static_cast<double>(o.requests) / o.seconds : 0;
                    printf("%-8s %-6s %-8s %8d %10ld %10.1f %16ld%s\n", matcher, label, local ? "local" : "content",
                           clients, o.requests, rate, peak, o.failed ? "  FAILED" : "");
                    fflush(stdout);
                    if (o.failed) status = 1;
                }
            }
        }
    }
    return status;
}
