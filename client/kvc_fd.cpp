#include "kvc_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int unique_fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void unique_fd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

int unique_fd::close() {
    if (fd_ < 0) return 0;
    int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : -1;
}

int fd_set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return 0;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 1 : 0;
}

int fd_bind(int fd, const sockaddr* address, socklen_t size) {
    if (bind(fd, address, size) != 0) {
        int err = errno;
        log(Errors, "kvlib: fd: bind() failed - %s", stdlib_error(err));
        errno = err;
        return SOCK_FAILED;
    }
    return SOCK_OK;
}

int fd_listen(int fd, int backlog) {
    if (listen(fd, backlog) != 0) {
        log(Errors, "kvlib: fd: listen() failed - %s", stdlib_error(errno));
        return SOCK_FAILED;
    }
    return SOCK_OK;
}

int fd_accept(int fd, sockaddr* address, socklen_t* size, unique_fd& accepted) {
    int result;
    do {
        result = accept(fd, address, size);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        log(Errors, "kvlib: fd: accept() failed - %s", stdlib_error(errno));
        accepted.reset();
        return SOCK_FAILED;
    }
    accepted.reset(result);
    return SOCK_OK;
}

int fd_connect(int fd, const sockaddr* address, socklen_t size, int timeout) {
    // With a timeout the connect runs non-blocking so that it cannot outlast it;
    // the socket's own mode is restored afterwards.
    int flags = -1;
    if (timeout != WAIT_FOREVER) {
        flags = fcntl(fd, F_GETFL);
        if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
            int err = errno;
            log(Errors, "kvlib: fd: connect() failed - %s", stdlib_error(err));
            errno = err;
            return SOCK_FAILED;
        }
    }
    int result = SOCK_OK;
    int err = 0;
    if (connect(fd, address, size) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            result = fd_wait_send(fd, timeout);
            if (result == SOCK_OK) {
                socklen_t length = sizeof err;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
                if (err != 0) result = SOCK_FAILED;
            } else {
                err = result == SOCK_TIMEOUT ? ETIMEDOUT : errno;
            }
        } else {
            result = SOCK_FAILED;
        }
    }
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags);
    if (result != SOCK_OK) log(Errors, "kvlib: fd: connect() failed - %s", stdlib_error(err));
    errno = err;
    return result;
}

namespace {

// Waits until fd is ready for events (POLLOUT: "send", POLLIN: "recv"). A wait
// after an interruption starts the full timeout again.
int wait_for(int fd, short events, int timeout) {
    const char* word = events == POLLOUT ? "send" : "recv";
    for (;;) {
        pollfd item{fd, events, 0};
        int ready = poll(&item, 1, timeout);
        if (ready == 0) {
            log(Errors, "kvlib: fd: wait for %s failed - timeout expired", word);
            return SOCK_TIMEOUT;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                log(Verbose, "kvlib: fd: wait for %s was interrupted - go again", word);
                continue;
            }
            log(Errors, "kvlib: fd: wait for %s failed - %s", word, stdlib_error(errno));
            return SOCK_FAILED;
        }
        if (item.revents & events) return SOCK_OK;
        if (events == POLLIN && item.revents == POLLHUP) {
            log(Verbose, "kvlib: fd: wait for recv - connection closed by remote side");
            return SOCK_CLOSED;
        }
        log(Errors, "kvlib: fd: wait for %s failed - poll return %#x event mask", word,
            static_cast<unsigned>(item.revents));
        return SOCK_FAILED;
    }
}

}  // namespace

int fd_wait_send(int fd, int timeout) { return wait_for(fd, POLLOUT, timeout); }

int fd_send(int fd, const void* buffer, size_t& length, int timeout) {
    const size_t wanted = length;
    // With a timeout a send never blocks: it takes what the socket buffer holds,
    // and only a full buffer makes it wait (within the timeout) for room.
    const int flags = MSG_NOSIGNAL | (timeout != WAIT_FOREVER ? MSG_DONTWAIT : 0);
    for (;;) {
        ssize_t sent = ::send(fd, buffer, wanted, flags);
        if (sent >= 0) {
            length = static_cast<size_t>(sent);
            return SOCK_OK;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS) {
            int waited = fd_wait_send(fd, timeout);
            if (waited != SOCK_OK) {
                length = 0;
                return waited;
            }
            continue;
        }
        if (errno == EINTR) {
            log(Verbose, "kvlib: fd: send(%d) was interrupted - go again", static_cast<int>(wanted));
            continue;
        }
        log(Errors, "kvlib: fd: send(%d) failed - %s", static_cast<int>(wanted), stdlib_error(errno));
        length = 0;
        return SOCK_FAILED;
    }
}

int fd_recv(int fd, void* buffer, size_t& length, int timeout) {
    const size_t wanted = length;
    const int flags = timeout != WAIT_FOREVER ? MSG_DONTWAIT : 0;
    length = 0;
    log(Debug, "kvlib: fd: recv(%d) called", static_cast<int>(wanted));
    ssize_t got = 0;
    bool wait = timeout != WAIT_FOREVER;
    for (;;) {
        if (wait) {
            int waited = wait_for(fd, POLLIN, timeout);
            if (waited != SOCK_OK) {
                log(Debug, "kvlib: fd: recv(%d), readed=%d - wait failed", static_cast<int>(wanted), static_cast<int>(got));
                return waited;
            }
        }
        got = ::recv(fd, buffer, wanted, flags);
        if (got > 0) {
            log(Debug, "kvlib: fd: recv(%d), readed=%d", static_cast<int>(wanted), static_cast<int>(got));
            length = static_cast<size_t>(got);
            return SOCK_OK;
        }
        if (got == 0) {
            log(Verbose, "kvlib: fd: recv(%d) - connection closed by remote side", static_cast<int>(wanted));
            return SOCK_CLOSED;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS) {
            wait = true;
            continue;
        }
        if (errno == EINTR) {
            log(Verbose, "kvlib: fd: recv(%d) was interrupted - go again", static_cast<int>(wanted));
            wait = false;
            continue;
        }
        log(Errors, "kvlib: fd: recv(%d) failed - %s", static_cast<int>(wanted), stdlib_error(errno));
        return SOCK_FAILED;
    }
}

}  // namespace kv
