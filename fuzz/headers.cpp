// The header block of a spool file: subject, message id, original recipient
// and the exact headers length; then the subject decoded as a report would.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "kv_mail.h"
#include "kv_mailutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), true);
    (void)ready;
    const std::string path = kvfuzz::write_scratch("spool", data, size);
    std::unique_ptr<kv::mail> m = kv::mail_create(path.c_str());
    if (kv::mail_parse_headers(*m)) {
        if (m->headers_length < 0 || static_cast<size_t>(m->headers_length) > size) abort();
        kv::mail_print(*m, 9);
        for (const char* charset : {static_cast<const char*>(nullptr), "utf-8", "koi8-r"}) {
            (void)kv::decode_subject(kv::mail_get_property(*m, kv::MAIL_PROP_SUBJECT), charset);
        }
    }
    return 0;
}
