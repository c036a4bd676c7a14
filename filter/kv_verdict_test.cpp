// The decision as a table: what the daemon said (or which stage failed), the
// configured action, the mode that served the scan and ProcessingErrors, against
// the disposition and the effects. No process, file or socket is involved.
#include "kv_verdict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kv_carryout.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

using kv::DISPOSE_CONSUMED;
using kv::DISPOSE_CURED;
using kv::DISPOSE_DEFER;
using kv::DISPOSE_DELIVER;
using kv::DISPOSE_REJECT;

// Every notification switched on, with templates named "SECTION-KIND".
kv::filter_config all_notices() {
    kv::filter_config c;
    c.actions.filter_mail = "<kerval@filter.test>";
    c.actions.admin_mail = "<admin@filter.test>";
    c.actions.redirect_mail = "<box@filter.test>";
    c.actions.quarantine.directory = "/q";
    c.scanning.spool.directory = "/spool";
    struct block {
        kv::notification_settings* settings;
        const char* name;
    };
    for (block b : {block{&c.virus, "virus"}, {&c.malware, "malware"}, {&c.skip, "skip"},
                    {&c.archive_restriction, "archive"}, {&c.error, "error"}, {&c.rule_filter, "rule"},
                    {&c.cured, "cured"}}) {
        b.settings->sender_notify = b.settings->rcpts_notify = b.settings->admin_notify = 1;
        b.settings->sender_template = std::string(b.name) + "-sender";
        b.settings->rcpts_template = std::string(b.name) + "-rcpts";
        b.settings->admin_template = std::string(b.name) + "-admin";
    }
    return c;
}

// A message record as the gathering leaves it.
std::unique_ptr<kv::mail> message(const char* sender, uint32_t status, bool answered, const std::string& cured = "") {
    std::unique_ptr<kv::mail> m = kv::mail_create("/spool/kerval.tmp.X");
    EXPECT_EQ(kv::e_set_from(m->env, sender), 1);
    EXPECT_EQ(kv::e_add_rcpt(m->env, "rcpt@example.test"), 1);
    if (answered) {
        std::unique_ptr<kv::scanresult> result = kv::scanresult_new();
        result->status = status;
        if (status & (kv::KV_KNOWN_VIRUS | kv::KV_VIRUS_MODIFICATION)) {
            result->categories[kv::CAT_KNOWN] = kv::strings::create();
            result->categories[kv::CAT_KNOWN]->add("EICAR-Test-File");
            result->stat[kv::STAT_KNOWN_VIRUSES] = 1;
        }
        if (status & kv::KV_CURED) result->stat[kv::STAT_CURED] = 1;
        if (!cured.empty()) result->cured_file = cured;
        kv::mail_set_result(*m, std::move(result));
    }
    return m;
}

// The notices as "template" texts, in sending order.
std::vector<std::string> templates(const kv::verdict& v) {
    std::vector<std::string> names;
    for (const kv::notice& n : v.notices) names.push_back(n.template_path);
    return names;
}

const std::vector<std::string> kVirusNotices = {"virus-admin", "virus-rcpts", "virus-sender"};

struct decision_case {
    const char* name;
    uint32_t status = 0;                   // the daemon's answer (with answered)
    std::vector<std::pair<int kv::actions_settings::*, int>> actions = {};
    bool local = true;                     // the mode the scan was served in
    uint32_t options = 0;                  // what the request asked for
    std::string cured = "";                // the cured copy received
    kv::fault_kind fault = kv::FAULT_NONE;
    bool stored = true;
    const char* sender = "sender@example.org";
    // Expected:
    kv::disposition dispose = DISPOSE_DELIVER;
    bool quarantine = false;
    bool redirect = false;
    std::vector<std::string> notices = {};
    int action = -1;  // -1: not checked
};

