#include "channel_pair.h"

#include <arpa/inet.h>
#include <sys/socket.h>

namespace kvtest {

channel_pair connect_channels(const std::string& kind, const std::string& socket_path, int seconds) {
    namespace ipc = kv::ipc;
    channel_pair t;
    std::string spec = kind == "tcp" ? "inet:0@127.0.0.1" : "local:" + socket_path;
    t.server = ipc::create_server(spec, seconds, 1, 5);
    if (!t.server) return t;
    if (kind == "tcp") {
        sockaddr_in bound{};
        socklen_t size = sizeof bound;
        getsockname(ipc::get_fd(t.server.get()), reinterpret_cast<sockaddr*>(&bound), &size);
        spec = "inet:" + std::to_string(ntohs(bound.sin_port)) + "@127.0.0.1";
    }
    t.client = ipc::create_client(spec, seconds, 1);
    if (t.client && ipc::accept(*t.server, t.peer, seconds) != ipc::IPC_OK) t.peer.reset();
    return t;
}

bool send_raw(kv::ipc::channel& ch, const std::string& bytes) {
    size_t length = bytes.size();
    return kv::ipc::send(ch, bytes.data(), length) == kv::ipc::IPC_OK;
}

std::string recv_raw(kv::ipc::channel& ch, size_t length) {
    std::string bytes(length, '\0');
    (void)kv::ipc::recv(ch, bytes.data(), length);
    bytes.resize(length);
    return bytes;
}

}  // namespace kvtest
