#include "kvc_log.h"

#include <errno.h>
#include <pthread.h>
#include <strings.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace kv {
namespace {

constexpr size_t SHORT_LINE = 512;  // lines up to this size are formatted without a second pass

// The target and the hook; guard covers them and every write.
struct log_state {
    log_state();

    std::mutex guard;
    bool to_syslog = true;
    int facility = 0;
    int priority = 0;
    std::string ident;  // openlog keeps the pointer, so the text lives here
    log_sink capture;
};

// Never destroyed: threads may still log while the process exits.
log_state& state() {
    static log_state* s = new log_state;
    return *s;
}

// A fork happens with the lock held by the forking thread, so the child starts
// with the state whole and the lock free.
void lock_for_fork() { state().guard.lock(); }
void unlock_after_fork() { state().guard.unlock(); }

log_state::log_state() { pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork); }

// The enabled level (0: logging off), read without the lock to drop what is
// filtered out cheaply.
std::atomic<int> enabled_level{0};

thread_local std::string context;
// Set while this thread writes a line: a hook that logs would wait for itself.
thread_local bool writing = false;

struct writing_mark {
    writing_mark() { writing = true; }
    ~writing_mark() { writing = false; }
    writing_mark(const writing_mark&) = delete;
    writing_mark& operator=(const writing_mark&) = delete;
};

void write_line(int level, std::string& line) {
    log_state& s = state();
    std::lock_guard<std::mutex> lock(s.guard);
    // log_init may have changed the level since the caller looked.
    const int limit = enabled_level.load(std::memory_order_relaxed);
    if (limit <= 0 || level > limit) return;
    writing_mark mark;
    if (s.capture) {
        s.capture(level, line);
    } else if (s.to_syslog) {
        syslog(s.facility | s.priority, "%s", line.c_str());
    } else {
        line += '\n';
        fwrite(line.data(), 1, line.size(), stderr);
        fflush(stderr);
    }
}

}  // namespace

void log_init(const char* target, int level, int facility, int priority, const char* ident, int options) {
    log_state& s = state();
    std::lock_guard<std::mutex> lock(s.guard);
    bool enabled = level > 0;
    if (target != nullptr) {
        s.to_syslog = false;
        if (strncasecmp(target, "console", 7) != 0) enabled = false;
    } else {
        s.to_syslog = true;
        closelog();
        s.ident = ident != nullptr ? ident : "";
        const int flags = LOG_PID | ((options & LogAlsoConsole) ? LOG_PERROR : 0);
        openlog(ident != nullptr ? s.ident.c_str() : nullptr, flags, facility);
    }
    s.facility = facility;
    s.priority = priority;
    enabled_level.store(enabled ? level : 0, std::memory_order_relaxed);
}

int log_level() { return enabled_level.load(std::memory_order_relaxed); }

void log_set_context(std::string_view text) { context.assign(text); }

void log_set_capture(log_sink sink) {
    log_sink previous;
    {
        log_state& s = state();
        std::lock_guard<std::mutex> lock(s.guard);
        previous = std::move(s.capture);
        s.capture = std::move(sink);
    }
}

void log(int level, const char* format, ...) {
    if (format == nullptr || writing) return;
    const int limit = enabled_level.load(std::memory_order_relaxed);
    if (limit <= 0 || level > limit) return;
    const int saved_errno = errno;

    std::string line;
    if (!context.empty()) {
        line.reserve(context.size() + 2 + SHORT_LINE);
        line.append(context).append(": ");
    }
    const size_t head = line.size();
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    char buffer[SHORT_LINE];
    const int length = vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    if (length > 0 && static_cast<size_t>(length) < sizeof buffer) {
        line.append(buffer, static_cast<size_t>(length));
    } else if (length > 0) {
        line.resize(head + static_cast<size_t>(length));
        vsnprintf(line.data() + head, static_cast<size_t>(length) + 1, format, ap);
    }
    va_end(ap);

    write_line(level, line);
    errno = saved_errno;
}

}  // namespace kv
