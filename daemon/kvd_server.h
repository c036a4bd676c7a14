// kvd_server: the daemon's start, its accept loop, reload and shutdown.
//
// At start it detaches unless it runs in the foreground, loads the signature
// engine (see below), listens on every address (or, with refuse, only binds
// them so that every connection is refused), gives the UNIX-domain socket files
// their owner, group and mode, and writes the pid file (the pid, then one
// address per line: "host:port" or the socket path) once everything is ready;
// then it lets the starting process end, or tells systemd it is ready. Connections are handed to a pool of workers; while
// every worker is busy, new connections wait in the listen backlog.
//
// The engine: with --database-directory=none only the built-in matcher scans.
// A directory given explicitly must load, or the daemon does not start. Without
// one, the default directory is used when it holds databases; when it holds
// none, the daemon says so once and the built-in matcher scans.
//
// SIGHUP loads the databases again into a new engine, beside the running one,
// and swaps it in; scans in progress finish on the old engine, which goes when
// the last of them is done. When the new databases do not load, the old engine
// stays. SIGTERM or SIGINT stops accepting, lets the workers finish the
// connections they have, removes the socket files and the pid file, and ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "kvd_engine.h"
#include "kvd_request.h"

namespace kvd {

constexpr const char* DEFAULT_DATABASE_DIRECTORY = "/var/lib/clamav";

struct server_options {
    std::vector<std::string> addresses;
    std::string pidfile;
    int timeout = 10;      // seconds for each connection; 0 = none
    bool refuse = false;
    bool foreground = false;
    size_t workers = 0;    // 0: twice the number of cores
    std::string database_directory = DEFAULT_DATABASE_DIRECTORY;
    bool database_given = false;  // set explicitly: its databases must load
    bool builtin_only = false;    // no engine at all
    engine_limits limits;
    std::optional<uid_t> socket_user;
    std::optional<gid_t> socket_group;
    mode_t socket_mode = 0660;
    request_settings requests;
};

// Runs until stopped by a signal; the exit status (0 after a clean stop).
int run_server(const server_options& options);

}  // namespace kvd
