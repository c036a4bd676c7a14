#include "kv_verdict.h"

#include <cstdarg>
#include <cstring>

#include "kv_mailutil.h"
#include "kv_notify.h"
#include "kv_viruses.h"
#include "kvc_format.h"
#include "kvc_log.h"

namespace kv {
namespace {

constexpr uint32_t kBaseOptions = 0x81480004;  // extended, mail, categories, 0x80000, statistics
constexpr uint32_t kAnyVirusOrMalware = 0x7C000E0;
constexpr uint32_t kCureOrRemove = KV_OPT_CURE | KV_OPT_DELETE_INFECTED | KV_OPT_DELETE_INCURABLE |
                                   KV_OPT_DELETE_SUSPICIOUS;

// The verdict under construction with the message's label for its lines.
class judgement {
public:
    judgement(const mail& m, const scan_settings& s) : m_(m), s_(s), label_(m) {}

    void line(int level, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        va_list ap;
        va_start(ap, format);
        v.lines.push_back({level, vformat_text(format, ap)});
        va_end(ap);
    }
    // A line about this message: format takes the label's three values first.
    template <typename... Args>
    void about(int level, const char* format, Args... args) {
        line(level, format, label_.file(), label_.sender(), label_.rcpt(), args...);
    }

    void notify(int kind, const notification_settings& block, strings* viruses, bool limited = false) {
        std::optional<notice> planned = plan_notice(m_, kind, block, viruses, s_.actions, v.lines);
        if (!planned) return;
        planned->limited = limited;
        v.notices.push_back(std::move(*planned));
    }
    void notify_all(const notification_settings& block, strings* viruses, bool limited = false) {
        for (int kind : {NOTIFY_ADMIN, NOTIFY_RCPTS, NOTIFY_SENDER}) notify(kind, block, viruses, limited);
    }

    // Ends the judgement with an action; the disposition follows from it.
    verdict finish(int action) {
        v.action = action;
        switch (action) {
        case ACT_PASS:
        case ACT_CONTINUE:
            if (v.dispose != DISPOSE_CURED) v.dispose = DISPOSE_DELIVER;
            break;
        case ACT_REJECT: v.dispose = DISPOSE_REJECT; break;
        case ACT_TEMPFAIL: v.dispose = DISPOSE_DEFER; break;
        case ACT_QUARANTINE:
        case ACT_REDIRECT:
        case ACT_DISCARD: v.dispose = DISPOSE_CONSUMED; break;
        default:
            // remove and cure are asked of the daemon and never end a judgement.
            line(Errors, "kerval-pipe: wrong action %d requested", action);
            v.action = ACT_TEMPFAIL;
            v.dispose = DISPOSE_DEFER;
            break;
        }
        return std::move(v);
    }

    // A verdict on a message from "<>" is not bounced: it is discarded once the
    // quarantine and the notifications are done. A temporary failure stays one.
    int for_empty_sender(int action) {
        if (action == ACT_TEMPFAIL || action == ACT_PASS || !empty_sender(m_)) return action;
        about(Verbose, "set action to discard for the message(%s) sent by %s to %s - because address <> is not notificable for sender");
        return ACT_DISCARD;
    }

