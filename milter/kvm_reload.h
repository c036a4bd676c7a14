// kvm_reload: the configuration read again on SIGUSR1 (libmilter keeps SIGHUP,
// SIGTERM and SIGINT for itself: each of them stops it). A thread of its own
// waits for the signal, which every thread must have blocked before any
// thread starts (block_signals). A file that loads replaces the configuration
// of the messages that begin from then on; connections stay up. A file that
// does not load leaves the old configuration in force. Settings that only
// take effect at start (the socket, its access, the accounts, the pid file,
// Foreground) are reported when they changed.
#pragma once

#include <atomic>
#include <csignal>
#include <string>
#include <thread>

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

class reload_thread {
public:
    reload_thread(service& svc, std::string path, bool foreground, bool debug);
    ~reload_thread();  // ends and joins the thread
    reload_thread(const reload_thread&) = delete;
    reload_thread& operator=(const reload_thread&) = delete;

private:
    void run();

    service& svc_;
    std::string path_;
    bool foreground_;
    bool debug_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace kv::milter
