// Requests as kervald reads them: the input is what a client sends on one
// connection before it stops sending; the daemon's built-in matcher answers.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "channel_pair.h"
#include "fuzz_util.h"
#include "kvc_ipc.h"
#include "kvd_request.h"

namespace {

kvd::service& daemon_service() {
    static kvd::service svc([] {
        kvd::request_settings settings;
        settings.max_content = 1u << 20;
        settings.temporary_directory = kvfuzz::scratch_dir();
        return settings;
    }());
    return svc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), kv::ipc::init() == kv::ipc::IPC_OK);
    if (!ready) return 0;
    kvtest::channel_pair pair = kvtest::connect_channels("unix", kvfuzz::scratch_dir() + "/request.sock", 2);
    if (!pair.ok()) abort();
    const std::string wire(reinterpret_cast<const char*>(data), size);
    if (!wire.empty() && !kvtest::send_raw(*pair.client, wire)) return 0;
    // The client stops sending; whatever the daemon makes of it, it must end.
    shutdown(kv::ipc::get_fd(pair.client.get()), SHUT_WR);
    kvd::serve_connection(*pair.peer, daemon_service());
    return 0;
}
