// kv_handles: small owners for a file descriptor (unique_fd, from the client
// library) and a stdio stream (unique_file).
//
// Where a failed close matters, call close() and check it (0, or -1 with errno
// from the system call); the holder is empty afterwards either way. The
// destructor closes quietly and is only the backstop for early returns.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "kvc_fd.h"

namespace kv {

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
