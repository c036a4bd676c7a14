#include "kv_notify.h"

#include <cstring>

#include "kv_mailsend.h"
#include "kv_report.h"
#include "kv_viruses.h"
#include "kv_addresses.h"
#include "kvc_log.h"

namespace kv {

message_label::message_label(const mail& m) {
    const char* path = mail_get_path(m);
    const char* slash = path != nullptr ? strrchr(path, '/') : nullptr;
    file_ = slash != nullptr ? slash + 1 : (path != nullptr ? path : "");
    const char* from = e_get_from(m.env);
    sender_ = from != nullptr ? from : "";
    strings* rcpts = e_get_rcpts(m.env);
    rcpt_ = rcpts != nullptr && rcpts->count() == 1 ? rcpts->items()[0] : "rcpts";
}

bool redirect(const mail& m, const actions_settings& actions, const mailer_settings& mailer) {
    message_label label(m);
    if (!actions.redirect_mail) {
        log(Errors, "redirect: parameter %s was not specified, so cannot use redirection", "RedirectMail");
        return false;
    }
    std::unique_ptr<envelope> env = e_create(actions.filter_mail ? actions.filter_mail->c_str() : nullptr);
    if (!env) {
        log(Errors, "redirect: the message(%s) sent by %s to %s was failed to create envelope", label.file(),
            label.sender(), label.rcpt());
        return false;
    }
    if (!e_add_rcpt(*env, actions.redirect_mail->c_str())) {
        log(Errors, "redirect: the message(%s) sent by %s to %s was failed to set recipient", label.file(),
            label.sender(), label.rcpt());
        return false;
    }
    if (!mailsend(*env, mail_get_path(m), m.headers_offset, nullptr, 0, mailer)) {
        log(Errors, "redirect: the message(%s) sent by %s to %s was failed to send", label.file(), label.sender(),
            label.rcpt());
        return false;
    }
    return true;
}

namespace {

const char* kind_label(int kind) {
    switch (kind) {
    case NOTIFY_SENDER: return "sender";
    case NOTIFY_RCPTS: return "rcpts";
    case NOTIFY_ADMIN: return "admin";
    default: return "ERROR";
    }
}

// A notification to the administrator about the filter's own notification to
// the administrator would start an endless exchange.
bool notification_on_notification(const mail& m, const actions_settings& actions) {
    if (!actions.filter_mail || !actions.admin_mail) return false;
    std::optional<std::string> filter = normalize_address(actions.filter_mail->c_str());
    std::optional<std::string> admin = normalize_address(actions.admin_mail->c_str());
    if (!filter || !admin) return false;
    const char* from = e_get_from(m.env);
    return e_rcpts_count(m.env) == 1 && from != nullptr && *filter == from && e_has_rcpt(m.env, admin->c_str());
}

}  // namespace

void notify(const mail& m, int kind, const char* archive, strings* viruses, const notification_settings& block,
            const actions_settings& actions, const mailer_settings& mailer) {
    message_label label(m);
    const char* who = kind_label(kind);
    int enabled = kind == NOTIFY_SENDER ? block.sender_notify
                  : kind == NOTIFY_RCPTS ? block.rcpts_notify
                  : kind == NOTIFY_ADMIN ? block.admin_notify
                                         : 0;
    if (!enabled) {
        log(Verbose, "notify(%s): about the message(%s) sent by %s to %s is blocked by configuration", who,
            label.file(), label.sender(), label.rcpt());
        return;
    }
    if (kind == NOTIFY_ADMIN && notification_on_notification(m, actions)) {
        log(Alerts,
            "notify(admin): about the message(%s) sent by %s to %s is blocked because it looks like a notification on a notification to admin",
            label.file(), label.sender(), label.rcpt());
        return;
    }
    if (viruses != nullptr && !viruses_notify(actions.unnotifiable_viruses.get(), viruses, kind)) {
        log(Info, "notify(%s): about the message(%s) sent by %s to %s is blocked because contains non-notificable viruses",
            who, label.file(), label.sender(), label.rcpt());
        return;
    }
    std::unique_ptr<envelope> env = e_create(actions.filter_mail ? actions.filter_mail->c_str() : nullptr);
    if (!env) {
        log(Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to create envelope", who,
            label.file(), label.sender(), label.rcpt());
        return;
    }
    const conf_string* template_path = nullptr;
    bool filled = true;
    if (kind == NOTIFY_RCPTS) {
        template_path = &block.rcpts_template;
        strings* rcpts = e_get_rcpts(m.env);
        const maddr_list* unnotifiable = actions.unnotifiable_addresses.get();
        if (unnotifiable != nullptr) {
            int added = 0;
            static const std::vector<std::string> none;
            for (const std::string& rcpt : rcpts != nullptr ? rcpts->items() : none) {
                if (!maddr_check(unnotifiable, rcpt.c_str(), 2)) {
                    log(Info, "notify(%s): about the message(%s) sent by %s to %s skip non-notificable rcpt=%s", who,
                        label.file(), label.sender(), label.rcpt(), rcpt.c_str());
                } else if (!e_add_rcpt(*env, rcpt.c_str())) {
                    log(Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to add %s in envelope",
                        who, label.file(), label.sender(), label.rcpt(), rcpt.c_str());
                } else {
                    ++added;
                }
            }
            if (added == 0) {
                log(Info,
                    "notify(%s): about the message(%s) sent by %s to %s was blocked because contains only non-notificable recipients",
                    who, label.file(), label.sender(), label.rcpt());
                return;
            }
        } else {
            filled = rcpts != nullptr && e_set_rcpts(*env, rcpts);
        }
    } else if (kind == NOTIFY_ADMIN) {
        template_path = &block.admin_template;
        filled = actions.admin_mail && e_add_rcpt(*env, actions.admin_mail->c_str()) && e_rcpts_count(*env) == 1;
    } else {
        template_path = &block.sender_template;
        const char* sender = e_get_from(m.env);
        if (sender != nullptr && strncmp(sender, "<>", 2) == 0) {
            log(Alerts, "notify(%s): about the message(%s) sent by %s to %s was blocked to send to <>", who,
                label.file(), label.sender(), label.rcpt());
            return;
        }
        if (!maddr_check(actions.unnotifiable_addresses.get(), sender, 1)) {
            log(Info,
                "notify(%s): about the message(%s) sent by %s to %s was blocked because contains non-notificable sender=%s",
                who, label.file(), label.sender(), label.rcpt(), sender);
            return;
        }
        filled = sender != nullptr && e_add_rcpt(*env, sender) && e_rcpts_count(*env) == 1;
    }
    if (!filled) {
        log(Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to fill envelope", who, label.file(),
            label.sender(), label.rcpt());
        return;
    }
    std::optional<std::string> text =
        create_report(m, *template_path ? (*template_path)->c_str() : nullptr, archive, actions);
    if (!text) {
        log(Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to generate report", who,
            label.file(), label.sender(), label.rcpt());
        return;
    }
    if (!mailsend(*env, nullptr, 0, text->data(), text->size(), mailer)) {
        log(Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to send", who, label.file(),
            label.sender(), label.rcpt());
    }
}

}  // namespace kv
