#include "kvd_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#include <atomic>
#include <cstdio>
#include <cstring>

#ifdef KV_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kvd {
namespace {

const char* const kIdent = "kervald";

std::atomic<bool> echo_on{false};
int log_facility = LOG_DAEMON;
int ready_fd = -1;  // the detached child's end of the pipe its parent waits on

int priority_of(int level) {
    if (level <= kv::Errors) return LOG_ERR;
    if (level == kv::Alerts) return LOG_WARNING;
    if (level == kv::Info) return LOG_INFO;
    return LOG_DEBUG;
}

// Points descriptor fd at /dev/null.
void to_null(int fd, int flags) {
    const int null = open("/dev/null", flags);
    if (null < 0) return;
    if (null != fd) {
        dup2(null, fd);
        close(null);
    }
}

// Closes every open descriptor above 2 but keep.
void close_descriptors(int keep) {
    std::vector<int> open_fds;
    if (DIR* dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        while (const dirent* entry = readdir(dir)) {
            const int fd = atoi(entry->d_name);
            if (entry->d_name[0] != '.' && fd != own) open_fds.push_back(fd);
        }
        closedir(dir);
    } else {
        const long most = std::min(sysconf(_SC_OPEN_MAX), 65536L);
        for (int fd = 0; fd < most; ++fd) open_fds.push_back(fd);
    }
    for (int fd : open_fds) {
        if (fd > 2 && fd != keep) close(fd);
    }
}

}  // namespace

int facility_of(const std::string& name) {
    static const std::pair<const char*, int> facilities[] = {
        {"auth", LOG_AUTH},     {"authpriv", LOG_AUTHPRIV}, {"cron", LOG_CRON},     {"daemon", LOG_DAEMON},
        {"ftp", LOG_FTP},       {"lpr", LOG_LPR},           {"mail", LOG_MAIL},     {"news", LOG_NEWS},
        {"syslog", LOG_SYSLOG}, {"user", LOG_USER},         {"uucp", LOG_UUCP},     {"local0", LOG_LOCAL0},
        {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2},     {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4},
        {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6},     {"local7", LOG_LOCAL7}};
    for (const auto& [word, facility] : facilities) {
        if (strcasecmp(word, name.c_str()) == 0) return facility;
    }
    return -1;
}

void start_log(int level, int facility, bool echo) {
    kv::log_init("console", level, facility, 0, kIdent);
    log_facility = facility;
    openlog(kIdent, LOG_PID, facility);
    echo_on = echo;
    kv::log_set_capture([](int message_level, const std::string& text) {
        syslog(priority_of(message_level), "%s", text.c_str());
        if (echo_on) fprintf(stderr, "%s\n", text.c_str());
    });
}

bool detach() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        kv::log(kv::Errors, "kervald: cannot detach - %s", kv::stdlib_error(errno));
        return false;
    }
    // The child reconnects to the system log itself.
    closelog();
    const pid_t child = fork();
    if (child < 0) {
        kv::log(kv::Errors, "kervald: cannot detach - %s", kv::stdlib_error(errno));
        openlog(kIdent, LOG_PID, log_facility);
        close(ready[0]);
        close(ready[1]);
        return false;
    }
    if (child > 0) {
        // The parent leaves without touching the sockets and files the child now owns.
        close(ready[1]);
        char byte = 0;
        ssize_t got;
        do {
            got = read(ready[0], &byte, 1);
        } while (got < 0 && errno == EINTR);
        if (got != 1) fputs("kervald: the daemon ended before it was ready\n", stderr);
        _exit(got == 1 ? 0 : 1);
    }
    close(ready[0]);
    setsid();
    if (chdir("/") != 0) kv::log(kv::Alerts, "kervald: cannot change to / - %s", kv::stdlib_error(errno));
    close_descriptors(ready[1]);
    to_null(0, O_RDONLY);
    to_null(1, O_WRONLY);
    openlog(kIdent, LOG_PID, log_facility);
    ready_fd = ready[1];
    return true;
}

void detach_ready() {
    if (ready_fd < 0) return;
    echo_on = false;
    to_null(2, O_WRONLY);
    const char byte = 1;
    if (write(ready_fd, &byte, 1) != 1) kv::log(kv::Errors, "kervald: cannot tell the parent it is ready");
    close(ready_fd);
    ready_fd = -1;
}

void notify(const char* state) {
#ifdef KV_HAVE_SYSTEMD
    sd_notify(0, state);
#else
    (void)state;
#endif
}

}  // namespace kvd
