// kvm_callbacks: the milter's callbacks for libmilter and the per-message flow
// they make up.
//
// Per connection: the client's name and address. Per message: the envelope
// (sender, recipients as the mail system gave them), the queue ID from the "i"
// macro (the log context of every line the message's callbacks write, on
// whichever thread libmilter runs them), and the message streamed into a spool
// file (kvm_spool). At end of message the facts are gathered and judged as in
// the pipe filter (kv_mailscan, kv_verdict), carry_out runs the effects
// through the milter's delivery (kvm_delivery), and the answer (kvm_reply) is
// applied: a header, a new body, new recipients, the hold queue, or an SMTP
// reply. The spool file goes on every end of a message: end of message,
// abort, a new MAIL FROM, or the connection closing.
#pragma once

#include <libmilter/mfapi.h>

#include "kvm_service.h"

namespace kv::milter {

constexpr const char* kMilterName = "kerval-milter";

// The description to register: the callbacks and the changes they may make.
// They share svc, which must outlive smfi_main.
smfiDesc description(service& svc);

}  // namespace kv::milter
