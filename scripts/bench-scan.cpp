// bench-scan: scan round trips per second against the stand-in kervald, over a
// UNIX-domain socket and over TCP, for a 4 KB and a 10 MB message, in local mode
// (the daemon opens the file) and content mode (the file travels on the
// channel), with the client's peak memory. Each measurement runs in a child
// process of its own so that its peak resident size is its own.
//
// Usage: bench-scan KERVALD WORKDIR [SECONDS]
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
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

outcome measure(const std::string& address, const std::string& path, int local, double budget) {
    return in_child([&] {
        outcome o;
        if (kv::startup(kv::KV_LIB_VERSION, address.c_str(), 30, 0) != kv::KV_OK) {
            o.failed = 1;
            return o;
        }
        kv::strings recipients;
        recipients.add("b@example.org");
        const uint32_t options = kv::KV_OPT_EXTENDED | kv::KV_OPT_VIRUS_CATEGORIES | kv::KV_OPT_STATISTICS |
                                 kv::KV_OPT_REPORT | 0x80000;
        const double start = now();
        // At least three requests, then as many as fit the time budget.
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
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: bench-scan KERVALD WORKDIR [SECONDS]\n");
        return 2;
    }
    const std::string kervald = argv[1];
    const std::string work = argv[2];
    const double budget = argc > 3 ? atof(argv[3]) : 2.0;
    const std::string socket = work + "/kervald.sock";
    const std::string pidfile = work + "/kervald.pid";

    pid_t daemon = fork();
    if (daemon == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        std::vector<std::string> args = {kervald, "--foreground", "--pidfile=" + pidfile, "--log-level=errors", "--timeout=60",
                                         "local:" + socket, "inet:0@127.0.0.1"};
        std::vector<char*> raw;
        for (std::string& arg : args) raw.push_back(arg.data());
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
    struct stat info;
    for (const double deadline = now() + 10; stat(pidfile.c_str(), &info) != 0; usleep(2000)) {
        if (now() > deadline || waitpid(daemon, nullptr, WNOHANG) == daemon) {
            fprintf(stderr, "bench-scan: kervald did not start\n");
            return 1;
        }
    }
    std::string tcp;
    {
        std::ifstream in(pidfile);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("127.0.0.1:", 0) == 0) tcp = "inet:" + line.substr(10) + "@127.0.0.1";
        }
    }

    struct size_case {
        const char* label;
        size_t bytes;
    };
    const size_case sizes[] = {{"4 KB", 4096}, {"10 MB", 10u << 20}};
    const outcome idle = in_child([] {
        outcome o;
        o.failed = kv::startup(kv::KV_LIB_VERSION, "default", 30, 0) != kv::KV_OK;
        (void)kv::cleanup();
        return o;
    });
    printf("client peak RSS of an idle started library: %ld KB\n\n", idle.max_rss_kb);
    printf("%-9s %-6s %-8s %10s %12s %11s %14s\n", "transport", "size", "mode", "requests", "requests/s", "MB/s",
           "client RSS KB");
    int status = 0;
    for (const size_case& size : sizes) {
        const std::string path = work + "/message-" + std::to_string(size.bytes);
        std::ofstream(path, std::ios::binary) << message(size.bytes);
        for (const auto& [transport, address] : {std::pair<const char*, std::string>{"unix", "local:" + socket},
                                                 std::pair<const char*, std::string>{"tcp", tcp}}) {
            for (int local : {1, 0}) {
                const outcome o = measure(address, path, local, budget);
                const double rate = o.seconds > 0 ? static_cast<double>(o.requests) / o.seconds : 0;
                printf("%-9s %-6s %-8s %10ld %12.1f %11.1f %14ld%s\n", transport, size.label,
                       local ? "local" : "content", o.requests, rate,
                       rate * static_cast<double>(size.bytes) / (1 << 20), o.max_rss_kb, o.failed ? "  FAILED" : "");
                if (o.failed) status = 1;
            }
        }
    }
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    return status;
}
