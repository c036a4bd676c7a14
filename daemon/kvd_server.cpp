#include "kvd_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "kvc_fd.h"
#include "kvc_ipc.h"
#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvd_pool.h"
#include "kvd_process.h"

namespace kvd {
namespace {

namespace ipc = kv::ipc;

constexpr int BACKLOG = 128;
constexpr int ACCEPT_PAUSE_MS = 100;  // after a failed accept, before the next one

struct listener {
    std::string spec;
    std::unique_ptr<ipc::channel> ch;
};

// The pid-file line for a listener: "host:port" or the socket path.
std::string pidfile_line(const ipc::channel& ch) {
    if (ch.type != ipc::FAMILY_TCP) return ipc::unix_filename(ch.local);
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (getsockname(ch.fd.get(), reinterpret_cast<sockaddr*>(&bound), &size) != 0) bound = ch.local.socket.in;
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &bound.sin_addr, dotted, sizeof dotted);
    return std::string(dotted) + ":" + std::to_string(ntohs(bound.sin_port));
}

// Written whole under a temporary name and renamed, so a reader never sees half of it.
bool write_pidfile(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    kv::unique_fd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const bool ok = file.valid() && write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    file.close() == 0 && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        kv::log(kv::Errors, "kervald: cannot write pid file %s - %s", path.c_str(), kv::stdlib_error(errno));
        unlink(temporary.c_str());
    }
    return ok;
}

// A bound socket that does not listen: every connection to it is refused.
std::unique_ptr<ipc::channel> bind_only(const std::string& spec, int timeout) {
    int family = ipc::FAMILY_NONE;
    std::unique_ptr<ipc::address> record = ipc::parse_address(spec, 1, family);
    std::unique_ptr<ipc::channel> ch;
    if (!record || ipc::make(family, record.get(), nullptr, timeout, 0, 1, ch) != ipc::IPC_OK ||
        ipc::bind(*ch) != ipc::IPC_OK) {
        if (ch) (void)ipc::delete_channel(ch);
        return nullptr;
    }
    return ch;
}

// Makes a listener; a UNIX-domain socket file is created with no more than its
// mode allows and then given its owner, group and exact mode.
std::unique_ptr<ipc::channel> open_listener(const server_options& o, const std::string& spec) {
    const mode_t old_mask = umask(0777 & ~o.socket_mode);
    std::unique_ptr<ipc::channel> ch =
        o.refuse ? bind_only(spec, o.timeout) : ipc::create_server(spec, o.timeout, 1, BACKLOG);
    umask(old_mask);
    if (!ch || ch->type != ipc::FAMILY_UNIX) return ch;
    const char* path = ipc::unix_filename(ch->local);
    if ((o.socket_user || o.socket_group) &&
        chown(path, o.socket_user.value_or(static_cast<uid_t>(-1)), o.socket_group.value_or(static_cast<gid_t>(-1))) !=
            0) {
        kv::log(kv::Errors, "kervald: cannot give %s its owner or group - %s", path, kv::stdlib_error(errno));
        return nullptr;
    }
    if (chmod(path, o.socket_mode) != 0) {
        kv::log(kv::Errors, "kervald: cannot set the mode of %s - %s", path, kv::stdlib_error(errno));
        return nullptr;
    }
    return ch;
}

struct engine_choice {
    bool ok = false;
    std::shared_ptr<const engine> loaded;  // none: the built-in matcher
};