void check(const decision_case& c) {
    SCOPED_TRACE(c.name);
    kv::filter_config config = all_notices();
    for (const auto& [field, value] : c.actions) config.actions.*field = value;
    const kv::scan_settings settings = kv::scan_settings::of(config);
    const bool answered = c.fault == kv::FAULT_NONE || c.fault == kv::FAULT_REREAD;
    std::unique_ptr<kv::mail> m = message(c.sender, c.status, answered, c.cured);
    kv::scan_facts facts;
    const bool before_record = c.fault == kv::FAULT_SPOOL || c.fault == kv::FAULT_RECORD;
    facts.message = before_record ? nullptr : m.get();
    facts.stored = c.stored && !before_record;
    facts.fault = c.fault;
    facts.scan_code = c.fault == kv::FAULT_SCAN ? kv::KV_ERR_NO_DAEMON : 0;
    facts.answered = answered;
    facts.route = {"local:/run/k.sock", c.local};
    facts.options = c.options;
    kvtest::log_capture logged;  // decide itself writes nothing at the verdict levels
    kv::verdict v = kv::decide(facts, settings);
    EXPECT_EQ(v.dispose, c.dispose);
    EXPECT_EQ(v.quarantine, c.quarantine);
    EXPECT_EQ(v.redirect, c.redirect);
    EXPECT_EQ(templates(v), c.notices);
    if (c.action >= 0) {
        EXPECT_EQ(v.action, c.action);
    }
    // The decision's own lines are in the verdict, for carry_out to write.
    for (const auto& [level, text] : logged.lines()) EXPECT_GT(level, kv::Info) << text;
}

using A = kv::actions_settings;

}  // namespace

TEST(Decide, DaemonAnswersByCategoryActionAndMode) {
    const uint32_t kCure = kv::KV_OPT_CURE;
    const decision_case cases[] = {
        {.name = "clean", .status = 0},
        {.name = "virus quarantined", .status = 0x20, .dispose = DISPOSE_CONSUMED, .quarantine = true,
         .notices = kVirusNotices},
        {.name = "virus rejected", .status = 0x20, .actions = {{&A::infected, kv::ACT_REJECT}},
         .dispose = DISPOSE_REJECT, .notices = kVirusNotices},
        {.name = "virus redirected", .status = 0x20, .actions = {{&A::infected, kv::ACT_REDIRECT}},
         .dispose = DISPOSE_CONSUMED, .redirect = true, .notices = kVirusNotices},
        {.name = "virus discarded", .status = 0x20, .actions = {{&A::infected, kv::ACT_DISCARD}},
         .dispose = DISPOSE_CONSUMED, .notices = kVirusNotices, .action = kv::ACT_DISCARD},
        // A cure is judged in the mode that served the scan.
        {.name = "cured in place", .status = 0x120, .actions = {{&A::infected, kv::ACT_CURE}}, .local = true,
         .options = kCure, .dispose = DISPOSE_DELIVER, .notices = {"cured-admin", "cured-sender"}},
        {.name = "cured copy from a backup", .status = 0x120, .actions = {{&A::infected, kv::ACT_CURE}},
         .local = false, .options = kCure, .cured = "Subject: x\r\n\r\nclean\r\n", .dispose = DISPOSE_CURED,
         .notices = {"cured-admin", "cured-sender"}},
        {.name = "cured without a copy", .status = 0x120, .actions = {{&A::infected, kv::ACT_CURE}},
         .local = false, .options = kCure, .dispose = DISPOSE_CONSUMED, .quarantine = true,
         .notices = kVirusNotices},
        {.name = "cured unasked", .status = 0x120, .local = false, .cured = "Subject: x\r\n\r\nclean\r\n",
         .dispose = DISPOSE_CONSUMED, .quarantine = true, .notices = kVirusNotices},
        {.name = "incurable, then cure fail", .status = 0x20,
         .actions = {{&A::infected, kv::ACT_CURE}, {&A::incurable, kv::ACT_REMOVE}, {&A::cure_fail, kv::ACT_REJECT}},
         .options = kCure, .dispose = DISPOSE_REJECT, .notices = kVirusNotices},
        {.name = "suspicious passed", .status = 0x40, .actions = {{&A::suspicious, kv::ACT_PASS}},
         .dispose = DISPOSE_DELIVER, .notices = {"virus-admin"}},
        {.name = "adware then rule: adware decides", .status = 0x420000,
         .actions = {{&A::adware, kv::ACT_DISCARD}, {&A::rule_filter_alert, kv::ACT_REJECT}},
         .dispose = DISPOSE_CONSUMED, .notices = {"malware-admin", "malware-rcpts", "malware-sender"}},
        {.name = "archive passed, skipped rejected", .status = 0x5000,
         .actions = {{&A::archive_restriction, kv::ACT_PASS}, {&A::skip_object, kv::ACT_REJECT}},
         .dispose = DISPOSE_REJECT, .notices = {"archive-admin", "skip-admin", "skip-rcpts", "skip-sender"}},
        {.name = "scanning error deferred", .status = 0x1, .actions = {{&A::scanning_errors, kv::ACT_TEMPFAIL}},
         .dispose = DISPOSE_DEFER, .notices = {"error-admin", "error-rcpts", "error-sender"}},
        // No bounce to the empty sender; a temporary failure stays one.
        {.name = "empty sender rejected", .status = 0x20, .actions = {{&A::infected, kv::ACT_REJECT}},
         .sender = "<>", .dispose = DISPOSE_CONSUMED, .notices = {"virus-admin", "virus-rcpts"},
         .action = kv::ACT_DISCARD},
        {.name = "empty sender deferred", .status = 0x1, .actions = {{&A::scanning_errors, kv::ACT_TEMPFAIL}},
         .sender = "<>", .dispose = DISPOSE_DEFER, .notices = {"error-admin", "error-rcpts"}},
    };
    for (const decision_case& c : cases) check(c);
}

