// The stand-in kervald for tests: started in a directory, listening on a UNIX
// socket there and/or on 127.0.0.1 at a free port, and stopped (SIGTERM, waited
// for) when the object goes. The constructor returns once the daemon's pid file
// exists, that is once every address accepts connections; a daemon that does
// not come up is reported as a test failure with its log.
//
// Files in the directory, named after options::name: NAME.sock (socket), NAME.pid,
// NAME.ctl (control file, see control()), NAME.rec (one line per request the
// daemon served, see record()), NAME.log (its standard error).
#pragma once

#include <sys/types.h>

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

private:
    std::string base_;
    pid_t pid_ = -1;
    int tcp_port_ = 0;
};

// The EICAR test file, assembled at run time.
std::string eicar();

}  // namespace kvtest
