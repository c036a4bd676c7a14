// Encoded-word decoding of a subject: the input's first line is the template
// charset, the rest the subject. A decoded subject never carries a line end
// that its undecoded text did not have.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"
#include "kv_mailutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), true);
    (void)ready;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t newline = text.find('\n');
    const std::string charset = newline == std::string::npos ? "" : text.substr(0, newline);
    const std::string subject = newline == std::string::npos ? text : text.substr(newline + 1);
    const char* subject_text = subject.c_str();  // as the header parser stores it: up to a NUL
    for (const char* cs : {charset.empty() ? nullptr : charset.c_str(), "us-ascii"}) {
        std::optional<std::string> decoded = kv::decode_subject(subject_text, cs);
        if (!decoded) continue;
        const bool had_line_end = std::string(subject_text).find_first_of("\r\n") != std::string::npos;
        if (!had_line_end && decoded->find_first_of("\r\n") != std::string::npos) abort();
        if (decoded->size() > 3 * subject.size() + 1) abort();
    }
    return 0;
}
