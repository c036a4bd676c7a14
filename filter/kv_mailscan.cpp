#include "kv_mailscan.h"

#include <cstring>
#include <string>

#include "kv_files.h"
#include "kv_mailsend.h"
#include "kv_mailutil.h"
#include "kv_notify.h"
#include "kv_util.h"
#include "kvc_lib.h"
#include "kvc_log.h"

namespace kv::mailscan {
namespace {

constexpr uint32_t kBaseOptions = 0x81480004;  // extended, mail, categories, 0x80000, statistics
constexpr uint32_t kAnyVirusOrMalware = 0x7C000E0;
constexpr uint32_t kChangedByDaemon = KV_CURED | KV_DELETED | KV_CLEAN_COMPOSITE;

bool empty_sender(const mail& m) {
    const char* from = e_get_from(m.env);
    return from != nullptr && strncmp(from, "<>", 2) == 0;
}

// A verdict on a message from "<>" is not bounced: such a message is discarded
// once quarantine and notifications are done. A temporary failure stays one:
// the mail system keeps the message and tries again without telling anybody.
int for_empty_sender(const mail& m, int action) {
    if (action == ACT_TEMPFAIL || !empty_sender(m)) return action;
    message_label label(m);
    log(Verbose, "set action to discard for the message(%s) sent by %s to %s - because address <> is not notificable for sender",
        label.file(), label.sender(), label.rcpt());
    return ACT_DISCARD;
}

// The processing-error action: never quarantine or redirect without a verdict.
int processing_error(const actions_settings& actions) {
    int action = actions.processing_errors;
    return action == ACT_QUARANTINE || action == ACT_REDIRECT ? ACT_REJECT : action;
}

void set_reply(mail& m, const conf_string& reply) {
    if (reply) (void)mail_set_property(m, MAIL_PROP_REPLY_STRING, reply->c_str());
}

// Stores the spool file in the quarantine; the archive's path, or none (the
// caller then turns the action into reject).
std::optional<std::string> store(mail& m, const actions_settings& actions) {
    message_label label(m);
    std::optional<std::string> archive = quarantine_store(actions.quarantine, mail_get_path(m), actions.move_file);
    if (!archive) {
        log(Errors, "scan: the message(%s) sent by %s to %s was not quarantined", label.file(), label.sender(),
            label.rcpt());
        return std::nullopt;
    }
    log(Alerts, "scan: the message(%s) sent by %s to %s has been stored in archive %s", label.file(), label.sender(),
        label.rcpt(), archive->c_str());
    scanresult_set_quarantine_name(mail_get_result(m), archive->c_str());
    mail_keep_file(m);
    return archive;
}

void notify_all(mail& m, const char* archive, strings* viruses, const notification_settings& block,
                const actions_settings& actions, const mailer_settings& mailer) {
    for (int kind : {NOTIFY_ADMIN, NOTIFY_RCPTS, NOTIFY_SENDER}) notify(m, kind, archive, viruses, block, actions, mailer);
}

bool inject_cured(mail& m, const mailer_settings& mailer) {
    message_label label(m);
    const scanresult* result = mail_get_result(m);
    if (scanresult_get_cured_file(result) == nullptr) {
        log(Debug, "scan: the message(%s) sent by %s to %s original message has been cured", label.file(),
            label.sender(), label.rcpt());
        return true;
    }
    return mailsend(m.env, nullptr, 0, scanresult_get_cured_file(result), scanresult_get_cured_length(result),
                    mailer) != 0;
}

int check_infected(mail& m, const scan_settings& s, uint32_t options) {
    const actions_settings& actions = s.actions;
    message_label label(m);
    scanresult* result = mail_get_result(m);
    uint32_t status = scanresult_get_status(result);
    if ((status & (KV_KNOWN_VIRUS | KV_VIRUS_MODIFICATION)) == 0) return ACT_PASS;
    const scan_stat* stat = scanresult_get_stat(result);
    strings* known = result != nullptr ? result->categories[CAT_KNOWN].get() : nullptr;
    int action = actions.infected;

    if (stat != nullptr && (status & KV_MASK_CURED_DELETED) != 0) {
        // The counters come from the daemon: add them without overflow.
        int64_t infected = int64_t{(*stat)[STAT_KNOWN_VIRUSES]} + (*stat)[STAT_MODIFICATIONS];
        int64_t cured = (*stat)[STAT_CURED];
        int64_t expected = (options & KV_OPT_DELETE_SUSPICIOUS) ? (*stat)[STAT_SUSPICIOUS] : 0;
        if (options & (KV_OPT_DELETE_INFECTED | KV_OPT_DELETE_INCURABLE)) expected += infected;
        if ((options & KV_OPT_CURE) && cured < infected) {
            log(Alerts, "scan: the message(%s) sent by %s to %s not all viruses has been cured", label.file(),
                label.sender(), label.rcpt());
            action = actions.cure_fail;
        } else if ((options & (KV_OPT_CURE | KV_OPT_DELETE_INFECTED | KV_OPT_DELETE_INCURABLE |
                               KV_OPT_DELETE_SUSPICIOUS)) != 0 &&
                   cured < expected) {
            log(Alerts, "scan: the message(%s) sent by %s to %s not all viruses has been cured or removed",
                label.file(), label.sender(), label.rcpt());
            action = actions.cure_fail;
        } else {
            log(Info, "scan: the message(%s) sent by %s to %s has been cured or infected parts have been removed",
                label.file(), label.sender(), label.rcpt());
            if ((status & KV_DELETED) && cured == (*stat)[STAT_DELETED] &&
                !viruses_notify(actions.unnotifiable_viruses.get(), known, NOTIFY_RCPTS)) {
                log(Info, "scan: the message(%s) sent by %s to %s has been discarded because contains only unnotificable viruses",
                    label.file(), label.sender(), label.rcpt());
                return ACT_DISCARD;
            }
            if (!inject_cured(m, s.mailer)) {
                log(Errors, "scan: the message(%s) sent by %s to %s cannot reinject cured message to mailer",
                    label.file(), label.sender(), label.rcpt());
                action = actions.cure_fail;
            } else {
                notify(m, NOTIFY_ADMIN, nullptr, known, s.cured, actions, s.mailer);
                notify(m, NOTIFY_SENDER, nullptr, known, s.cured, actions, s.mailer);
                return s.scanning.local_scan ? ACT_PASS : ACT_DISCARD;
            }
        }
    } else if (action == ACT_REMOVE || action == ACT_CURE) {
        action = actions.incurable;
        if (action == ACT_REMOVE) action = actions.cure_fail;
    }

    bool only_unquarantinable = (status & kAnyVirusOrMalware) != 0 &&
                                !viruses_quarantine(actions.unnotifiable_viruses.get(), known);
    std::optional<std::string> archive;
    if (action == ACT_REDIRECT) {
        if (only_unquarantinable) {
            log(Info, "scan: the message(%s) sent by %s to %s has NOT been redirected because contains only non-quarantinable viruses",
                label.file(), label.sender(), label.rcpt());
        } else {
            redirect(m, actions, s.mailer);
        }
    } else if (action == ACT_QUARANTINE && actions.quarantine.directory) {
        if (only_unquarantinable) {
            log(Info, "scan: the message(%s) sent by %s to %s has NOT been quarantined because contains only non-quarantinable viruses",
                label.file(), label.sender(), label.rcpt());
        } else {
            archive = store(m, actions);
            if (!archive) action = ACT_REJECT;
        }
    }
    notify_all(m, archive ? archive->c_str() : nullptr, known, s.virus, actions, s.mailer);
    if (empty_sender(m)) return for_empty_sender(m, action);
    if (!viruses_notify(actions.unnotifiable_viruses.get(), known, NOTIFY_SENDER)) {
        log(Verbose, "set action to discard for the message(%s) sent by %s to %s - because virus is not notificable for sender",
            label.file(), label.sender(), label.rcpt());
        return ACT_DISCARD;
    }
    return action;
}

}  // namespace

scan_settings scan_settings::of(const filter_config& c) {
    return {c.scanning, c.actions, c.virus, c.malware, c.skip, c.archive_restriction, c.error, c.rule_filter, c.cured,
            c.mailer, c.agent};
}

uint32_t scan_options(const scanning_settings& scanning, const actions_settings& actions) {
    uint32_t options = kBaseOptions;
    if (scanning.report_flags & 2) options |= KV_OPT_REPORT;
    if (scanning.heuristic_analysis) options |= KV_OPT_HEURISTIC;
    if (actions.infected == ACT_CURE) options |= KV_OPT_CURE;
    if (actions.infected == ACT_REMOVE) options |= KV_OPT_DELETE_INFECTED;
    if (actions.incurable == ACT_REMOVE) options |= KV_OPT_DELETE_INCURABLE;
    if (actions.suspicious == ACT_REMOVE) options |= KV_OPT_DELETE_SUSPICIOUS;
    if (scanning.use_tcp_nodelay) options |= KV_OPT_NODELAY;
    if (scanning.rule_filter) options |= KV_OPT_RULE | KV_OPT_RULE_FILTER;
    return options;
}

uint32_t scan_options2(const actions_settings& actions) {
    struct malware_bits {
        int action;
        uint32_t remove;
        uint32_t pass;
    };
    const malware_bits table[] = {
        {actions.adware, 0x10, 0x2},          {actions.dialers, 0x100, 0x20},   {actions.jokes, 0x1000, 0x200},
        {actions.riskware, 0x10000, 0x2000}, {actions.hacktools, 0x100000, 0x20000},
    };
    uint32_t options = 0;
    for (const malware_bits& row : table) {
        if (row.action == ACT_REMOVE) options |= row.remove;
        if (row.action == ACT_PASS) options |= row.pass;
    }
    return options;
}

int check_result(mail& m, uint32_t mask, int action, const notification_settings& block,
                 const actions_settings& actions, const mailer_settings& mailer, const char* reason) {
    if ((scanresult_get_status(mail_get_result(m)) & mask) == 0) return ACT_PASS;
    message_label label(m);
    if (action == ACT_PASS) {
        log(Alerts, "scan: the message(%s) sent by %s to %s passed by configuration but %s", label.file(),
            label.sender(), label.rcpt(), reason != nullptr ? reason : "daemon returns an alert");
        notify(m, NOTIFY_ADMIN, nullptr, nullptr, block, actions, mailer);
        return ACT_PASS;
    }
    std::optional<std::string> archive;
    if (action == ACT_REDIRECT) {
        redirect(m, actions, mailer);
    } else if (action == ACT_QUARANTINE && actions.quarantine.directory) {
        archive = store(m, actions);
        if (!archive) action = ACT_REJECT;
    }
    notify_all(m, archive ? archive->c_str() : nullptr, nullptr, block, actions, mailer);
    return for_empty_sender(m, action);
}

int scan(mail& m, const scan_settings& s, uint32_t* status) {
    const actions_settings& actions = s.actions;
    message_label label(m);
    if (status == nullptr) {
        log(Alerts, "scan: the message(%s) sent by %s to %s null input parameters (%d:%d:%d:%d:%d)", label.file(),
            label.sender(), label.rcpt(), 0, 0, 0, 0, 1);
        return processing_error(actions);
    }
    *status = KV_FILTER_FAILURE;
    const char* filter = actions.filter_mail ? actions.filter_mail->c_str() : nullptr;
    const char* redirect_to = actions.redirect_mail ? actions.redirect_mail->c_str() : nullptr;
    if (filter != nullptr && redirect_to != nullptr && is_special(m, filter, redirect_to, "redirect")) {
        log(Alerts, "scan: the message(%s) sent by %s to %s looks like redirected message - skip check", label.file(),
            label.sender(), label.rcpt());
        return ACT_PASS;
    }
    if (filter != nullptr && is_special(m, filter, filter, "loop")) {
        log(Alerts, "scan: the message(%s) sent by %s to %s looks like loop (from me to me) - reject", label.file(),
            label.sender(), label.rcpt());
        return ACT_REJECT;
    }
    const char* from = e_get_from(m.env);
    if (from != nullptr && strcmp(from, "<>") == 0 && actions.empty_from != ACT_CONTINUE) {
        log(Alerts, "scan: the message(%s) sent by %s to %s contains empty from <> that is not allowed", label.file(),
            label.sender(), label.rcpt());
        return actions.empty_from;
    }
    if (!mail_need_scan(m, s.scanning.deny_list.get(), s.scanning.deny_mode, s.scanning.deny_by_default)) {
        log(Alerts, "scan: the message(%s) sent by %s to %s should be passed without checks, because contains uncheckable addresses",
            label.file(), label.sender(), label.rcpt());
        return ACT_PASS;
    }

    uint32_t options = scan_options(s.scanning, actions);
    uint32_t options2 = scan_options2(actions);
    std::optional<std::string> name =
        normalize_path(mail_get_path(m), s.scanning.local_scan != 0,
                       s.scanning.prefix_path ? s.scanning.prefix_path->c_str() : nullptr,
                       static_cast<unsigned>(s.scanning.strip_path));
    if (!name) {
        log(Errors, "scan: path converting of filename(%s) failed", mail_get_path(m));
        return processing_error(actions);
    }
    std::unique_ptr<scanresult> result;
    int code = scanmail(*name, s.scanning.local_scan, options, options2, result,
                        static_cast<uint32_t>(s.scanning.report_max_size), from != nullptr ? from : "",
                        e_get_rcpts(m.env));
    name.reset();

    if (code != 0) {
        log(Errors, "scan: scanning the message(%s) sent by %s to %s failed (error: %d)", label.file(),
            label.sender(), label.rcpt(), code);
        result = scanresult_new();
        scanresult_set_status(result.get(), KV_FILTER_FAILURE);
        scanresult_set_report(result.get(), code == KV_ERR_NO_DAEMON ? "The filter cannot connect to the Kerval daemon\n"
                                                        : "The filter fails to pass object to the Kerval daemon\n");
        mail_set_result(m, std::move(result));
        int action = check_result(m, KV_FILTER_FAILURE, actions.processing_errors, s.error, actions, s.mailer,
                                  "the filter fails to pass object to the Kerval daemon");
        set_reply(m, actions.reply_error);
        return action;
    }

    uint32_t daemon_status = scanresult_get_status(result.get());
    *status = daemon_status;
    mail_set_result(m, std::move(result));
    log(Verbose, "scan: daemon return %#x for the message(%s) sent by %s to %s", daemon_status, label.file(),
        label.sender(), label.rcpt());

    if (daemon_status & kChangedByDaemon) {
        log(Verbose, "scan: daemon possibly has changed the message(%s) sent by %s to %s - need re-read message headers",
            label.file(), label.sender(), label.rcpt());
        if (!mail_parse_headers(m)) {
            log(Errors, "cannot re-read headers for the message(%s) sent by %s to %s", label.file(), label.sender(),
                label.rcpt());
            set_reply(m, actions.reply_error);
            return processing_error(actions);
        }
    }

    if (!drop_stat(s.agent, mail_get_result(m))) log(Alerts, "scan: drop scan results to %s failed", "agent");

    int action = check_infected(m, s, options);
    if (action != ACT_PASS) {
        strings* known = mail_get_result(m)->categories[CAT_KNOWN].get();
        if (known != nullptr && known->count() == 1) {
            log(Alerts, "scan: the message(%s) sent by %s to %s infected with %s", label.file(), label.sender(),
                label.rcpt(), known->items()[0].c_str());
        } else {
            log(Alerts, "scan: the message(%s) sent by %s to %s infected with a viruses", label.file(), label.sender(),
                label.rcpt());
        }
        set_reply(m, actions.reply_infected);
        return action;
    }

    struct category_row {
        uint32_t mask;
        int action;
        const notification_settings& block;
        const char* reason;
        const char* verdict;
        const conf_string& reply;
    };
    const category_row rows[] = {
        {KV_UNKNOWN_VIRUS, actions.suspicious, s.virus, "the message contains a suspicious object(s)",
         "scan: the message(%s) sent by %s to %s probably infected", actions.reply_suspicious},
        {KV_ADWARE, actions.adware, s.malware, "the message contains an advertizing software",
         "scan: the message(%s) sent by %s to %s contains an advertizing software", actions.reply_malware},
        {KV_DIALER, actions.dialers, s.malware, "the message contains a dialer",
         "scan: the message(%s) sent by %s to %s contains a dialer", actions.reply_malware},
        {KV_JOKE, actions.jokes, s.malware, "the message contains a hoax",
         "scan: the message(%s) sent by %s to %s contains a hoax", actions.reply_malware},
        {KV_RISKWARE, actions.riskware, s.malware, "the message contains a potentially dangerous software",
         "scan: the message(%s) sent by %s to %s contains a potentially dangerous software", actions.reply_malware},
        {KV_HACKTOOL, actions.hacktools, s.malware, "the message contains an intrusion tool",
         "scan: the message(%s) sent by %s to %s contains an intrusion tool", actions.reply_malware},
        {KV_RULE_FILTER_REJECT, actions.rule_filter_alert, s.rule_filter,
         "the message was filtered by rules for headers",
         "scan: the message(%s) sent by %s to %s rejected by daemon filtering rule (%s)", actions.reply_rule_filter},
        {KV_MASK_ARCHIVE, actions.archive_restriction, s.archive_restriction,
         "the message contains an archive(s) that was not scanned by configuration reason",
         "scan: the message(%s) sent by %s to %s contains object with archive restrictions",
         actions.reply_archive_restriction},
        {KV_MASK_SKIPPED, actions.skip_object, s.skip, "the message contains an unscanned (skipped) object(s)",
         "scan: the message(%s) sent by %s to %s contains an unchecked objects", actions.reply_skip_object},
        {KV_MASK_SCAN_ERROR, actions.scanning_errors, s.error, "the daemon fails to scan this messages",
         "scan: the message(%s) sent by %s to %s daemon return error (%s) - possible problem with daemon or file",
         actions.reply_error},
    };
    for (const category_row& row : rows) {
        action = check_result(m, row.mask, row.action, row.block, actions, s.mailer, row.reason);
        if (action == ACT_PASS) continue;
        std::string detail = row.mask == KV_RULE_FILTER_REJECT
                                 ? std::string(scanresult_get_rule(mail_get_result(m)) != nullptr
                                                   ? scanresult_get_rule(mail_get_result(m))
                                                   : "")
                                 : result_to_text(daemon_status);
        log(Alerts, row.verdict, label.file(), label.sender(), label.rcpt(), detail.c_str());
        set_reply(m, row.reply);
        return action;
    }
    log(Info, "scan: the message(%s) sent by %s to %s is passed", label.file(), label.sender(), label.rcpt());
    return ACT_PASS;
}

}  // namespace kv::mailscan
