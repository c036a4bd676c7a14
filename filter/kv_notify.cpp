#include "kv_notify.h"

#include <cstdarg>
#include <cstring>

#include "kv_mailsend.h"
#include "kv_report.h"
#include "kv_viruses.h"
#include "kv_addresses.h"
#include "kvc_format.h"
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

namespace {

void add_line(std::vector<log_line>& lines, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
void add_line(std::vector<log_line>& lines, int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    lines.push_back({level, vformat_text(format, ap)});
    va_end(ap);
}

}  // namespace

std::optional<notice> plan_notice(const mail& m, int kind, const notification_settings& block, strings* viruses,
                                  const actions_settings& actions, std::vector<log_line>& lines) {
    message_label label(m);
    const char* who = kind_label(kind);
    int enabled = kind == NOTIFY_SENDER ? block.sender_notify
                  : kind == NOTIFY_RCPTS ? block.rcpts_notify
                  : kind == NOTIFY_ADMIN ? block.admin_notify
                                         : 0;
    if (!enabled) {
        add_line(lines, Verbose, "notify(%s): about the message(%s) sent by %s to %s is blocked by configuration", who,
                 label.file(), label.sender(), label.rcpt());
        return std::nullopt;
    }
    if (kind == NOTIFY_ADMIN && notification_on_notification(m, actions)) {
        add_line(lines, Alerts,
                 "notify(admin): about the message(%s) sent by %s to %s is blocked because it looks like a notification on a notification to admin",
                 label.file(), label.sender(), label.rcpt());
        return std::nullopt;
    }
    if (viruses != nullptr && !viruses_notify(actions.unnotifiable_viruses.get(), viruses, kind)) {
        add_line(lines, Info,
                 "notify(%s): about the message(%s) sent by %s to %s is blocked because contains non-notificable viruses",
                 who, label.file(), label.sender(), label.rcpt());
        return std::nullopt;
    }
    notice n;
    n.kind = kind;
    const conf_string* template_path = nullptr;
    if (kind == NOTIFY_RCPTS) {
        template_path = &block.rcpts_template;
        strings* rcpts = e_get_rcpts(m.env);
        const maddr_list* unnotifiable = actions.unnotifiable_addresses.get();
        static const std::vector<std::string> none;
        for (const std::string& rcpt : rcpts != nullptr ? rcpts->items() : none) {
            if (unnotifiable != nullptr && !maddr_check(unnotifiable, rcpt.c_str(), 2)) {
                add_line(lines, Info, "notify(%s): about the message(%s) sent by %s to %s skip non-notificable rcpt=%s",
                         who, label.file(), label.sender(), label.rcpt(), rcpt.c_str());
            } else {
                n.rcpts.push_back(rcpt);
            }
        }
        if (n.rcpts.empty() && unnotifiable != nullptr) {
            add_line(lines, Info,
                     "notify(%s): about the message(%s) sent by %s to %s was blocked because contains only non-notificable recipients",
                     who, label.file(), label.sender(), label.rcpt());
            return std::nullopt;
        }
    } else if (kind == NOTIFY_ADMIN) {
        template_path = &block.admin_template;
        std::optional<std::string> admin = normalize_address(actions.admin_mail ? actions.admin_mail->c_str() : nullptr);
        if (admin && !admin->empty()) n.rcpts.push_back(*admin);
    } else {
        template_path = &block.sender_template;
        const char* sender = e_get_from(m.env);
        if (sender != nullptr && strncmp(sender, "<>", 2) == 0) {
            add_line(lines, Alerts, "notify(%s): about the message(%s) sent by %s to %s was blocked to send to <>", who,
                     label.file(), label.sender(), label.rcpt());
            return std::nullopt;
        }
        if (!maddr_check(actions.unnotifiable_addresses.get(), sender, 1)) {
            add_line(lines, Info,
                     "notify(%s): about the message(%s) sent by %s to %s was blocked because contains non-notificable sender=%s",
                     who, label.file(), label.sender(), label.rcpt(), sender != nullptr ? sender : "");
            return std::nullopt;
        }
        if (sender != nullptr && *sender != '\0') n.rcpts.push_back(sender);
    }
    if (n.rcpts.empty()) {
        add_line(lines, Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to fill envelope", who,
                 label.file(), label.sender(), label.rcpt());
        return std::nullopt;
    }
    if (*template_path) n.template_path = **template_path;
    return n;
}

bool send_notice(const mail& m, const notice& n, const char* archive, const actions_settings& actions,
                 const mailer_settings& mailer) {
    message_label label(m);
    const char* who = kind_label(n.kind);
    std::unique_ptr<envelope> env = e_create(actions.filter_mail ? actions.filter_mail->c_str() : nullptr);
    bool filled = env != nullptr;
    for (const std::string& rcpt : n.rcpts) filled = filled && e_add_rcpt(*env, rcpt.c_str());
    if (!filled) {
        log(Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to create envelope", who,
            label.file(), label.sender(), label.rcpt());
        return false;
    }
    std::optional<std::string> text =
        create_report(m, n.template_path.empty() ? nullptr : n.template_path.c_str(), archive, actions);
    if (!text) {
        log(Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to generate report", who,
            label.file(), label.sender(), label.rcpt());
        return false;
    }
    if (!mailsend(*env, nullptr, 0, text->data(), text->size(), mailer)) {
        log(Errors, "notify(%s): about the message(%s) sent by %s to %s was failed to send", who, label.file(),
            label.sender(), label.rcpt());
        return false;
    }
    return true;
}

}  // namespace kv
