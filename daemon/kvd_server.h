// kvd_server: the stand-in daemon's listeners and its request loop.
//
// It listens on every address (or, with refuse, only binds them so that every
// connection is refused), writes the pid file (the pid, then one address per
// line: "host:port" or the socket path) once all addresses are ready, and serves
// one connection at a time until SIGTERM or SIGINT, then removes its socket files
// and its pid file. Each connection carries one request: a query, a scan, or, in
// agent mode, a statistics report. What each request was is appended to the
// record file when there is one.
#pragma once

#include <string>
#include <vector>

#include "kvd_settings.h"

namespace kvd {

struct server_options {
    std::vector<std::string> addresses;
    std::string pidfile;
    std::string control;  // re-read before every request
    std::string record;   // what every request was
    int timeout = 10;     // seconds for each connection; 0 = none
    bool refuse = false;
    bool agent = false;
    answer_settings answers;
};

// Runs until stopped by a signal; the exit status (0 after a clean stop).
int run_server(const server_options& options);

}  // namespace kvd
