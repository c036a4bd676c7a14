// The verdict as the milter answers it: every disposition under the settings
// that change the answer.
#include <gtest/gtest.h>

#include "kvm_reply.h"

namespace {

using kv::milter::milter_action;

struct reply_case {
    const char* name;
    kv::disposition outcome;
    bool quarantine;
    bool redirect;
    int to_hold;
    int add_header;
    int custom_reply;
    milter_action action;
    const char* rcode;
    const char* xcode;
    const char* text;  // nullptr: no reply
    bool hold;
    bool header;
};

TEST(MilterReply, EachDispositionMapsOntoTheProtocol) {
    const std::string fixed_reject = kv::milter::kRejectText;
    const std::string fixed_tempfail = kv::milter::kTempfailText;
    const reply_case cases[] = {
        {"pass", kv::DISPOSE_DELIVER, false, false, 0, 1, 0, milter_action::accept, "", "", nullptr, false, true},
        {"pass, no header", kv::DISPOSE_DELIVER, false, false, 0, 0, 0, milter_action::accept, "", "", nullptr, false,
         false},
        {"cured", kv::DISPOSE_CURED, false, false, 0, 1, 0, milter_action::accept, "", "", nullptr, false, true},
        {"quarantine", kv::DISPOSE_CONSUMED, true, false, 0, 1, 0, milter_action::discard, "", "", nullptr, false,
         false},
        {"quarantine to hold", kv::DISPOSE_CONSUMED, true, false, 1, 1, 0, milter_action::accept, "", "", nullptr,
         true, false},
        {"redirect", kv::DISPOSE_CONSUMED, false, true, 1, 1, 0, milter_action::accept, "", "", nullptr, false, true},
        {"discard", kv::DISPOSE_CONSUMED, false, false, 1, 1, 0, milter_action::discard, "", "", nullptr, false, false},
        {"reject, fixed text", kv::DISPOSE_REJECT, false, false, 0, 1, 0, milter_action::reject, "550", "5.7.1",
         fixed_reject.c_str(), false, false},
        {"reject, custom text", kv::DISPOSE_REJECT, false, false, 0, 1, 1, milter_action::reject, "550", "5.7.1",
         "Virus found: 100%% sure", false, false},
        {"tempfail, fixed text", kv::DISPOSE_DEFER, false, false, 0, 1, 0, milter_action::tempfail, "451", "4.7.1",
         fixed_tempfail.c_str(), false, false},
        {"tempfail, custom text", kv::DISPOSE_DEFER, false, false, 0, 1, 1, milter_action::tempfail, "451", "4.7.1",
         "Virus found: 100%% sure", false, false},
    };
    const kv::conf_string custom = "Virus found:\n100% sure";
    for (const reply_case& c : cases) {
        SCOPED_TRACE(c.name);
        kv::verdict v;
        v.dispose = c.outcome;
        v.quarantine = c.quarantine;
        v.redirect = c.redirect;
        v.reply = &custom;
        kv::actions_settings actions;
        actions.use_custom_reply = c.custom_reply;
        kv::milter::milter_settings milter;
        milter.quarantine_to_hold = c.to_hold;
        milter.add_header = c.add_header;
        const kv::milter::milter_answer a = kv::milter::answer_of(v, c.outcome, actions, milter);
        EXPECT_EQ(a.action, c.action);
        EXPECT_EQ(a.rcode, c.rcode);
        EXPECT_EQ(a.xcode, c.xcode);
        EXPECT_EQ(a.text, c.text != nullptr ? c.text : "");
        EXPECT_EQ(a.hold, c.hold);
        EXPECT_EQ(a.add_header, c.header);
    }
}

TEST(MilterReply, TheOutcomeAfterTheEffectsDecidesNotTheVerdict) {
    // A quarantine that failed is kept for a later try: 451, not a discard.
    kv::verdict v;
    v.dispose = kv::DISPOSE_CONSUMED;
    v.quarantine = true;
    const kv::milter::milter_answer a = kv::milter::answer_of(v, kv::DISPOSE_DEFER, {}, {});
    EXPECT_EQ(a.action, milter_action::tempfail);
    EXPECT_EQ(a.rcode, "451");
}

TEST(MilterReply, CustomReplyWithoutATextFallsBackToTheFixedOne) {
    kv::verdict v;
    const kv::conf_string none;
    v.reply = &none;
    kv::actions_settings actions;
    actions.use_custom_reply = 1;
    EXPECT_EQ(kv::milter::answer_of(v, kv::DISPOSE_REJECT, actions, {}).text, kv::milter::kRejectText);
    v.reply = nullptr;
    EXPECT_EQ(kv::milter::answer_of(v, kv::DISPOSE_REJECT, actions, {}).text, kv::milter::kRejectText);
}

TEST(MilterReply, ReplyTextIsOneLineOfBoundedLength) {
    EXPECT_EQ(kv::milter::reply_text("a\r\nb%c"), "a  b%%c");
    EXPECT_EQ(kv::milter::reply_text(std::string(2000, 'x')).size(), 900u);
}

}  // namespace