// The engine the settings ask for. running: an engine is in use already (a
// reload), so databases that are missing now are a failure, not a reason to
// fall back to the built-in matcher.
engine_choice open_engine(const server_options& o, bool running) {
    const std::string& dir = o.database_directory;
    if (o.builtin_only) {
        kv::log(kv::Info,
                "kervald: no signature engine configured (--database-directory=none): only the built-in EICAR "
                "test file matcher scans");
        return {true, nullptr};
    }
    if (!o.database_given && !running && !holds_databases(dir)) {
        kv::log(kv::Alerts, "kervald: no signature databases in %s: only the built-in EICAR test file matcher scans",
                dir.c_str());
        return {true, nullptr};
    }
    std::string error;
    std::shared_ptr<const engine> e =
        engine::load(engine_settings{dir, o.requests.temporary_directory, o.limits}, error);
    if (!e) {
        kv::log(kv::Errors, "kervald: cannot load the signature databases from %s - %s", dir.c_str(), error.c_str());
        return {};
    }
    kv::log(kv::Info, "kervald: %s loaded %u signatures from %s", engine_version().c_str(), e->signatures(),
            dir.c_str());
    return {true, e};
}

// Loads the databases beside the running engine and swaps the new one in.
void reload(const server_options& o, service& svc) {
    kv::log(kv::Info, "kervald: reloading the signature databases");
    const bool running = svc.engines.get() != nullptr;
    engine_choice choice = open_engine(o, running);
    if (!choice.ok) {
        kv::log(kv::Errors, "kervald: reload failed: %s",
                running ? "the signature databases loaded before stay in use"
                        : "only the built-in EICAR test file matcher scans");
        return;
    }
    if (choice.loaded) {
        svc.engines.set(std::move(choice.loaded));
        kv::log(kv::Info, "kervald: signature databases reloaded");
    }
}

// Blocks the stop and reload signals in this thread and the threads it starts;
// they arrive on the descriptor returned (-1 on failure).
int signal_descriptor() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, sig);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return -1;
    return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

class server {
public:
    server(const server_options& o, service& svc, std::vector<listener>& listeners)
        : o_(o), svc_(svc), listeners_(listeners), pool_([&svc](ipc::channel& ch) { serve_connection(ch, svc); },
                                                         [this] { wake(); }) {}
    ~server() {
        pool_.drain();
        finish_reload(true);
    }

    // The descriptors and threads; false (logged) when they cannot be made.
    bool start(size_t workers) {
        signals_.reset(signal_descriptor());
        wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!signals_.valid() || !wake_.valid()) {
            kv::log(kv::Errors, "kervald: cannot set up the signal and wake-up descriptors - %s",
                    kv::stdlib_error(errno));
            return false;
        }
        return pool_.start(workers);
    }

    // Serves until a stop signal; false when waiting for connections failed.
    bool run() {
        bool paused = false;  // an accept failed: the next wait does not accept
        for (;;) {
            std::vector<pollfd> fds = {{signals_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            const bool accepting = !o_.refuse && !paused && pool_.idle();
            if (accepting) {
                for (const listener& l : listeners_) fds.push_back({ipc::get_fd(l.ch.get()), POLLIN, 0});
            }
            const int ready = poll(fds.data(), fds.size(), paused ? ACCEPT_PAUSE_MS : -1);
            paused = false;
            if (ready < 0 && errno != EINTR) {
                kv::log(kv::Errors, "kervald: waiting for connections failed - %s", kv::stdlib_error(errno));
                return false;
            }
            if (ready <= 0) continue;
            if ((fds[0].revents & POLLIN) && take_signals()) return true;
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                (void)!read(wake_.get(), &count, sizeof count);
                finish_reload(false);
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN) || !pool_.idle()) continue;
                std::unique_ptr<ipc::channel> ch;
                if (ipc::accept(*listeners_[i - 2].ch, ch, o_.timeout) != ipc::IPC_OK) {
                    paused = true;
                    continue;
                }
                pool_.submit(std::move(ch));
            }
        }
    }

    // Lets the workers finish and waits for a reload in progress.
    void drain() {
        notify("STOPPING=1");
        kv::log(kv::Info, "kervald: stopping: finishing the connections in progress");
        pool_.drain();
        finish_reload(true);
    }

