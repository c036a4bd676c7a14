// kvd_request: one request on one accepted connection, read and answered.
//
// A connection carries one request: the version, identification or
// virus-bases query, a scan of content sent on the connection (streamed into an
// unnamed temporary file, in bounded pieces, then scanned and dropped) or of a
// file the daemon opens itself (local mode), a part scan, or, in agent mode, a
// statistics report. Lengths from the wire are checked before they are used,
// and memory never grows with an announced length, only with data that
// arrived. Content larger than the limit is answered with a scanning error and
// read off the connection afterwards, so the client can read the answer. Scans
// go to the engine in the service's slot, or to the built-in matcher when it is
// empty. The answer settings (command line, then the control file, read again
// for every request) may dictate the answer or a misbehaviour. Each served
// request is appended to the record file as one line, in turn with the other
// workers.
//
// serve_connection logs every failure itself and leaves closing the channel to
// its caller; it needs nothing but the channel and the service, so it can be
// driven over a socketpair as well as over an accepted connection.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "kvc_ipc.h"
#include "kvd_engine.h"
#include "kvd_settings.h"

namespace kvd {

struct request_settings {
    std::string control;  // answer settings read again before every request
    std::string record;   // one line per served request
    bool agent = false;   // statistics agent instead of a scanner
    answer_settings answers;
    uint32_t max_content = 256u << 20;            // content bytes of one scan request
    std::string temporary_directory = "/tmp";     // where received content is kept while it is scanned
};

class service {
public:
    explicit service(request_settings settings) : settings(std::move(settings)) {}
    service(const service&) = delete;
    service& operator=(const service&) = delete;

    const request_settings settings;
    engine_slot engines;  // empty: the built-in matcher scans

    // Appends text to the record file, one writer at a time.
    void record(const std::string& text);

private:
    std::mutex record_lock_;
};

void serve_connection(kv::ipc::channel& ch, service& svc);

}  // namespace kvd
