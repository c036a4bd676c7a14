#include "kv_util.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>

#include "kvc_ipc.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_proto.h"

namespace kv {

int set_check_user(const char* user) {
    if (user == nullptr) {
        log(Verbose, "conf: no user specified - filter would use current account (uid=%d, gid=%d)",
            static_cast<int>(getuid()), static_cast<int>(getgid()));
        return 1;
    }
    errno = 0;
    struct passwd* account = getpwnam(user);
    if (account == nullptr) {
        log(Errors, "conf: non-existing user account %s specified", user);
        return 0;
    }
    if (setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0) {
        log(Errors, "conf: cannot set uid or gid - %s", stdlib_error(errno));
        return 0;
    }
    log(Verbose, "conf: filter would use %s account (uid=%d, gid=%d)", user, static_cast<int>(getuid()),
        static_cast<int>(getgid()));
    return 1;
}

int init_lib(const daemon_settings& daemon) {
    if (!daemon.address) {
        log(Errors, "init_lib: cannot add address to library (error: %d)", 0);
        return 0;
    }
    const std::vector<std::string>& addresses = daemon.address->items();
    if (addresses.empty()) {
        log(Errors, "init_lib: cannot add address to library (error: %d)", 0);
        return 0;
    }
    log(Verbose, "init_lib: set primary daemon address = <%s>", addresses[0].c_str());
    int code = startup(kLibraryVersion, addresses[0].c_str(), daemon.timeout, daemon.cache);
    if (code != 0) {
        log(Verbose, "init_lib: cannot initialize kvclient library (error: %d)", code);
        return 0;
    }
    for (size_t i = 1; i < addresses.size(); ++i) {
        log(Verbose, "init_lib: set backup daemon address = <%s>", addresses[i].c_str());
        code = add_address(addresses[i], daemon.timeout, daemon.cache);
        if (code != 0) {
            log(Verbose, "init_lib: cannot add address to library (error: %d)", code);
            return 0;
        }
    }
    return 1;
}

int check_daemon_version() {
    int major = 0;
    int minor = 0;
    int code = get_version(major, minor);
    if (code != 0) {
        log(Errors, "cannot retrieve daemon version (error: %d)", code);
        return 0;
    }
    if (major < kMinDaemonMajor || (major == kMinDaemonMajor && minor < kMinDaemonMinor)) {
        log(Errors, "THIS VERSION IS NOT COMPATIBLE WITH Kerval (R) DAEMON VERSIONS LESS THAT %s !!!",
            kMinDaemonVersion);
        return 0;
    }
    return 1;
}

int drop_stat(const agent_settings& agent, scanresult* result) {
    if (result == nullptr) {
        log(Errors, "%s bad parameters (%d.%d) were passed (%s:%d)", "drop_stat:", 0, 1, "kv_util", __LINE__);
        return 0;
    }
    if (!agent.address) {
        log(Debug, "drop_stat: agent address was not defined - assume no agent");
        return 1;
    }
    print_stat(Verbose, &result->stat);
    std::unique_ptr<ipc::channel> channel = ipc::create_client(*agent.address, agent.timeout, 0);
    if (!channel) {
        log(Errors, "drop_stat: cannot connect to agent");
        return 0;
    }
    int32_t answer = -1;
    bool ok = proto::write_int(*channel, 1) && proto::write_int(*channel, 1) &&
              proto::write_stat(*channel, result->stat) &&
              proto::write_list(*channel, result->categories[CAT_KNOWN].get(), true) &&
              proto::write_list(*channel, result->categories[CAT_MODIFICATIONS].get(), true) &&
              proto::read_int(*channel, answer);
    (void)ipc::delete_control(channel);
    if (!ok || answer != 0) {
        log(Errors, "drop_stat: errors during talking with agent");
        return 0;
    }
    return 1;
}

}  // namespace kv