private:
    void wake() {
        const uint64_t one = 1;
        (void)!write(wake_.get(), &one, sizeof one);
    }

    // Handles the pending signals; true when one of them asks to stop.
    bool take_signals() {
        signalfd_siginfo info;
        bool stop = false;
        while (read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGHUP) {
                start_reload();
            } else {
                stop = true;
            }
        }
        return stop;
    }

    void start_reload() {
        if (reloader_.joinable()) {
            kv::log(kv::Info, "kervald: a reload is in progress; another one follows it");
            reload_again_ = true;
            return;
        }
        notify("RELOADING=1");
        reload_done_ = false;
        try {
            reloader_ = std::thread([this] {
                reload(o_, svc_);
                reload_done_ = true;
                wake();
            });
        } catch (const std::system_error& e) {
            kv::log(kv::Errors, "kervald: cannot start the reload - %s", e.what());
            notify("READY=1");
        }
    }

    // Joins a finished reload (or, with wait, one still in progress) and starts
    // the one asked for meanwhile.
    void finish_reload(bool wait) {
        if (!reloader_.joinable() || (!wait && !reload_done_)) return;
        reloader_.join();
        notify("READY=1");
        if (reload_again_ && !wait) {
            reload_again_ = false;
            start_reload();
        }
    }

    const server_options& o_;
    service& svc_;
    std::vector<listener>& listeners_;
    worker_pool pool_;
    kv::unique_fd signals_;
    kv::unique_fd wake_;
    std::thread reloader_;
    std::atomic<bool> reload_done_{false};
    bool reload_again_ = false;
};

}  // namespace

int run_server(const server_options& o) {
    // Detached first, before anything holds a descriptor that closing them all
    // would pull away; until it is ready its failures still reach standard error.
    if (!o.foreground && !detach()) return 1;
    if (ipc::init() != ipc::IPC_OK) {
        kv::log(kv::Errors, "kervald: cannot start the IPC subsystem");
        return 1;
    }
    service svc(o.requests);
    std::vector<listener> listeners;
    auto shut_down = [&](int status) {
        for (listener& l : listeners) (void)ipc::delete_channel(l.ch);
        (void)ipc::done();
        return status;
    };
    const std::string& temporary = o.requests.temporary_directory;
    struct stat info;
    const char* unusable = stat(temporary.c_str(), &info) != 0            ? kv::stdlib_error(errno)
                           : !S_ISDIR(info.st_mode)                       ? "not a directory"
                           : access(temporary.c_str(), W_OK | X_OK) != 0 ? kv::stdlib_error(errno)
                                                                          : nullptr;
    if (unusable != nullptr) {
        kv::log(kv::Errors, "kervald: cannot keep temporary files in %s - %s", temporary.c_str(), unusable);
        return shut_down(1);
    }
    engine_choice choice = open_engine(o, false);
    if (!choice.ok) return shut_down(1);
    svc.engines.set(std::move(choice.loaded));

    std::string pid_text;
    for (const std::string& spec : o.addresses) {
        listener l{spec, open_listener(o, spec)};
        if (!l.ch) {
            kv::log(kv::Errors, "kervald: cannot listen on %s", spec.c_str());
            return shut_down(1);
        }
        const std::string line = pidfile_line(*l.ch);
        kv::log(kv::Info, "kervald: %s on %s (%s)", o.refuse ? "refusing connections" : "listening", spec.c_str(),
                line.c_str());
        pid_text += line + "\n";
        listeners.push_back(std::move(l));
    }

    const size_t workers = o.workers > 0 ? o.workers : std::max(2u, std::thread::hardware_concurrency() * 2);
    int status = 0;
    {
        server s(o, svc, listeners);
        if (!s.start(workers)) return shut_down(1);
        if (!o.pidfile.empty() && !write_pidfile(o.pidfile, std::to_string(getpid()) + "\n" + pid_text)) {
            s.drain();
            return shut_down(1);
        }
        kv::log(kv::Info, "kervald: ready with %zu workers", workers);
        detach_ready();
        notify("READY=1");
        if (!s.run()) status = 1;
        s.drain();
    }
    if (!o.pidfile.empty()) unlink(o.pidfile.c_str());
    kv::log(kv::Info, "kervald: stopped");
    return shut_down(status);
}

}  // namespace kvd
