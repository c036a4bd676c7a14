// kvm_reload: the signals of the running milter: the configuration read again
// on SIGUSR1 (libmilter keeps SIGHUP, SIGTERM and SIGINT for itself: each of
// them stops it), and the stop signals caught before libmilter sees them, so
// that the milter can stop gracefully. Every thread must have the signals
// blocked before any thread starts (block_signals). A file that loads replaces the configuration
// of the messages that begin from then on; connections stay up. A file that
// does not load leaves the old configuration in force. Settings that only
// take effect at start (the socket, its access, the accounts, the pid file,
// Foreground) are reported when they changed.
#pragma once

#include <atomic>
#include <csignal>
#include <string>

#include "kvm_service.h"

namespace kv::milter {

constexpr int kReloadSignal = SIGUSR1;

// Blocks the signals the milter's own threads wait for (libmilter's stop
// signals and the reload signal) in the calling thread, and ignores SIGPIPE.
void block_signals();

// Reads path again into svc; true when the new configuration is in force.
bool reload(service& svc, const std::string& path, bool foreground, bool debug);

// The logging of a configuration (system log, and standard error in the
// foreground or with --debug).
void apply_logging(const runtime_config& config, bool foreground, bool debug);

// The main thread's loop while libmilter serves: a reload for each SIGUSR1,
// until a stop signal (SIGTERM, SIGINT, SIGHUP: answered) arrives or ended
// turns true (libmilter stopped by itself: 0). Run in the process's first
// thread: a signal sent to the process goes to that thread first while it
// waits, before libmilter's own signal thread, which would stop at once and
// drop the sessions in progress.
int wait_for_signals(service& svc, const std::string& path, bool foreground, bool debug,
                     const std::atomic<bool>& ended);

}  // namespace kv::milter
