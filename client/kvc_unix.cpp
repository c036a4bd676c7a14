#include "kvc_unix.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {

static_assert(sizeof(sockaddr_un::sun_path) > UNIX_PATH_MAX_CHARS, "socket path field too small");

int unix_init() { return SOCK_OK; }
int unix_deinit() { return SOCK_OK; }

int unix_make_address(const std::string& path, sockaddr_un& out) {
    memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    if (path.size() > UNIX_PATH_MAX_CHARS) {
        log(Alerts, "kvlib: unix: socket path %s is longer than %d characters and was cut", path.c_str(),
            static_cast<int>(UNIX_PATH_MAX_CHARS));
    }
    memcpy(out.sun_path, path.data(), std::min(path.size(), UNIX_PATH_MAX_CHARS));
    return 1;
}

int unix_create(unique_fd& slot, int nonblocking) {
    slot.reset(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!slot.valid()) {
        log(Errors, "kvlib: unix: socket() failed - %s", stdlib_error(errno));
        return SOCK_FAILED;
    }
    if (nonblocking && !fd_set_nonblocking(slot.get())) {
        log(Errors, "kvlib: unix: cannot set nonblocking mode");
        slot.reset();
        return SOCK_FAILED;
    }
    return SOCK_OK;
}

int unix_connect(int fd, const sockaddr_un& address, int timeout) {
    int result = fd_connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address, timeout);
    if (result != SOCK_OK) {
        int err = errno;
        log(Errors, "kvlib: unix: connect() to %s failed", address.sun_path);
        errno = err;
    }
    return result;
}

int unix_bind(int fd, const sockaddr_un& address) {
    int result = fd_bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result == SOCK_OK || errno != EADDRINUSE) return result;

    // The path exists: find out whether a live server owns it.
    unique_fd probe;
    if (unix_create(probe, 0) != SOCK_OK) return result;
    int probed = unix_connect(probe.get(), address, 0);
    int probe_errno = errno;
    (void)unix_close(probe, address, 0);
    if (probed == SOCK_OK || probe_errno != ECONNREFUSED) {
        log(Alerts, "kvlib: unix: cannot bind %s - socket is used", address.sun_path);
        return result;
    }
    struct stat info;
    if (lstat(address.sun_path, &info) == 0 && !S_ISSOCK(info.st_mode)) {
        log(Errors, "kvlib: unix: stalled socket %s has been detected and was not removed - %s", address.sun_path,
            stdlib_error(ENOTSOCK));
        return result;
    }
    if (unlink(address.sun_path) != 0) {
        log(Errors, "kvlib: unix: stalled socket %s has been detected and was not removed - %s", address.sun_path,
            stdlib_error(errno));
        return result;
    }
    log(Alerts, "kvlib: unix: stalled socket %s has been detected and was removed", address.sun_path);
    return fd_bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int unix_listen(int fd, int backlog) { return fd_listen(fd, backlog); }

int unix_accept(int fd, sockaddr_un& peer, unique_fd& accepted) {
    socklen_t size = sizeof peer;
    return fd_accept(fd, reinterpret_cast<sockaddr*>(&peer), &size, accepted);
}

int unix_close(unique_fd& slot, const sockaddr_un& address, int remove) {
    if (!slot.valid()) {
        log(Debug, "kvlib: unix: close() failed - closed socket");
        return SOCK_OK;
    }
    int err = 0;
    if (slot.close() != 0) err = errno;
    if (remove && unlink(address.sun_path) != 0 && err == 0) err = errno;
    if (err != 0) {
        log(Errors, "kvlib: unix: close() failed - %s", stdlib_error(err));
        return SOCK_FAILED;
    }
    return SOCK_OK;
}

int unix_send(int fd, const void* buffer, size_t& length, int timeout) { return fd_send(fd, buffer, length, timeout); }

int unix_recv(int fd, void* buffer, size_t& length, int timeout) { return fd_recv(fd, buffer, length, timeout); }

}  // namespace kv
