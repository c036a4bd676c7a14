// kv_mailscan: gathers the facts about one stored and parsed message for the
// verdict (kv_verdict): unless the checks before the scan decide, it has the
// daemon check the spool file and records the answer, the route that served it
// and the request's options, or the stage that failed.
#pragma once

#include "kv_mail.h"
#include "kv_verdict.h"

namespace kv::mailscan {

// m holds the envelope and the parsed headers; library_ready tells whether the
// daemon client library started. The daemon's result (or the filter's own one
// when the daemon gave none) is attached to m.
void gather(mail& m, const scan_settings& settings, bool library_ready, scan_facts& facts);

}  // namespace kv::mailscan
