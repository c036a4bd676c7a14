// kvm_process: the milter as a system process: its listening socket's owner
// group and mode, the account it drops to after binding, detaching from the
// terminal, and its pid file. Each answers true when done, false after
// logging why.
#pragma once

#include <string>

#include "kvm_settings.h"

namespace kv::milter {

// The path of a unix:/local: socket, empty for an inet one.
std::string socket_path(const std::string& socket);

// SocketMode and SocketGroup on the bound UNIX socket (nothing for inet).
bool set_socket_access(const milter_settings& settings);

// Group (or User's group), supplementary groups, then User; nothing when
// neither is set.
bool drop_privileges(const milter_settings& settings);

// Into the background: the parent exits 0, the child leaves the terminal's
// session and its standard descriptors point at /dev/null.
bool detach();

bool write_pid_file(const std::string& path);
void remove_pid_file(const std::string& path);

}  // namespace kv::milter
