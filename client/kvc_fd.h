// kvc_fd: the descriptor layer beneath the socket transports.
//
// Every wait is a poll with a timeout in milliseconds (-1 = no limit, 0 = do not
// wait). fd_send and fd_recv move one chunk (possibly fewer bytes than asked) and
// report the count through the in/out length; the channel layer loops. With a
// timeout the transfer never blocks beyond it, even on a blocking socket.
// Results: SOCK_OK or a negative SOCK_* code; each failure is logged once here
// ("kvlib: fd: ..."). unique_fd owns a descriptor and closes it quietly when it
// goes out of scope; callers that must report a failed close call close().
#pragma once

#include <sys/socket.h>

#include <cstddef>

namespace kv {

// Results of the descriptor layer and of the transports above it.
constexpr int SOCK_OK = 0;
constexpr int SOCK_EMPTY_NAME = -6;    // empty host name
constexpr int SOCK_NOT_RESOLVED = -7;  // host name not resolved
constexpr int SOCK_NO_LOCK = -10;      // resolver lock not created
constexpr int SOCK_FAILED = -11;       // any other failure
constexpr int SOCK_TIMEOUT = -13;      // timeout expired
constexpr int SOCK_CLOSED = -14;       // connection closed by the remote side

constexpr int WAIT_FOREVER = -1;

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept;
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    // Closes the held descriptor without a report and holds fd instead.
    void reset(int fd = -1);
    // Closes now: 0, or -1 with errno set when close() failed. Holds -1 afterwards.
    [[nodiscard]] int close();

private:
    int fd_ = -1;
};

// 1 when O_NONBLOCK could be added to the status flags, else 0.
[[nodiscard]] int fd_set_nonblocking(int fd);
[[nodiscard]] int fd_bind(int fd, const sockaddr* address, socklen_t size);
[[nodiscard]] int fd_listen(int fd, int backlog);
[[nodiscard]] int fd_accept(int fd, sockaddr* address, socklen_t* size, unique_fd& accepted);
// Connects within timeout; a connection that the peer refuses while it is being
// set up is a failure, not an established connection. A peer whose listen queue
// is full (EAGAIN) is tried again after short pauses (1 ms, doubling up to 50 ms)
// until the timeout is used up (SOCK_TIMEOUT), or for at most a minute without a
// timeout (SOCK_FAILED); either end is logged with the time and the attempts.
// errno tells the reason.
[[nodiscard]] int fd_connect(int fd, const sockaddr* address, socklen_t size, int timeout);
[[nodiscard]] int fd_wait_send(int fd, int timeout);
[[nodiscard]] int fd_send(int fd, const void* buffer, size_t& length, int timeout);
[[nodiscard]] int fd_recv(int fd, void* buffer, size_t& length, int timeout);

}  // namespace kv
