#include "kvm_process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "kv_files.h"
#include "kv_handles.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv::milter {

std::string socket_path(const std::string& socket) {
    for (const char* prefix : {"unix:", "local:"}) {
        const std::string p = prefix;
        if (socket.compare(0, p.size(), p) == 0) return socket.substr(p.size());
    }
    return "";
}

bool set_socket_access(const milter_settings& settings) {
    const std::string path = socket_path(settings.socket);
    if (path.empty()) return true;
    if (settings.socket_group) {
        const group* g = getgrnam(settings.socket_group->c_str());
        if (g == nullptr) {
            log(Errors, "milter: unknown SocketGroup %s", settings.socket_group->c_str());
            return false;
        }
        if (chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0) {
            log(Errors, "milter: cannot give %s to group %s - %s", path.c_str(), settings.socket_group->c_str(),
                stdlib_error(errno));
            return false;
        }
    }
    if (chmod(path.c_str(), static_cast<mode_t>(settings.socket_mode)) != 0) {
        log(Errors, "milter: cannot set mode %#o on %s - %s", static_cast<unsigned>(settings.socket_mode), path.c_str(),
            stdlib_error(errno));
        return false;
    }
    return true;
}

bool drop_privileges(const milter_settings& settings) {
    if (!settings.user && !settings.group) return true;
    const passwd* user = nullptr;
    if (settings.user) {
        user = getpwnam(settings.user->c_str());
        if (user == nullptr) {
            log(Errors, "milter: unknown User %s", settings.user->c_str());
            return false;
        }
    }
    gid_t gid = user != nullptr ? user->pw_gid : getgid();
    if (settings.group) {
        const group* g = getgrnam(settings.group->c_str());
        if (g == nullptr) {
            log(Errors, "milter: unknown Group %s", settings.group->c_str());
            return false;
        }
        gid = g->gr_gid;
    }
    const uid_t uid = user != nullptr ? user->pw_uid : getuid();
    const std::string name = user != nullptr ? user->pw_name : "";
    if (geteuid() == 0) {
        const int groups = user != nullptr ? initgroups(name.c_str(), gid) : setgroups(1, &gid);
        if (groups != 0) {
            log(Errors, "milter: cannot set the supplementary groups - %s", stdlib_error(errno));
            return false;
        }
    }
    if (setgid(gid) != 0) {
        log(Errors, "milter: cannot switch to group %u - %s", static_cast<unsigned>(gid), stdlib_error(errno));
        return false;
    }
    if (user != nullptr && setuid(uid) != 0) {
        log(Errors, "milter: cannot switch to user %s - %s", name.c_str(), stdlib_error(errno));
        return false;
    }
    log(Verbose, "milter: running as uid %u gid %u", static_cast<unsigned>(getuid()), static_cast<unsigned>(getgid()));
    return true;
}

bool detach() {
    const pid_t pid = fork();
    if (pid < 0) {
        log(Errors, "milter: cannot fork - %s", stdlib_error(errno));
        return false;
    }
    if (pid > 0) _exit(0);
    if (setsid() < 0) {
        log(Errors, "milter: cannot start a new session - %s", stdlib_error(errno));
        return false;
    }
    if (chdir("/") != 0) {
        log(Errors, "milter: cannot change to / - %s", stdlib_error(errno));
        return false;
    }
    unique_fd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!null.valid()) {
        log(Errors, "milter: cannot open /dev/null - %s", stdlib_error(errno));
        return false;
    }
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (dup2(null.get(), fd) < 0) {
            log(Errors, "milter: cannot redirect descriptor %d - %s", fd, stdlib_error(errno));
            return false;
        }
    }
    return true;
}

bool write_pid_file(const std::string& path) {
    if (path.empty()) return true;
    const std::string text = std::to_string(getpid()) + "\n";
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.valid() || !write_all(fd.get(), text.data(), text.size()) || fd.close() != 0) {
        log(Errors, "milter: cannot write the pid file %s - %s", path.c_str(), stdlib_error(errno));
        return false;
    }
    return true;
}

void remove_pid_file(const std::string& path) {
    if (!path.empty() && unlink(path.c_str()) != 0 && errno != ENOENT)
        log(Verbose, "milter: cannot remove the pid file %s - %s", path.c_str(), stdlib_error(errno));
}

}  // namespace kv::milter