    const mail& m_;
    const scan_settings& s_;
    message_label label_;
    verdict v;
};

const scanresult* result_of(const mail& m) { return mail_get_result(m); }

strings* known_viruses(const mail& m) {
    scanresult* result = mail_get_result(m);
    return result != nullptr ? result->categories[CAT_KNOWN].get() : nullptr;
}

// Quarantine and redirection for an action; false when the message must not be
// stored or redirected after all.
void place(judgement& j, int action) {
    if (action == ACT_REDIRECT) j.v.redirect = true;
    if (action == ACT_QUARANTINE) j.v.quarantine = true;
}

// One category of the status word with its configured action (every category
// but the viruses): the action that decides, or nullopt when the category does
// not apply or passes.
std::optional<int> check_result(judgement& j, uint32_t mask, int action, const notification_settings& block,
                                const char* reason, bool limited = false) {
    if ((scanresult_get_status(result_of(j.m_)) & mask) == 0) return std::nullopt;
    if (action == ACT_PASS) {
        j.about(Alerts, "scan: the message(%s) sent by %s to %s passed by configuration but %s",
                reason != nullptr ? reason : "daemon returns an alert");
        j.notify(NOTIFY_ADMIN, block, nullptr, limited);
        return std::nullopt;
    }
    place(j, action);
    j.notify_all(block, nullptr, limited);
    return j.for_empty_sender(action);
}

// The viruses: cured, removed, incurable. The action that decides, or nullopt
// when there are none or the daemon cured the spool file in place (the other
// categories then decide).
std::optional<int> check_infected(judgement& j, const scan_facts& facts) {
    const mail& m = j.m_;
    const actions_settings& actions = j.s_.actions;
    const scanresult* result = result_of(m);
    const uint32_t status = scanresult_get_status(result);
    if ((status & (KV_KNOWN_VIRUS | KV_VIRUS_MODIFICATION)) == 0) return std::nullopt;
    const scan_stat& stat = result->stat;
    strings* known = known_viruses(m);
    const uint32_t options = facts.options;
    int action = actions.infected;

    // A cure counts only when one was asked for and it reached the filter: in
    // local mode the daemon changed the spool file, in content mode it sent a
    // cured copy. Anything else is a message that is still infected.
    const bool claimed = (status & KV_MASK_CURED_DELETED) != 0;
    const bool usable = claimed && (options & kCureOrRemove) != 0 &&
                        (facts.route.local || scanresult_get_cured_length(result) > 0);
    if (claimed && !usable) {
        j.about(Alerts, "scan: the message(%s) sent by %s to %s is reported cured without a cure that was asked for and received - handled as infected");
    }
    bool cure_failed = false;
    if (usable) {
        int64_t infected = int64_t{stat[STAT_KNOWN_VIRUSES]} + stat[STAT_MODIFICATIONS];
        int64_t cured = stat[STAT_CURED];
        int64_t expected = (options & KV_OPT_DELETE_SUSPICIOUS) ? stat[STAT_SUSPICIOUS] : 0;
        if (options & (KV_OPT_DELETE_INFECTED | KV_OPT_DELETE_INCURABLE)) expected += infected;
        if ((options & KV_OPT_CURE) && cured < infected) {
            j.about(Alerts, "scan: the message(%s) sent by %s to %s not all viruses has been cured");
            cure_failed = true;
        } else if (cured < expected) {
            j.about(Alerts, "scan: the message(%s) sent by %s to %s not all viruses has been cured or removed");
            cure_failed = true;
        } else {
            j.about(Info, "scan: the message(%s) sent by %s to %s has been cured or infected parts have been removed");
            if ((status & KV_DELETED) && cured == stat[STAT_DELETED] &&
                !viruses_notify(actions.unnotifiable_viruses.get(), known, NOTIFY_RCPTS)) {
                j.about(Info, "scan: the message(%s) sent by %s to %s has been discarded because contains only unnotificable viruses");
                return ACT_DISCARD;
            }
            j.notify(NOTIFY_ADMIN, j.s_.cured, known);
            j.notify(NOTIFY_SENDER, j.s_.cured, known);
            if (facts.route.local) {
                if (!scanresult_get_cured_file(result)) {
                    j.about(Debug, "scan: the message(%s) sent by %s to %s original message has been cured");
                }
                return std::nullopt;  // the spool file itself is clean now
            }
            j.v.dispose = DISPOSE_CURED;
            j.v.category = "cured";
            return ACT_PASS;
        }
    }
    if (cure_failed) {
        action = actions.cure_fail;
    } else if (action == ACT_REMOVE || action == ACT_CURE) {
        action = actions.incurable;
        if (action == ACT_REMOVE) action = actions.cure_fail;
    }

    const bool only_unquarantinable =
        (status & kAnyVirusOrMalware) != 0 && !viruses_quarantine(actions.unnotifiable_viruses.get(), known);
    if (action == ACT_REDIRECT && only_unquarantinable) {
        j.about(Info, "scan: the message(%s) sent by %s to %s has NOT been redirected because contains only non-quarantinable viruses");
    } else if (action == ACT_QUARANTINE && only_unquarantinable) {
        j.about(Info, "scan: the message(%s) sent by %s to %s has NOT been quarantined because contains only non-quarantinable viruses");
    } else {
        place(j, action);
    }
    j.notify_all(j.s_.virus, known);
    if (empty_sender(m)) return j.for_empty_sender(action);
    if (!viruses_notify(actions.unnotifiable_viruses.get(), known, NOTIFY_SENDER)) {
        j.about(Verbose, "set action to discard for the message(%s) sent by %s to %s - because virus is not notificable for sender");
        return ACT_DISCARD;
    }
    return action;
}

// Whether a failed stage is the filter's own trouble (spool, record, library,
// paths) rather than the daemon's: such a message is never refused.
bool local_fault(fault_kind fault) { return fault != FAULT_SCAN; }

// A stage failed: ProcessingErrors decides, here and nowhere else.
verdict processing_error(judgement& j, const scan_facts& facts) {
    const bool available = facts.stored && facts.message != nullptr;
    int action = j.s_.actions.processing_errors;
    j.v.reply = &j.s_.actions.reply_error;
    j.v.category = "processing error";
    if (facts.fault == FAULT_SCAN) {
        // The daemon gave no answer: the error notifications tell of it, once per
        // problem and interval.
        j.v.problem = "scan" + std::to_string(facts.scan_code);
        if (action == ACT_PASS) {
            j.about(Alerts, "scan: the message(%s) sent by %s to %s passed by configuration but %s",
                    "the filter fails to pass object to the Kerval daemon");
            j.notify(NOTIFY_ADMIN, j.s_.error, nullptr, true);
        } else {
            j.notify_all(j.s_.error, nullptr, true);
        }
    }
    if (!available && action != ACT_TEMPFAIL) {
        j.line(Errors, "kerval-pipe: the message is not stored - keep it for retry");
        action = ACT_TEMPFAIL;
    } else if (action == ACT_PASS && facts.fault == FAULT_ENVELOPE) {
        j.line(Errors, "kerval-pipe: the message has no envelope to pass it on with - keep it for retry");
        action = ACT_TEMPFAIL;
    } else if (action == ACT_REJECT && local_fault(facts.fault)) {
        j.line(Errors, "kerval-pipe: a local fault is not a reason to reject the message - keep it for retry");
        action = ACT_TEMPFAIL;
    }
    place(j, action);
    if (action == ACT_PASS) {
        j.line(Alerts, "kerval-pipe: the message is passed without a scan because of a processing error");
        return j.finish(ACT_PASS);
    }
    return j.finish(j.for_empty_sender(action));
}

struct category_row {
    uint32_t mask;
    int action;
    const notification_settings& block;
    const char* reason;
    const char* verdict_line;
    const conf_string& reply;
    const char* category;
};

}  // namespace

scan_settings scan_settings::of(const filter_config& c) {
    return {c.scanning, c.actions, c.virus, c.malware, c.skip, c.archive_restriction, c.error, c.rule_filter, c.cured,
            c.mailer, c.agent};
}

bool empty_sender(const mail& m) {
    const char* from = e_get_from(m.env);
    return from != nullptr && strncmp(from, "<>", 2) == 0;
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

int exit_status_of(disposition dispose) {
    switch (dispose) {
    case DISPOSE_DELIVER:
    case DISPOSE_CURED:
    case DISPOSE_CONSUMED: return 0;
    case DISPOSE_REJECT: return 69;
    case DISPOSE_DEFER: break;
    }
    return 75;
}

std::optional<verdict> precheck(const mail& m, const scan_settings& s) {
    const actions_settings& actions = s.actions;
    judgement j(m, s);
    const char* filter = actions.filter_mail ? actions.filter_mail->c_str() : nullptr;
    const char* redirect_to = actions.redirect_mail ? actions.redirect_mail->c_str() : nullptr;
    if (filter != nullptr && redirect_to != nullptr && is_special(m, filter, redirect_to, "redirect")) {
        j.about(Alerts, "scan: the message(%s) sent by %s to %s looks like redirected message - skip check");
        return j.finish(ACT_PASS);
    }
    if (filter != nullptr && is_special(m, filter, filter, "loop")) {
        j.about(Alerts, "scan: the message(%s) sent by %s to %s looks like loop (from me to me) - reject");
        return j.finish(ACT_REJECT);
    }
    const char* from = e_get_from(m.env);
    if (from != nullptr && strcmp(from, "<>") == 0 && actions.empty_from != ACT_CONTINUE) {
        j.about(Alerts, "scan: the message(%s) sent by %s to %s contains empty from <> that is not allowed");
        return j.finish(actions.empty_from);
    }
    if (!mail_need_scan(m, s.scanning.deny_list.get(), s.scanning.deny_mode, s.scanning.deny_by_default)) {
        j.about(Alerts, "scan: the message(%s) sent by %s to %s should be passed without checks, because contains uncheckable addresses");
        return j.finish(ACT_PASS);
    }
    return std::nullopt;
}

verdict decide(const scan_facts& facts, const scan_settings& s) {
    static const mail kNoMessage{};
    const mail& m = facts.message != nullptr ? *facts.message : kNoMessage;
    judgement j(m, s);
    const actions_settings& actions = s.actions;

    // Stages before the envelope and the headers are known.
    if (facts.message == nullptr || facts.fault == FAULT_SPOOL || facts.fault == FAULT_RECORD ||
        facts.fault == FAULT_ENVELOPE || facts.fault == FAULT_HEADERS) {
        return processing_error(j, facts);
    }
    if (std::optional<verdict> early = precheck(m, s)) return std::move(*early);
    if (facts.fault != FAULT_NONE) return processing_error(j, facts);
    if (!facts.answered) {
        j.line(Errors, "kerval-pipe: no answer of the daemon to judge");
        scan_facts missing = facts;
        missing.fault = FAULT_SCAN;
        return processing_error(j, missing);
    }

    const scanresult* result = result_of(m);
    const uint32_t status = scanresult_get_status(result);
    j.v.agent_stats = true;

    if (std::optional<int> action = check_infected(j, facts)) {
        strings* known = known_viruses(m);
        if (known != nullptr && known->count() == 1) {
            j.about(Alerts, "scan: the message(%s) sent by %s to %s infected with %s", known->items()[0].c_str());
        } else {
            j.about(Alerts, "scan: the message(%s) sent by %s to %s infected with a viruses");
        }
        j.v.reply = &actions.reply_infected;
        if (j.v.category.empty()) j.v.category = "infected";
        return j.finish(*action);
    }

    const category_row rows[] = {
        {KV_UNKNOWN_VIRUS, actions.suspicious, s.virus, "the message contains a suspicious object(s)",
         "scan: the message(%s) sent by %s to %s probably infected", actions.reply_suspicious, "suspicious"},
        {KV_ADWARE, actions.adware, s.malware, "the message contains an advertizing software",
         "scan: the message(%s) sent by %s to %s contains an advertizing software", actions.reply_malware, "adware"},
        {KV_DIALER, actions.dialers, s.malware, "the message contains a dialer",
         "scan: the message(%s) sent by %s to %s contains a dialer", actions.reply_malware, "dialer"},
        {KV_JOKE, actions.jokes, s.malware, "the message contains a hoax",
         "scan: the message(%s) sent by %s to %s contains a hoax", actions.reply_malware, "joke"},
        {KV_RISKWARE, actions.riskware, s.malware, "the message contains a potentially dangerous software",
         "scan: the message(%s) sent by %s to %s contains a potentially dangerous software", actions.reply_malware,
         "riskware"},
        {KV_HACKTOOL, actions.hacktools, s.malware, "the message contains an intrusion tool",
         "scan: the message(%s) sent by %s to %s contains an intrusion tool", actions.reply_malware, "hacktool"},
        {KV_RULE_FILTER_REJECT, actions.rule_filter_alert, s.rule_filter,
         "the message was filtered by rules for headers",
         "scan: the message(%s) sent by %s to %s rejected by daemon filtering rule (%s)", actions.reply_rule_filter,
         "rule filter"},
        {KV_MASK_ARCHIVE, actions.archive_restriction, s.archive_restriction,
         "the message contains an archive(s) that was not scanned by configuration reason",
         "scan: the message(%s) sent by %s to %s contains object with archive restrictions",
         actions.reply_archive_restriction, "archive restriction"},
        {KV_MASK_SKIPPED, actions.skip_object, s.skip, "the message contains an unscanned (skipped) object(s)",
         "scan: the message(%s) sent by %s to %s contains an unchecked objects", actions.reply_skip_object,
         "skipped"},
        {KV_MASK_SCAN_ERROR, actions.scanning_errors, s.error, "the daemon fails to scan this messages",
         "scan: the message(%s) sent by %s to %s daemon return error (%s) - possible problem with daemon or file",
         actions.reply_error, "scanning error"},
    };
    for (const category_row& row : rows) {
        // Error notices about the daemon's errors go out once per interval.
        const bool is_error = row.mask == KV_MASK_SCAN_ERROR;
        std::optional<int> action = check_result(j, row.mask, row.action, row.block, row.reason, is_error);
        if (!action) continue;
        std::string detail = row.mask == KV_RULE_FILTER_REJECT
                                 ? std::string(scanresult_get_rule(result) != nullptr ? scanresult_get_rule(result) : "")
                                 : result_to_text(status);
        j.about(Alerts, row.verdict_line, detail.c_str());
        j.v.reply = &row.reply;
        j.v.category = row.category;
        if (is_error) j.v.problem = "scanerror";
        return j.finish(*action);
    }
    j.about(Info, "scan: the message(%s) sent by %s to %s is passed");
    return j.finish(ACT_PASS);
}

}  // namespace kv
