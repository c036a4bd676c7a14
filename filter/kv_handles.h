// kv_handles: small owners for a file descriptor (unique_fd) and a stdio stream
// (unique_file).
//
// Where a failed close matters, call close() and check it (0, or -1 with errno
// from the system call); the holder is empty afterwards either way. The
// destructor closes quietly and is only the backstop for early returns.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace kv {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }

    // 0, or -1 with errno set by close(2). Closing an empty holder is 0.
    [[nodiscard]] int close() {
        if (fd_ < 0) return 0;
        return ::close(std::exchange(fd_, -1)) == 0 ? 0 : -1;
    }

    // Quiet close that keeps errno as it was.
    void reset() {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(std::exchange(fd_, -1));
            errno = saved;
        }
    }

private:
    int fd_ = -1;
};

class unique_file {
public:
    unique_file() = default;
    explicit unique_file(FILE* stream) : stream_(stream) {}
    unique_file(const unique_file&) = delete;
    unique_file& operator=(const unique_file&) = delete;
    ~unique_file() {
        if (stream_ != nullptr) {
            int saved = errno;
            fclose(stream_);
            errno = saved;
        }
    }

    FILE* get() const { return stream_; }
    explicit operator bool() const { return stream_ != nullptr; }

    // 0, or -1 with errno set by fclose(3). The stream is gone afterwards either way.
    [[nodiscard]] int close() {
        if (stream_ == nullptr) return 0;
        return fclose(std::exchange(stream_, nullptr)) == 0 ? 0 : -1;
    }

private:
    FILE* stream_ = nullptr;
};

}  // namespace kv
