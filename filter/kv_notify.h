// kv_notify: mail the filter creates about a message: a redirected copy to
// RedirectMail and notifications to the sender, the recipients or the
// administrator, built from templates. Everything is sent from FilterMail.
// Neither operation changes the verdict: failures are logged and forgotten.
#pragma once

#include <string>

#include "kv_mail.h"
#include "kv_settings.h"

namespace kv {

// The three values every per-message log line carries: the spool file's base
// name, the envelope sender, and the single recipient or "rcpts".
class message_label {
public:
    explicit message_label(const mail& m);
    const char* file() const { return file_.c_str(); }
    const char* sender() const { return sender_.c_str(); }
    const char* rcpt() const { return rcpt_.c_str(); }

private:
    std::string file_, sender_, rcpt_;
};

// Sends a copy of the message (from its headers on) to RedirectMail; true when
// the submission program accepted it.
bool redirect(const mail& m, const actions_settings& actions, const mailer_settings& mailer);

// kind: NOTIFY_SENDER, NOTIFY_RCPTS or NOTIFY_ADMIN; archive: the quarantine
// copy or nullptr; viruses: the known viruses of the verdict or nullptr.
void notify(const mail& m, int kind, const char* archive, strings* viruses, const notification_settings& block,
            const actions_settings& actions, const mailer_settings& mailer);

}  // namespace kv
