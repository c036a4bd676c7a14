// kvc_unix: the UNIX-domain transport.
//
// Socket paths keep at most 103 characters (a longer path is cut, and the cut is
// logged). unix_bind recovers a socket file left behind by a dead server: when
// nothing accepts on it, the stale file is removed and the bind repeated once; a
// live server's socket and files that are not sockets are never removed.
// Results: SOCK_OK or a negative SOCK_* code (kvc_fd.h), each failure logged once
// ("kvlib: unix: ..."). unix_close empties the slot on every path.
#pragma once

#include <sys/un.h>

#include <string>

#include "kvc_fd.h"

namespace kv {

constexpr size_t UNIX_PATH_MAX_CHARS = 103;

[[nodiscard]] int unix_init();
[[nodiscard]] int unix_deinit();

// Sets family AF_UNIX and the (possibly cut) path; always 1.
int unix_make_address(const std::string& path, sockaddr_un& out);

[[nodiscard]] int unix_create(unique_fd& slot, int nonblocking);
[[nodiscard]] int unix_connect(int fd, const sockaddr_un& address, int timeout);
[[nodiscard]] int unix_bind(int fd, const sockaddr_un& address);
[[nodiscard]] int unix_listen(int fd, int backlog);
[[nodiscard]] int unix_accept(int fd, sockaddr_un& peer, unique_fd& accepted);
// Closes the slot and, with remove set, unlinks the socket file of address.
[[nodiscard]] int unix_close(unique_fd& slot, const sockaddr_un& address, int remove);

[[nodiscard]] int unix_send(int fd, const void* buffer, size_t& length, int timeout);
[[nodiscard]] int unix_recv(int fd, void* buffer, size_t& length, int timeout);

}  // namespace kv
