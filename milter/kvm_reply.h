// kvm_reply: what the milter answers the mail system for a verdict
// (kv_verdict) once its effects are carried out (kv_carryout). No I/O: the
// answer is applied by the callbacks (kvm_callbacks).
//
//   delivered, cured, redirected -> accept (X-Virus-Scanned when AddHeader)
//   quarantined                  -> discard, or accept into the hold queue
//                                   when QuarantineToHold is on
//   discarded                    -> discard
//   refused                      -> 550 5.7.1, the category's Reply text when
//                                   UseCustomReply is on, a fixed text otherwise
//   kept for a later try         -> 451 4.7.1, likewise
#pragma once

#include <string>

#include "kv_settings.h"
#include "kv_verdict.h"
#include "kvm_settings.h"

namespace kv::milter {

enum class milter_action { accept, discard, reject, tempfail };

struct milter_answer {
    milter_action action = milter_action::accept;
    std::string rcode;  // "550" or "451" for reject and tempfail
    std::string xcode;  // "5.7.1" or "4.7.1"
    std::string text;   // the reply text, ready for the protocol
    bool hold = false;        // into the hold queue
    bool add_header = false;  // X-Virus-Scanned
};

constexpr const char* kRejectText = "Message refused: it contains a virus or a forbidden object";
constexpr const char* kTempfailText = "Message cannot be checked for viruses now, try again later";

milter_answer answer_of(const verdict& v, disposition outcome, const actions_settings& actions,
                        const milter_settings& milter);

// text as one reply line: CR and LF become blanks, "%" is doubled (the reply
// is a format for the library), at most 900 bytes.
std::string reply_text(const std::string& text);

// The X-Virus-Scanned header's value: the product and its version.
std::string scanned_header_value();

}  // namespace kv::milter
