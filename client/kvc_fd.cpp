#include "kvc_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_timo.h"

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

namespace {

// A full listen queue (EAGAIN) is tried again after a pause that starts short and
// grows to a cap, for as long as the timeout allows; without a timeout for at
// most CONNECT_RETRY_UNLIMITED_MS.
constexpr int64_t CONNECT_PAUSE_FIRST_MS = 1;
constexpr int64_t CONNECT_PAUSE_MAX_MS = 50;
constexpr int64_t CONNECT_RETRY_UNLIMITED_MS = 60000;

void pause_ms(int64_t ms) {
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

}  // namespace

int fd_connect(int fd, const sockaddr* address, socklen_t size, int timeout) {
    // The connect runs non-blocking, so that it cannot outlast the timeout and a
    // full listen queue answers at once; the socket's own mode is restored afterwards.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        int err = errno;
        log(Errors, "kvlib: fd: connect() failed - %s", stdlib_error(err));
        errno = err;
        return SOCK_FAILED;
    }
    const timo_stamp start = timo_now();
    const int64_t retry_limit = timeout == WAIT_FOREVER ? CONNECT_RETRY_UNLIMITED_MS : timeout;
    int64_t pause = CONNECT_PAUSE_FIRST_MS;
    int attempts = 0;
    int result = SOCK_OK;
    int err = 0;
    bool reported = false;
    for (;;) {
        ++attempts;
        if (connect(fd, address, size) == 0) break;
        err = errno;
        const int64_t spent = timo_elapsed_ms(start, timo_now());
        if (err == EINPROGRESS || err == EINTR) {
            const int left = timeout == WAIT_FOREVER ? WAIT_FOREVER : static_cast<int>(std::max<int64_t>(timeout - spent, 0));
            result = fd_wait_send(fd, left);
            if (result == SOCK_OK) {
                socklen_t length = sizeof err;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
                if (err != 0) result = SOCK_FAILED;
            } else {
                err = result == SOCK_TIMEOUT ? ETIMEDOUT : errno;
            }
            break;
        }
        if (err != EAGAIN) {
            result = SOCK_FAILED;
            break;
        }
        if (spent >= retry_limit) {
            log(Errors, "kvlib: fd: connect() failed - listen queue of the peer stayed full for %lld ms (%d attempts)",
                static_cast<long long>(spent), attempts);
            reported = true;
            result = timeout == WAIT_FOREVER ? SOCK_FAILED : SOCK_TIMEOUT;
            break;
        }
        if (attempts == 1) log(Verbose, "kvlib: fd: connect() - listen queue of the peer is full, trying again");
        pause_ms(std::min(pause, retry_limit - spent));
        pause = std::min(pause * 2, CONNECT_PAUSE_MAX_MS);
    }
    if ((flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags);
    if (result != SOCK_OK && !reported) log(Errors, "kvlib: fd: connect() failed - %s", stdlib_error(err));
    if (result == SOCK_OK && attempts > 1) log(Verbose, "kvlib: fd: connect() done after %d attempts", attempts);
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
