// kerval-milter: the virus filter before the queue, as a milter daemon.
#include <libmilter/mfapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "kv_options.h"
#include "kv_selftest.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "kvm_callbacks.h"
#include "kvm_options.h"
#include "kvm_process.h"
#include "kvm_reload.h"
#include "kvm_service.h"
#include "kvm_settings.h"

namespace {

constexpr int kUsage = 64;
constexpr int kSoftware = 70;
constexpr int kOsErr = 71;
constexpr int kTempFail = 75;
constexpr int kConfig = 78;

int run(int argc, char** argv) {
    using namespace kv::milter;
    // Before any thread starts, so that every thread inherits the mask.
    block_signals();
    kv::log_init("console", kv::Info, 0, 0, kMilterIdent);
    int status = 0;
    std::optional<command_line> options = parse_command_line(argc, argv, status);
    if (!options) return status;
    if (options->debug) kv::log_init("console", kv::Debug, 0, 0, kMilterIdent);
    const std::string path = choose_config_file(*options);
    if (path.empty()) return kConfig;

    kv::log(kv::Info, "conf: configuration will be loaded from %s", path.c_str());
    auto config = std::make_shared<runtime_config>();
    if (!load_milter_config(path.c_str(), *config)) {
        kv::log(kv::Errors, "conf: configuration loading has been failed");
        return kConfig;
    }
    if (options->check_only) {
        const bool milter_ok = check_milter_settings(config->milter);
        const bool passed = kv::check_conf(config->filter, 0) != 0;
        return milter_ok && passed ? 0 : kConfig;
    }
    const bool foreground = options->foreground || config->milter.foreground != 0;
    apply_logging(*config, foreground, options->debug);

    service svc;
    smfiDesc desc = description(svc);
    if (smfi_setconn(const_cast<char*>(config->milter.socket.c_str())) != MI_SUCCESS ||
        smfi_settimeout(config->milter.timeout) != MI_SUCCESS || smfi_register(desc) != MI_SUCCESS) {
        kv::log(kv::Errors, "milter: cannot register with the milter library");
        return kSoftware;
    }
    if (smfi_opensocket(true) != MI_SUCCESS) {
        kv::log(kv::Errors, "milter: cannot listen on %s", config->milter.socket.c_str());
        return kOsErr;
    }
    if (!set_socket_access(config->milter)) return kOsErr;
    if (!foreground && !detach()) return kOsErr;
    if (!write_pid_file(config->milter.pid_file)) return kOsErr;
    if (!drop_privileges(config->milter)) {
        remove_pid_file(config->milter.pid_file);
        return kOsErr;
    }
    const std::string pid_file = config->milter.pid_file;
    const int timeout = config->milter.timeout;
    svc.install(std::move(config));
    kv::log(kv::Info, "milter: %s %s listening", kv::kFilterName, kv::kFilterVersion);
    std::atomic<bool> ended{false};
    int served = 0;
    std::thread server([&] {
        served = smfi_main();
        ended = true;
    });
    const int sig = wait_for_signals(svc, path, foreground, options->debug, ended);
    // New messages on open connections are asked to come back later; the
    // messages in progress finish, then the library stops.
    svc.stop();
    if (sig != 0) {
        const int busy = svc.messages();
        if (busy > 0) kv::log(kv::Info, "milter: stopping - waiting for %d message(s) in progress", busy);
        if (!svc.wait_idle(timeout)) {
            kv::log(kv::Errors, "milter: stopping - messages still in progress after %d s", timeout);
            status = kTempFail;
        }
        // The last answers are on their way back to the mail system.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        (void)smfi_stop();
    } else {
        kv::log(kv::Errors, "milter: the milter library stopped by itself");
    }
    server.join();
    if (served != MI_SUCCESS && status == 0) status = kSoftware;
    remove_pid_file(pid_file);
    kv::log(kv::Info, "milter: stopped");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        kv::log(kv::Errors, "milter: out of memory");
        return kTempFail;
    }
}
