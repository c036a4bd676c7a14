#include "kv_main.h"

#include <gtest/gtest.h>

#include "kv_settings.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

kv::envelope_args parse(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    return kv::parse_envelope_args(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(EnvelopeArgs, CasesAndTheFlagsTheyLeave) {
    struct envelope_case {
        std::vector<std::string> args;
        bool seen, have_sender, have_rcpts;
        std::optional<std::string> sender;
        std::vector<std::string> rcpts;
        std::string error;
    };
    const envelope_case cases[] = {
        {{"kp", "-f", "a@x", "--", "r1", "r2@"}, true, true, true, "a@x", {"r1", "r2"}, ""},
        {{"kp", "--conf=/x", "-s", "10", "-fa@x@", "--", "r"}, true, true, true, "a@x", {"r"}, ""},
        {{"kp", "-f", "", "--", "r"}, true, true, true, "<>", {"r"}, ""},
        {{"kp", "-fuser@", "--", "r"}, true, true, true, "user", {"r"}, ""},
        {{"kp", "-f", "u", "--", ""}, true, true, true, "u", {}, ""},
        {{"kp", "-f", "u", "--"}, true, true, false, "u", {}, ""},
        {{"kp", "-f"}, true, false, false, std::nullopt, {}, "kerval-pipe: incorrect usage - no sender"},
        {{"kp", "-f", "a", "-f", "b", "--", "r"}, true, true, false, "a", {}, "kerval-pipe: incorrect usage - second sender"},
        {{"kp", "-f", "a", "x", "--", "r"}, true, true, false, "a", {},
         "kerval-pipe: incorrect usage - options after some envelope info"},
        {{"kp", "--", "r", "-f", "a"}, false, false, false, std::nullopt, {},
         "kerval-pipe: incorrect usage - recipients before sender"},
        {{"kp", "-f", "--", "r"}, true, true, false, "--", {}, "kerval-pipe: incorrect usage - options after some envelope info"},
    };
    for (const envelope_case& c : cases) {
        kvtest::log_capture logged;
        kv::envelope_args args = parse(c.args);
        std::string shown;
        for (const std::string& a : c.args) shown += "[" + a + "]";
        EXPECT_EQ(args.sender_seen, c.seen) << shown;
        EXPECT_EQ(args.have_sender, c.have_sender) << shown;
        EXPECT_EQ(args.have_rcpts, c.have_rcpts) << shown;
        EXPECT_EQ(args.sender, c.sender) << shown;
        EXPECT_EQ(args.rcpts, c.rcpts) << shown;
        if (c.error.empty()) {
            for (const auto& line : logged.lines()) EXPECT_NE(line.first, kv::Errors) << shown << line.second;
        } else {
            EXPECT_TRUE(logged.has(kv::Errors, c.error)) << shown << "\n" << logged.dump();
        }
    }
}

TEST(EnvelopeArgs, LogsSenderAndRecipientsAtVerbose) {
    kvtest::log_capture logged;
    parse({"kp", "-f", "a@x", "--", "r@y"});
    EXPECT_TRUE(logged.has(kv::Verbose, "kerval-pipe: from = a@x"));
    EXPECT_TRUE(logged.has(kv::Verbose, "kerval-pipe: to = r@y"));
}

TEST(ActionExitStatus, EveryActionWithAndWithoutMessage) {
    struct status_case {
        int action;
        int available;  // status with the message available
        int missing;    // status without it
    };
    const status_case cases[] = {
        {kv::ACT_PASS, kv::kResubmit, 65},      {kv::ACT_REJECT, 65, 65},
        {kv::ACT_QUARANTINE, kv::kConsumed, 65}, {kv::ACT_REDIRECT, kv::kConsumed, 65},
        {kv::ACT_DISCARD, kv::kConsumed, kv::kConsumed}, {kv::ACT_TEMPFAIL, 75, 75},
        {kv::ACT_CONTINUE, kv::kResubmit, kv::kResubmit}, {kv::ACT_REMOVE, 70, 70},
        {kv::ACT_CURE, 70, 70}, {0, 70, 70}, {42, 70, 70},
    };
    for (const status_case& c : cases) {
        kvtest::log_capture logged;
        EXPECT_EQ(kv::action_exit_status(c.action, 65, true), c.available) << c.action;
        EXPECT_EQ(kv::action_exit_status(c.action, 65, false), c.missing) << c.action;
        if (c.available == 70) {
            EXPECT_TRUE(logged.has(kv::Errors, "kerval-pipe: wrong action " + std::to_string(c.action) + " requested"));
        }
    }
    EXPECT_EQ(kv::action_exit_status(kv::ACT_REJECT, 69, true), 69);
}
