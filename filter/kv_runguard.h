// kv_runguard: how a pipe filter run ends when it is stopped from outside.
//
// Once installed, SIGTERM, SIGINT and SIGHUP, and the whole-run deadline
// (SIGALRM), stop the run at once: the running submission program is killed
// before it can queue anything, the files registered here (the spool file, a
// cured copy) are removed, a line for the mail system's delivery report goes to
// standard output, and the process exits 75, so the mail system keeps the
// message and tries again. Everything the handler does is async-signal-safe.
//
// Without runguard_install (the milter, the tests) the registry calls do nothing.
#pragma once

#include <sys/types.h>

namespace kv {

// Exit status of a stopped run: the mail system keeps the message.
constexpr int kStoppedStatus = 75;

// Installs the handlers; deadline_seconds > 0 arms the whole-run deadline.
void runguard_install(unsigned deadline_seconds);

// The running child, stopped with the run (runguard_clear_child when collected).
void runguard_set_child(pid_t pid);
void runguard_clear_child(pid_t pid);
// Run in a new child before exec: the default dispositions again, and no registry.
void runguard_in_child();

// Files removed when the run is stopped; at most a few at a time (false when full).
bool runguard_add_file(const char* path);
void runguard_forget_file(const char* path);

}  // namespace kv
