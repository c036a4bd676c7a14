// Daemon answers as the client library reads them: the input's first four bytes
// are the request options (big-endian), the rest is what the daemon sends
// before it closes the connection.
#include <cstddef>
#include <cstdint>
#include <string>

#include "channel_pair.h"
#include "fuzz_util.h"
#include "kvc_ipc.h"
#include "kvc_lib.h"
#include "kvc_result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), kv::ipc::init() == kv::ipc::IPC_OK);
    if (!ready || size < 4) return 0;
    const uint32_t options = (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3];
    const std::string wire(reinterpret_cast<const char*>(data) + 4, size - 4);
    kvtest::channel_pair pair = kvtest::connect_channels("unix", kvfuzz::scratch_dir() + "/answer.sock", 5);
    if (!pair.ok()) abort();
    if (!wire.empty() && !kvtest::send_raw(*pair.peer, wire)) abort();
    pair.peer.reset();
    // Two bits the library passes on unread choose the mode and a report limit.
    const int local = (options & 0x10) ? 1 : 0;
    const uint32_t limit = (options & 0x100000) ? 64 : 0;
    std::unique_ptr<kv::scanresult> result;
    if (kv::scan::daemon_answer(*pair.client, options, "/var/spool/kerval/f.1", result, limit, local) == kv::KV_OK) {
        (void)kv::result_to_text(result->status);
        (void)kv::scanresult_stat_text(&result->stat);
        kv::print_stat(9, &result->stat);
    }
    return 0;
}
