#include "kv_dfork.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "kv_runguard.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

const char* const kUnit = "kv_dfork";

// waitpid, repeated while interrupted: the pid, 0 (still running) or -1 (logged).
pid_t wait_child(pid_t pid, bool block, const char* name, int* status) {
    while (true) {
        pid_t done = waitpid(pid, status, block ? 0 : WNOHANG);
        if (done >= 0) return done;
        if (errno != EINTR) {
            log(Errors, "starter: wait for %s[%d] failed - %s", name, static_cast<int>(pid), stdlib_error(errno));
            return -1;
        }
        log(Debug, "starter: wait for %s[%d] interrupted", name, static_cast<int>(pid));
    }
}

// Logs how the child ended: STARTER_OK for exit status 0, else STARTER_FAILED.
int report_status(pid_t pid, int status, const char* name) {
    const int id = static_cast<int>(pid);
    if (WIFSIGNALED(status)) log(Errors, "starter: %s[%d] exited on signal %d", name, id, WTERMSIG(status));
    if (WIFSTOPPED(status)) log(Errors, "starter: %s[%d] stopped by signal %d", name, id, WSTOPSIG(status));
    if (!WIFEXITED(status)) {
        log(Errors, "starter: %s[%d] terminates abnormally with status %d", name, id, status >> 8);
        return STARTER_FAILED;
    }
    if (WEXITSTATUS(status) != 0) {
        log(Errors, "starter: %s[%d] with error code %d", name, id, WEXITSTATUS(status));
        return STARTER_FAILED;
    }
    log(Debug, "starter: %s[%d] exited normally", name, id);
    return STARTER_OK;
}

}  // namespace

int starter_wait(pid_t pid, bool block, const char* name) {
    if (name == nullptr) {
        log(Errors, "%s (%s:%d) bad parameter was passed", "starter: wait ", kUnit, __LINE__);
        return STARTER_FAILED;
    }
    int status = 0;
    pid_t done = wait_child(pid, block, name, &status);
    if (done < 0) return STARTER_FAILED;
    if (done == 0) {
        log(Debug, "starter: %s[%d] is still running", name, static_cast<int>(pid));
        return STARTER_RUNNING;
    }
    return report_status(pid, status, name);
}

child_process starter_start(const char* path, const std::vector<std::string>& argv, int input) {
    if (path == nullptr || argv.empty() || input < 0) {
        log(Errors, "%s bad parameters (%d.%d.%d) were passed (%s:%d)", "starter:", path == nullptr ? 1 : 0,
            argv.empty() ? 1 : 0, input < 0 ? 1 : 0, kUnit, __LINE__);
        return child_process();
    }
    // Built before the fork: the child only execs or exits.
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // The signals that stop the run wait until the child is known to the run
    // guard, and the child has its default handlers back.
    sigset_t stops, old;
    sigemptyset(&stops);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGALRM}) sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    pid_t pid = fork();
    if (pid < 0) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        log(Errors, "starter: cannot fork for execute %s", path);
        return child_process();
    }
    if (pid == 0) {
        runguard_in_child();
        // The program starts with no signal blocked, whatever this thread blocks
        // (a threaded front end keeps its signals for one thread).
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        if (input != STDIN_FILENO) {
            if (dup2(input, STDIN_FILENO) < 0) {
                log(Errors, "starter: cannot bind pipe with stdin");
                _exit(kStarterCannotRun);
            }
            close(input);
        }
        // Nothing else of this process reaches the program (a threaded front
        // end has other messages' files and connections open).
        closefrom(STDERR_FILENO + 1);
        execv(path, args.data());
        int err = errno;
        log(Errors, "starter: cannot execv() for %s - (%d) %s", path, err, stdlib_error(err));
        _exit(kStarterCannotRun);
    }
    runguard_set_child(pid);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return child_process(pid);
}

child_process::child_process(child_process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), collected_(other.collected_) {}

child_process& child_process::operator=(child_process&& other) noexcept {
    if (this != &other) {
        reap_quietly();
        pid_ = std::exchange(other.pid_, -1);
        collected_ = other.collected_;
    }
    return *this;
}

child_process::~child_process() { reap_quietly(); }

void child_process::collected() {
    collected_ = true;
    runguard_clear_child(pid_);
}

void child_process::reap_quietly() {
    if (pid_ > 0 && !collected_) {
        int saved = errno;
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        errno = saved;
        collected();
    }
    collected_ = true;
}

int child_process::wait(bool block, const char* name) {
    if (pid_ <= 0 || collected_) return STARTER_FAILED;
    if (name == nullptr) return starter_wait(pid_, block, name);  // logs the bad parameter
    int result = starter_wait(pid_, block, name);
    // Once waitpid has answered for the child (or failed), its pid must never be
    // signalled again: it may belong to another process by now.
    if (result != STARTER_RUNNING) collected();
    return result;
}

namespace {

long long elapsed_ms(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Sleeps until the child ends or the time is up, on a pidfd when the kernel has
// them (false when it has not: the caller then polls).
bool sleep_until_exit(pid_t pid, const timespec& start, std::chrono::milliseconds timeout) {
#ifdef SYS_pidfd_open
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return false;
    while (true) {
        long long left = timeout.count() - elapsed_ms(start);
        if (left <= 0) break;
        pollfd ready{pidfd, POLLIN, 0};
        int n = poll(&ready, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (n > 0 || (n < 0 && errno != EINTR)) break;
    }
    close(pidfd);
    return true;
#else
    (void)pid;
    (void)start;
    (void)timeout;
    return false;
#endif
}

}  // namespace

int child_process::wait_for(std::chrono::milliseconds timeout, const char* name) {
    if (pid_ <= 0 || collected_) return STARTER_FAILED;
    if (name == nullptr) return starter_wait(pid_, false, name);  // logs the bad parameter
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool tried_pidfd = false;
    long pause_ns = 1000 * 1000;  // without a pidfd: 1 ms, doubled up to 50 ms
    while (true) {
        int status = 0;
        pid_t done = wait_child(pid_, false, name, &status);
        if (done != 0) {
            collected();
            return done < 0 ? STARTER_FAILED : report_status(pid_, status, name);
        }
        long long waited_ms = elapsed_ms(start);
        if (waited_ms >= timeout.count()) {
            log(Debug, "starter: %s[%d] is still running", name, static_cast<int>(pid_));
            return STARTER_RUNNING;
        }
        if (!tried_pidfd) {
            tried_pidfd = true;
            if (sleep_until_exit(pid_, start, timeout)) continue;
        }
        long long left_ns = (timeout.count() - waited_ms) * 1000000LL;
        timespec pause{0, static_cast<long>(std::min<long long>(pause_ns, left_ns))};
        nanosleep(&pause, nullptr);
        pause_ns = std::min(pause_ns * 2, 50L * 1000 * 1000);
    }
}

int child_process::kill_and_wait(const char* name) {
    if (pid_ <= 0 || collected_) return STARTER_FAILED;
    kill(pid_, SIGKILL);
    return wait(true, name != nullptr ? name : "child");
}

}  // namespace kv
