// kvq_release: sends a quarantined message on to its recipients.
//
// The copy that is submitted is the message with "X-Kerval-Released: ID" put
// before its first header, written to a new file in the filter's spool directory
// (streamed, never held whole in memory; the spool prefix lets a later filter
// run remove a copy left by a killed release). It goes through the configured
// submission program (kv_mailsend) from FilterMail, the sender of everything the
// filter itself sends, as the filter's redirected copies do. The message and its
// record are removed only after the program accepted the copy.
//
// Results: RELEASE_OK; RELEASE_COPY_FAILED (the copy could not be made: nothing
// was submitted), RELEASE_SUBMIT_FAILED (the program failed, was killed or ran
// too long: nothing was removed), RELEASE_REMOVE_FAILED (submitted, but the
// message is still in the quarantine). Each failure is logged.
#pragma once

#include <string>
#include <vector>

#include "kv_settings.h"
#include "kvq_store.h"

namespace kv {

enum release_result : int { RELEASE_OK = 0, RELEASE_COPY_FAILED, RELEASE_SUBMIT_FAILED, RELEASE_REMOVE_FAILED };

constexpr const char* kReleasedHeader = "X-Kerval-Released";

[[nodiscard]] int release_message(const qentry& entry, const std::vector<std::string>& recipients,
                                  const filter_config& config);

}  // namespace kv
