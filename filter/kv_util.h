// kv_util: preparing the process before a message is handled, and reporting to
// the statistics agent: starting the daemon client library with the configured
// addresses, checking the daemon's version, switching to another account for a
// configuration check, and sending a scan's statistics to the agent.
// Results 1 / 0 after logging why.
#pragma once

#include "kv_settings.h"
#include "kvc_result.h"

namespace kv {

// The interface version the filter asks of the client library (4.7).
constexpr int kLibraryVersion = 0x0407;

// Starts the client library with the primary daemon and adds the backups.
int init_lib(const daemon_settings& daemon);
// The oldest daemon the filter works with, and its version as text.
constexpr int kMinDaemonMajor = 4;
constexpr int kMinDaemonMinor = 33;
constexpr const char* kMinDaemonVersion = "4.33";
// Accepts a daemon of version kMinDaemonVersion or later.
int check_daemon_version();
// Switches group then user to the named account; with nullptr only reports the
// current account.
int set_check_user(const char* user);
// Sends the statistics and the known viruses and modifications of a scan to the
// agent; 1 when it acknowledged them or when no agent is configured.
int drop_stat(const agent_settings& agent, scanresult* result);

}  // namespace kv
