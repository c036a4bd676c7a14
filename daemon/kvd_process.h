// kvd_process: the daemon as a process: its log, leaving the terminal, and the
// readiness signal for systemd.
//
// start_log sends every message to the system log under the given facility
// and, while echo is on, to standard error as well (one line per message, from
// any thread). detach forks: the parent waits until the child has called
// detach_ready and exits 0, or exits 1 when the child ends first; the child
// returns, in a session of its own, in "/", with standard input and output on
// /dev/null and every other descriptor closed but standard error, which stays
// until detach_ready so that start-up failures are still seen. notify passes a state ("READY=1", "RELOADING=1", "STOPPING=1") to
// systemd when the daemon was built with libsystemd and runs under it.
#pragma once

#include <string>

namespace kvd {

// A syslog facility by name (daemon, mail, user, local0 ... local7, ...), or -1.
int facility_of(const std::string& name);

void start_log(int level, int facility, bool echo);

// Returns in the child only; false (logged) when the fork failed.
[[nodiscard]] bool detach();
// The detached child is ready: the parent may exit, standard error goes to /dev/null.
void detach_ready();

void notify(const char* state);

}  // namespace kvd
