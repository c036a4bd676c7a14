// kv_notify: mail the filter creates about a message: a redirected copy to
// RedirectMail and notifications to the sender, the recipients or the
// administrator, built from templates. Everything is sent from FilterMail.
//
// plan_notice decides, without I/O, whether a notification goes out and to whom
// (the switches, notifications about the filter's own notifications, the
// unnotifiable lists, the empty sender); send_notice renders its template and
// submits it. A failed notification is logged and changes nothing else.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kv_mail.h"
#include "kv_settings.h"
#include "kv_verdict.h"

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

// kind: NOTIFY_SENDER, NOTIFY_RCPTS or NOTIFY_ADMIN; viruses: the known viruses
// of the verdict or nullptr. The notification, or nullopt when it is blocked;
// the reasons are appended to lines.
std::optional<notice> plan_notice(const mail& m, int kind, const notification_settings& block, strings* viruses,
                                  const actions_settings& actions, std::vector<log_line>& lines);

// archive: the quarantine copy or nullptr. true when the submission program took it.
bool send_notice(const mail& m, const notice& n, const char* archive, const actions_settings& actions,
                 const mailer_settings& mailer);

}  // namespace kv
