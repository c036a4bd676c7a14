// kvc_log: the one process-wide log facility of the programs and the client library.
//
// log_init chooses the target (console = standard error, or the system log, or
// both), the highest level written, and the syslog facility and priority; log
// writes one printf-style message when its level is enabled. Every message of a
// run carries the same syslog priority. Tests install a capture that receives
// each message that passes the level filter instead of the console or the
// system log.
//
// Threads: every operation may be called from any thread at any time. A line is
// formatted by its own thread and written whole (to the capture, the system log
// or standard error) under one process-wide lock, so lines never interleave, and
// a change of target by log_init takes effect between two lines. Each thread has
// its own message context (log_set_context): while set, every line that thread
// logs starts with "CONTEXT: ". The capture hook is called under the log lock,
// one line at a time; it must not call log_set_capture, and a line it logs
// itself is dropped. After log_set_capture returns, no thread is still inside
// the previous hook. The lock is held across fork, so a child process finds the
// log usable.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kv {

// Message levels; the configuration words are the names.
enum LogLevel : int { Quiet = 0, Errors = 2, Alerts = 3, Info = 4, Verbose = 5, Debug = 9 };

// Options of log_init.
enum LogOption : int {
    LogDefault = 0,
    // With the system log as target: every line also goes to standard error (in
    // the system log's form, "IDENT[PID]: text"), for a daemon in the foreground.
    LogAlsoConsole = 1,
};

// target: "console" (any case, first 7 bytes) logs to standard error, another text
// turns logging off, nullptr selects the system log with the ident (and, with
// LogAlsoConsole, standard error as well).
void log_init(const char* target, int level, int facility, int priority, const char* ident,
              int options = LogDefault);

void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The configured level (0 when logging is disabled).
int log_level();

// The calling thread's message context, put before each of its lines as
// "TEXT: "; an empty text clears it.
void log_set_context(std::string_view text);

// Test hook: while set, each message that passes the filter goes to the sink only.
using log_sink = std::function<void(int level, const std::string& text)>;
void log_set_capture(log_sink sink);

}  // namespace kv
