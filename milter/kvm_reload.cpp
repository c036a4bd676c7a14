#include "kvm_reload.h"

#include <csignal>
#include <ctime>

#include "kvc_log.h"
#include "kvm_settings.h"
#include "kvm_options.h"

namespace kv::milter {

void block_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGHUP, SIGTERM, SIGINT, kReloadSignal}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void apply_logging(const runtime_config& config, bool foreground, bool debug) {
    const logging_settings& logging = config.filter.logging;
    log_init(nullptr, debug ? Debug : logging.level, logging.facility, logging.priority, kMilterIdent,
             foreground || debug ? LogAlsoConsole : LogDefault);
}

bool reload(service& svc, const std::string& path, bool foreground, bool debug) {
    log(Info, "milter: reloading the configuration from %s", path.c_str());
    auto fresh = std::make_shared<runtime_config>();
    if (!load_milter_config(path.c_str(), *fresh)) {
        log(Errors, "milter: the configuration did not load - the old one stays in force");
        return false;
    }
    std::shared_ptr<const runtime_config> old = svc.config();
    if (old) {
        const milter_settings& a = old->milter;
        const milter_settings& b = fresh->milter;
        if (a.socket != b.socket || a.socket_mode != b.socket_mode || a.socket_group != b.socket_group ||
            a.user != b.user || a.group != b.group || a.pid_file != b.pid_file || a.foreground != b.foreground ||
            a.timeout != b.timeout)
            log(Alerts, "milter: Socket, SocketMode, SocketGroup, User, Group, PidFile, Foreground and Timeout "
                        "take effect at the next start");
    }
    svc.install(fresh);
    apply_logging(*fresh, foreground, debug);
    log(Info, "milter: the configuration is reloaded");
    return true;
}

reload_thread::reload_thread(service& svc, std::string path, bool foreground, bool debug)
    : svc_(svc), path_(std::move(path)), foreground_(foreground), debug_(debug), thread_([this] { run(); }) {}

reload_thread::~reload_thread() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
}

void reload_thread::run() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, kReloadSignal);
    const timespec wait{0, 200 * 1000 * 1000};
    while (!done_) {
        if (sigtimedwait(&set, nullptr, &wait) == kReloadSignal) (void)reload(svc_, path_, foreground_, debug_);
    }
}

}  // namespace kv::milter
