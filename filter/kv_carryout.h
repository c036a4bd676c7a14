// kv_carryout: runs the effects of a verdict (kv_verdict) in a fixed order and
// answers the message's final disposition.
//
// The order: the decision's log lines; the reply text; the quarantine; the
// message's way on through the front end (the original, the cured copy, or the
// copy to RedirectMail); the notifications; the statistics for the agent. A
// failed effect that would leave the message neither delivered nor kept turns
// the disposition into DISPOSE_DEFER, with a line naming what failed, and the
// notifications are then left to the next try. A failed notification is logged
// and changes nothing else. Notifications about a problem (the daemon's
// trouble) go out at most once per ErrorNotifyInterval, stamped in the spool
// directory.
#pragma once

#include <string>

#include "kv_mail.h"
#include "kv_verdict.h"

namespace kv {

// How a front end sends a message on. Each answers true when the message is
// on its way.
class delivery {
public:
    virtual ~delivery() = default;
    // The message as it is in the spool file.
    virtual bool deliver(const mail& m) = 0;
    // The daemon's cured copy, a finished file at path, instead of the message.
    virtual bool deliver_cured(const mail& m, const std::string& path) = 0;
    // The message to RedirectMail instead of its recipients.
    virtual bool redirect(const mail& m) = 0;
};

// The pipe filter's way: every message through the submission program.
class resubmission : public delivery {
public:
    resubmission(const actions_settings& actions, const mailer_settings& mailer) : actions_(actions), mailer_(mailer) {}
    bool deliver(const mail& m) override;
    bool deliver_cured(const mail& m, const std::string& path) override;
    bool redirect(const mail& m) override;

private:
    const actions_settings& actions_;
    const mailer_settings& mailer_;
};

disposition carry_out(const verdict& v, mail& m, const scan_settings& settings, delivery& front);

// The envelope record (kv_qrecord) beside archive, the quarantined copy of m:
// the envelope, m's queue ID, the verdict's category and every name the daemon
// reported. Without it the quarantine is not done: the copy goes back to m's
// spool path (or, failing that, is removed: the mail system still holds the
// message), so that a retry stores the message once, with its record. false
// after logging. carry_out calls it after each quarantine store.
[[nodiscard]] bool keep_quarantine_record(const verdict& v, const mail& m, const std::string& archive);

// The last line of every message: what became of it, with its Message-ID, so
// that it can be found from the mail system's log and from the message itself.
// m may be nullptr (the message was never stored).
void log_result(const verdict& v, disposition outcome, const mail* m);

// Whether notices about problem are due now (and, if so, stamps the time):
// false when one went out less than interval seconds ago. No limit when the
// interval is 0 or the stamp cannot be kept.
bool notice_due(const spool_settings& spool, const std::string& problem, int interval);

}  // namespace kv
