// kervald for tests: started in the foreground in a directory, listening on a UNIX
// socket there and/or on 127.0.0.1 at a free port, and stopped (SIGTERM, waited
// for) when the object goes. The constructor returns once the daemon's pid file
// exists, that is once every address accepts connections; a daemon that does
// not come up is reported as a test failure with its log. It scans with the
// built-in matcher unless options::databases names a database directory.
//
// Files in the directory, named after options::name: NAME.sock (socket), NAME.pid,
// NAME.ctl (control file, see control()), NAME.rec (one line per request the
// daemon served, see record()), NAME.log (its standard error).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

class stand_in {
public:
    struct options {
        bool unix_socket = true;        // listen on DIR/NAME.sock
        bool tcp = false;               // listen on 127.0.0.1, a free port
        std::vector<std::string> args = {};  // more arguments: answer settings, --refuse, --agent, --log-level=...
        std::string name = "kervald";
        // --database-directory: none for the built-in matcher, empty for the daemon's default.
        std::string databases = "none";
    };

    explicit stand_in(const std::string& dir);
    stand_in(const std::string& dir, options opts);
    ~stand_in();
    stand_in(const stand_in&) = delete;
    stand_in& operator=(const stand_in&) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    std::string socket_path() const { return base_ + ".sock"; }
    std::string pidfile() const { return base_ + ".pid"; }
    std::string unix_address() const { return "local:" + socket_path(); }
    int tcp_port() const { return tcp_port_; }
    std::string tcp_address() const { return "inet:" + std::to_string(tcp_port_) + "@127.0.0.1"; }
    std::string pid_address() const { return "pid:" + pidfile(); }

    // Replaces the control file; the daemon reads it before its next request.
    void control(const std::string& settings) const;
    std::string record() const;
    // The record file: it exists once the first request has come in.
    std::string record_path() const { return base_ + ".rec"; }
    std::string log() const;
    // The record's lines.
    std::vector<std::string> requests() const;

    // SIGTERM and wait; the exit status (-1 when it had to be killed).
    int stop();
    void signal(int sig) const;
    // Waits until the log holds text count times (or more); false after seconds.
    bool wait_for_log(const std::string& text, int count = 1, int seconds = 10) const;
    // A "VmRSS" or "VmHWM" (peak) figure of the daemon's /proc status, in KB; -1 if unknown.
    long memory_kb(const char* field) const;

private:
    std::string base_;
    pid_t pid_ = -1;
    int tcp_port_ = 0;
};

// The EICAR test file, assembled at run time.
std::string eicar();

// One scan of content on a fresh connection to a local: address, spoken on the
// wire directly (no library state, so any thread may use it): the status word,
// or -1 when the exchange failed.
int64_t scan_status(const std::string& address, const std::string& content, int seconds = 10);

}  // namespace kvtest
