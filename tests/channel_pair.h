// A listening server channel, a client connected to it and the server's side of
// that connection, all in the test's own process (the connection is accepted
// from the listen queue, so no second thread is needed). The IPC subsystem must
// be started (ipc::init) before and stopped after.
#pragma once

#include <memory>
#include <string>

#include "kvc_ipc.h"

namespace kvtest {

struct channel_pair {
    std::unique_ptr<kv::ipc::channel> server, client, peer;
    bool ok() const { return server && client && peer; }
};

// kind "unix": a socket named socket_path; kind "tcp": 127.0.0.1 on a free port.
channel_pair connect_channels(const std::string& kind, const std::string& socket_path, int seconds);

// Sends bytes from one side (all or fail).
bool send_raw(kv::ipc::channel& ch, const std::string& bytes);
// Receives exactly length bytes, or what came before the peer closed.
std::string recv_raw(kv::ipc::channel& ch, size_t length);

}  // namespace kvtest
