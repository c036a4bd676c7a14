#include "kvc_log.h"

#include <cstdarg>
#include <cstdio>
#include <strings.h>
#include <syslog.h>

#include "kvc_mutex.h"

namespace kv {
namespace {

struct log_state {
    bool enabled = false;
    int level = 0;
    bool to_syslog = true;
    int facility = 0;
    int priority = 0;
    log_sink capture;
};

log_state& state() {
    static log_state s;
    return s;
}

}  // namespace

void log_init(const char* target, int level, int facility, int priority, const char* ident) {
    log_state& s = state();
    if (level <= 0) {
        s.enabled = false;
        s.level = 0;
    } else {
        s.enabled = true;
        s.level = level;
    }
    if (target != nullptr) {
        s.to_syslog = false;
        if (strncasecmp(target, "console", 7) != 0) s.enabled = false;
    } else {
        s.to_syslog = true;
        closelog();
        openlog(ident, LOG_PID, facility);
    }
    s.facility = facility;
    s.priority = priority;
    stdlib_error_lock_init();
}

int log_level() { return state().enabled ? state().level : 0; }

void log_set_capture(log_sink sink) { state().capture = std::move(sink); }

void log(int level, const char* format, ...) {
    log_state& s = state();
    if (format == nullptr || !s.enabled || level > s.level) return;
    va_list ap;
    va_start(ap, format);
    if (s.capture) {
        va_list copy;
        va_copy(copy, ap);
        int n = vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0) vsnprintf(text.data(), text.size() + 1, format, ap);
        s.capture(level, text);
    } else if (s.to_syslog) {
        vsyslog(s.facility | s.priority, format, ap);
    } else {
        vfprintf(stderr, format, ap);
        fputc('\n', stderr);
        fflush(stderr);
    }
    va_end(ap);
}

}  // namespace kv
