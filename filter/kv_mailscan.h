// kv_mailscan: the verdict on one stored message. scan decides whether the
// message is examined at all, has the daemon check it, turns the daemon's status
// word into one configured action, carries out what the action needs on the
// filter's side (redirection, quarantine, a cured copy, notifications, the reply
// text) and answers the action for the main flow to map to an exit status.
#pragma once

#include <cstdint>

#include "kv_mail.h"
#include "kv_settings.h"

namespace kv::mailscan {

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

// An action code; status receives the daemon's status word, or KV_FILTER_FAILURE
// when the daemon gave no answer.
int scan(mail& m, const scan_settings& settings, uint32_t* status);

// A category of the status word (mask) with its configured action; reason may be
// nullptr. Answers the action carried out.
int check_result(mail& m, uint32_t mask, int action, const notification_settings& block,
                 const actions_settings& actions, const mailer_settings& mailer, const char* reason);

// The request's option words for the settings.
uint32_t scan_options(const scanning_settings& scanning, const actions_settings& actions);
uint32_t scan_options2(const actions_settings& actions);

}  // namespace kv::mailscan