TEST(Decide, ProcessingErrorsByStageAndAction) {
    const std::vector<std::string> kErrorNotices = {"error-admin", "error-rcpts", "error-sender"};
    const decision_case cases[] = {
        // The daemon gave no answer: ProcessingErrors as configured.
        {.name = "no daemon, pass", .actions = {{&A::processing_errors, kv::ACT_PASS}}, .fault = kv::FAULT_SCAN,
         .dispose = DISPOSE_DELIVER, .notices = {"error-admin"}},
        {.name = "no daemon, tempfail", .actions = {{&A::processing_errors, kv::ACT_TEMPFAIL}},
         .fault = kv::FAULT_SCAN, .dispose = DISPOSE_DEFER, .notices = kErrorNotices},
        {.name = "no daemon, reject", .actions = {{&A::processing_errors, kv::ACT_REJECT}}, .fault = kv::FAULT_SCAN,
         .dispose = DISPOSE_REJECT, .notices = kErrorNotices},
        {.name = "no daemon, quarantine", .fault = kv::FAULT_SCAN, .dispose = DISPOSE_CONSUMED, .quarantine = true,
         .notices = kErrorNotices},
        {.name = "no daemon, redirect", .actions = {{&A::processing_errors, kv::ACT_REDIRECT}},
         .fault = kv::FAULT_SCAN, .dispose = DISPOSE_CONSUMED, .redirect = true, .notices = kErrorNotices},
        // A local fault is never refused.
        {.name = "library, reject", .actions = {{&A::processing_errors, kv::ACT_REJECT}}, .fault = kv::FAULT_LIBRARY,
         .dispose = DISPOSE_DEFER},
        {.name = "library, pass", .actions = {{&A::processing_errors, kv::ACT_PASS}}, .fault = kv::FAULT_LIBRARY,
         .dispose = DISPOSE_DELIVER},
        {.name = "path, quarantine", .fault = kv::FAULT_PATH, .dispose = DISPOSE_CONSUMED, .quarantine = true},
        {.name = "headers reread, tempfail", .status = 0x100, .actions = {{&A::processing_errors, kv::ACT_TEMPFAIL}},
         .fault = kv::FAULT_REREAD, .dispose = DISPOSE_DEFER},
        // Without the whole message there is nothing to pass, keep or forward.
        {.name = "spool, pass", .actions = {{&A::processing_errors, kv::ACT_PASS}}, .fault = kv::FAULT_SPOOL,
         .dispose = DISPOSE_DEFER},
        {.name = "spool, quarantine", .fault = kv::FAULT_SPOOL, .dispose = DISPOSE_DEFER},
        {.name = "envelope, pass", .actions = {{&A::processing_errors, kv::ACT_PASS}}, .fault = kv::FAULT_ENVELOPE,
         .dispose = DISPOSE_DEFER},
        {.name = "headers, quarantine", .fault = kv::FAULT_HEADERS, .dispose = DISPOSE_CONSUMED, .quarantine = true},
    };
    for (const decision_case& c : cases) check(c);
}

