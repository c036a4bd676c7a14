// kv_verdict: the judgement on one message, apart from its effects.
//
// The facts (scan_facts) are gathered first: the mail record with its envelope,
// headers and the daemon's answer, the stage that failed if one did, and the
// route that actually served the scan. decide turns facts and settings into a
// verdict and does no I/O at all: the disposition of the message, the effects to
// carry out (quarantine, a redirected copy, the cured copy, notifications,
// statistics) and the log lines of the decision, which carry_out (kv_carryout)
// writes before it runs the effects in a fixed order. Both front ends share it:
// the pipe filter turns the disposition into an exit status, the milter into an
// SMTP reply.
//
// Processing errors (a stage that failed) are judged in one place,
// processing_error: the ProcessingErrors action applies, except that a message
// that is not stored in full can only be kept for a later try, and a local
// fault is never refused (a refusal bounces the message to its sender).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kv_mail.h"
#include "kv_settings.h"
#include "kvc_lib.h"

namespace kv {

// The settings the verdict needs.
struct scan_settings {
    const scanning_settings& scanning;
    const actions_settings& actions;
    const notification_settings& virus;
    const notification_settings& malware;
    const notification_settings& skip;
    const notification_settings& archive_restriction;
    const notification_settings& error;
    const notification_settings& rule_filter;
    const notification_settings& cured;
    const mailer_settings& mailer;
    const agent_settings& agent;

    static scan_settings of(const filter_config& config);
};

// The stage that failed, in the order the stages run.
enum fault_kind : int {
    FAULT_NONE = 0,
    FAULT_SPOOL,     // the message could not be stored in full
    FAULT_RECORD,    // the message record could not be made
    FAULT_ENVELOPE,  // no sender or no recipient was given
    FAULT_HEADERS,   // the stored headers could not be read
    FAULT_LIBRARY,   // the daemon client library did not start
    FAULT_PATH,      // the spool path could not be converted for the daemon
    FAULT_SCAN,      // the daemon could not be reached or gave no answer
    FAULT_REREAD,    // the headers could not be read again after the daemon changed the message
};

struct scan_facts {
    const mail* message = nullptr;  // envelope, spool path, headers, the daemon's (or the filter's) result
    bool stored = false;            // the whole message is in the spool file
    fault_kind fault = FAULT_NONE;
    int scan_code = 0;              // the library's code for FAULT_SCAN
    bool answered = false;          // the daemon answered; the record holds its result
    scan_route route{};             // which daemon answered, and whether it read the file itself
    uint32_t options = 0;           // the request's first option word
};

enum disposition : int {
    DISPOSE_DELIVER,   // the message goes on as it is (cured in place by a daemon in local mode)
    DISPOSE_CURED,     // the daemon's cured copy goes on instead of the message
    DISPOSE_CONSUMED,  // stored in the quarantine, redirected, or dropped on purpose
    DISPOSE_REJECT,    // refused
    DISPOSE_DEFER,     // the mail system keeps it and tries again later
};

// One notification: who gets it and from which template.
struct notice {
    int kind = 0;                     // NOTIFY_SENDER, NOTIFY_RCPTS or NOTIFY_ADMIN
    std::string template_path;
    std::vector<std::string> rcpts;   // the notification's recipients, in order
    bool limited = false;             // about a problem: sent at most once per ErrorNotifyInterval
};

struct log_line {
    int level;
    std::string text;
};

struct verdict {
    int action = ACT_PASS;               // the action that decided, after the rule for "<>"
    disposition dispose = DISPOSE_DELIVER;
    bool quarantine = false;             // store the message in the quarantine
    bool redirect = false;               // the message goes to RedirectMail instead
    bool agent_stats = false;            // report the daemon's counters to the agent
    std::vector<notice> notices;         // in sending order
    std::string problem;                 // names the problem of the limited notices
    const conf_string* reply = nullptr;  // the reason recorded for a stopped message
    std::string category;                // a word for the quarantine record: "infected", ...
    std::vector<log_line> lines;         // the decision, logged before any effect
};

// The checks before the daemon is asked (the filter's own redirected copies,
// loops, the empty sender, the deny list): a verdict when they decide, nullopt
// when the message is to be scanned. Needs a record with an envelope.
std::optional<verdict> precheck(const mail& m, const scan_settings& settings);

verdict decide(const scan_facts& facts, const scan_settings& settings);

// The pipe filter's exit status for a disposition (0, 69 or 75).
int exit_status_of(disposition dispose);

// The request's option words for the settings.
uint32_t scan_options(const scanning_settings& scanning, const actions_settings& actions);
uint32_t scan_options2(const actions_settings& actions);

// "<>" and every sender that begins with those two characters.
bool empty_sender(const mail& m);

}  // namespace kv
