// kvc_tcp: the TCP transport (IPv4 stream sockets).
//
// Host and service names are looked up with the system's reentrant resolver
// calls, so any number of threads may resolve at once and none waits for
// another's slow look-up; tcp_init and tcp_deinit have nothing to do and answer
// SOCK_OK (they stay for the subsystem's start and stop). tcp_make_address answers
// 1/0; every other operation answers SOCK_OK or a negative SOCK_* code (kvc_fd.h)
// after logging the failure ("kvlib: tcp: ..."). Descriptor slots are unique_fd:
// the create operations fill them, tcp_close empties them on every path.
#pragma once

#include <netinet/in.h>

#include <string>

#include "kvc_fd.h"

namespace kv {

[[nodiscard]] int tcp_init();
[[nodiscard]] int tcp_deinit();

// Fills out from a host and a port text. The port is the leading decimal number
// of port (0..65535) or a service name; the host is only resolved when resolve is
// set, else the address stays 0.0.0.0 and the caller resolves it later.
[[nodiscard]] int tcp_make_address(const std::string& host, const std::string& port, sockaddr_in& out, int resolve);
// Writes the IPv4 address of name into address (a dotted literal needs no look-up;
// other names only with allow_dns).
[[nodiscard]] int tcp_resolve(sockaddr_in& address, const std::string& name, int allow_dns);

[[nodiscard]] int tcp_create(unique_fd& slot, int nonblocking);
[[nodiscard]] int tcp_connect(int fd, const sockaddr_in& address, int timeout);
[[nodiscard]] int tcp_bind(int fd, const sockaddr_in& address);
[[nodiscard]] int tcp_listen(int fd, int backlog);
[[nodiscard]] int tcp_accept(int fd, sockaddr_in& peer, unique_fd& accepted);
[[nodiscard]] int tcp_close(unique_fd& slot);
// 1 when TCP_NODELAY was set to on, else 0.
[[nodiscard]] int tcp_set_nodelay(int fd, int on);

[[nodiscard]] int tcp_send(int fd, const void* buffer, size_t& length, int timeout);
[[nodiscard]] int tcp_recv(int fd, void* buffer, size_t& length, int timeout);

}  // namespace kv
