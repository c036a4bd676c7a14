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

int wait_for_signals(service& svc, const std::string& path, bool foreground, bool debug,
                     const std::atomic<bool>& ended) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGHUP, SIGTERM, SIGINT, kReloadSignal}) sigaddset(&set, sig);
    const timespec wait{0, 100 * 1000 * 1000};
    while (!ended) {
        const int sig = sigtimedwait(&set, nullptr, &wait);
        if (sig == kReloadSignal) {
            (void)reload(svc, path, foreground, debug);
        } else if (sig > 0) {
            log(Info, "milter: signal %d - stopping", sig);
            return sig;
        }
    }
    return 0;
}

}  // namespace kv::milter
