// kvc_log: the one process-wide log facility of the filter and the client library.
//
// log_init chooses the target (console = standard error, or the system log), the
// highest level written, and the syslog facility and priority; log writes one
// printf-style message when its level is enabled. Every message of a run carries
// the same syslog priority. Tests install a capture that receives each message
// that passes the level filter instead of the console or the system log.
#pragma once

#include <functional>
#include <string>

namespace kv {

// Message levels; the configuration words are the names.
enum LogLevel : int { Quiet = 0, Errors = 2, Alerts = 3, Info = 4, Verbose = 5, Debug = 9 };

// target: "console" (any case, first 7 bytes) logs to standard error, another text
// turns logging off, nullptr selects the system log with the ident.
void log_init(const char* target, int level, int facility, int priority, const char* ident);

void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The configured level (0 when logging is disabled).
int log_level();

// Test hook: while set, each message that passes the filter goes to the sink only.
using log_sink = std::function<void(int level, const std::string& text)>;
void log_set_capture(log_sink sink);

}  // namespace kv