TEST(Decide, ChecksBeforeTheScan) {
    kv::filter_config config = all_notices();
    config.actions.empty_from = kv::ACT_REJECT;
    const kv::scan_settings settings = kv::scan_settings::of(config);
    struct pre_case {
        const char* sender;
        const char* rcpt;
        kv::disposition dispose;
    };
    for (const pre_case& c : {pre_case{"kerval@filter.test", "box@filter.test", DISPOSE_DELIVER},
                              {"kerval@filter.test", "kerval@filter.test", DISPOSE_REJECT},
                              {"<>", "rcpt@example.test", DISPOSE_REJECT}}) {
        SCOPED_TRACE(c.rcpt);
        std::unique_ptr<kv::mail> m = kv::mail_create("/spool/kerval.tmp.X");
        ASSERT_EQ(kv::e_set_from(m->env, c.sender), 1);
        ASSERT_EQ(kv::e_add_rcpt(m->env, c.rcpt), 1);
        std::optional<kv::verdict> early = kv::precheck(*m, settings);
        ASSERT_TRUE(early);
        EXPECT_EQ(early->dispose, c.dispose);
        // The same holds when the library did not even start.
        kv::scan_facts facts{.message = m.get(), .stored = true, .fault = kv::FAULT_LIBRARY};
        EXPECT_EQ(kv::decide(facts, settings).dispose, c.dispose);
    }
}

TEST(Decide, VerdictLinesAreTheSystemsOwnTexts) {
    kv::filter_config config = all_notices();
    const kv::scan_settings settings = kv::scan_settings::of(config);
    std::unique_ptr<kv::mail> m = message("sender@example.org", 0x20, true);
    kv::scan_facts facts{.message = m.get(), .stored = true, .answered = true};
    kv::verdict v = kv::decide(facts, settings);
    std::vector<std::string> texts;
    for (const kv::log_line& line : v.lines) texts.push_back(line.text);
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "scan: the message(kerval.tmp.X) sent by sender@example.org to rcpt@example.test infected with "
                        "EICAR-Test-File"),
              texts.end())
        << ::testing::PrintToString(texts);
    EXPECT_EQ(v.reply, &config.actions.reply_infected);
    EXPECT_EQ(v.category, "infected");
    EXPECT_TRUE(v.agent_stats);
}

TEST(Decide, ResultLineNamesTheMessageId) {
    kv::verdict v;
    v.quarantine = true;
    std::unique_ptr<kv::mail> m = message("sender@example.org", 0x20, true);
    ASSERT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_MESSAGE_ID, " <id.1@example.org>\r"), 1);
    kvtest::log_capture logged;
    kv::log_result(v, DISPOSE_CONSUMED, m.get());
    kv::log_result(v, DISPOSE_DEFER, nullptr);
    EXPECT_TRUE(logged.has(kv::Alerts, "result: the message(kerval.tmp.X) sent by sender@example.org to "
                                       "rcpt@example.test message-id=<id.1@example.org>: quarantined"))
        << logged.dump();
    EXPECT_TRUE(logged.has(kv::Alerts, "result: the message was not stored: deferred"));
}
