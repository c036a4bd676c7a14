// kv_mailutil: small helpers of the scan flow and the reports.
//
// decode_subject turns a Subject value with RFC 2047 encoded words (base64 "B"
// and quoted-printable "Q") into plain text, but only when every word's charset
// agrees with the report template's charset; otherwise, or for a malformed word,
// it answers nullopt and the caller shows the subject undecoded. Control
// characters that a word decodes to (CR, LF, NUL, ...) come out as blanks; text
// outside encoded words is copied as it is. is_special tells
// whether a message goes from exactly one given sender to exactly one given
// recipient (the filter's own redirected copies and mail loops): 1 or 0.
#pragma once

#include <optional>
#include <string>

#include "kv_mail.h"

namespace kv {

// template_charset none means "us-ascii". A word's charset agrees when it equals
// the beginning of the template charset, in any case (an empty one always does).
std::optional<std::string> decode_subject(const char* subject, const char* template_charset);

// Compares the envelope with the normalised sender and recipient (exact,
// case-sensitive); label names the test in the log.
[[nodiscard]] int is_special(const mail& m, const char* sender, const char* recipient, const char* label);

}  // namespace kv
