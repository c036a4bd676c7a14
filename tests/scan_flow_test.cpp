// The verdicts: the filter with the stand-in daemon answering as told, every
// category and action, viruses, special envelopes, daemon trouble.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "kv_qrecord.h"
#include "verdict_fixture.h"

using kvtest::submission;
using kvtest::verdict_run;

namespace {

const std::string kMessage = kvtest::make_message("verdict", "Body of the message.\r\n");
const std::vector<std::string> kRcpts = {"rcpt@example.test"};

std::vector<std::string> three(const std::string& section) {
    return {section + " Admin", section + " Rcpts", section + " Sender"};
}

}  // namespace

TEST(ScanFlow, CleanMessagePassesAndIsResubmitted) {
    verdict_run f;
    auto r = f.run("sender@example.org", kRcpts, kMessage);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(f.submissions().size(), 1u);
    EXPECT_EQ(f.submissions()[0].message, kMessage);
    EXPECT_EQ(f.submissions()[0].args,
              (std::vector<std::string>{"-i", "-bm", "-fsender@example.org", "--", "rcpt@example.test"}));
    auto requests = f.daemon->requests();
    ASSERT_EQ(requests.size(), 1u);
    // Extended, mail, categories, 0x80000, report and statistics; local mode.
    EXPECT_NE(requests[0].find("options=0x81480006"), std::string::npos) << requests[0];
    EXPECT_NE(requests[0].find("mode=local"), std::string::npos) << requests[0];
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(ScanFlow, EveryCategoryWithAnAction) {
    struct category_case {
        const char* name;
        const char* status;
        const char* key;
        const char* action;
        const char* section;
        int exit_status;
    };
    const category_case cases[] = {
        {"suspicious", "0x40", "Suspicious", "reject", "VirusNotifications", 69},
        {"adware", "0x400000", "Adware", "discard", "MalwareNotifications", 0},
        {"dialer", "0x800000", "Dialers", "quarantine", "MalwareNotifications", 0},
        {"joke", "0x1000000", "Jokes", "redirect", "MalwareNotifications", 0},
        {"riskware", "0x2000000", "Riskware", "reject", "MalwareNotifications", 69},
        {"hacktool", "0x4000000", "Hacktools", "discard", "MalwareNotifications", 0},
        {"rule filter", "0x20000", "RuleFilterAlert", "quarantine", "RuleFilterNotifications", 0},
        {"archive", "0x4000", "ArchiveRestriction", "redirect", "ArchiveRestrictionNotifications", 0},
        {"skipped", "0x1000", "SkipObject", "reject", "SkipNotifications", 69},
        {"scanning error", "0x1", "ScanningErrors", "tempfail", "ErrorNotifications", 75},
    };
    for (const category_case& c : cases) {
        SCOPED_TRACE(c.name);
        verdict_run f({std::string("--status=") + c.status, "--rule=Subject-rule"});
        f.config.set("Actions", std::string(c.key) + " = " + c.action);
        EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, c.exit_status);
        EXPECT_EQ(f.notices(), three(c.section));
        auto deliveries = f.deliveries();
        auto stored = f.quarantined();
        if (std::string(c.action) == "redirect") {
            ASSERT_EQ(deliveries.size(), 1u);
            EXPECT_EQ(deliveries[0].args, (std::vector<std::string>{"-i", "-bm", "-fkerval@localhost", "--",
                                                                    "collector@example.test"}));
            EXPECT_EQ(deliveries[0].message, kMessage);
        } else {
            EXPECT_TRUE(deliveries.empty());
        }
        EXPECT_EQ(stored.size(), std::string(c.action) == "quarantine" ? 1u : 0u);
        for (const std::string& name : stored) {
            kv::quarantine_record record;
            ASSERT_EQ(kv::read_quarantine_record(f.quarantine() + "/" + name, record), kv::QRECORD_OK);
            EXPECT_EQ(record.verdict, c.name);
            EXPECT_EQ(record.recipients, kRcpts);
        }
        EXPECT_TRUE(f.spool_messages().empty());
    }
}

TEST(ScanFlow, PassByConfigurationAlertsTheAdministratorOnly) {
    verdict_run f({"--status=0x400000"});
    f.config.set("Actions", "Adware = pass");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, 0);
    EXPECT_EQ(f.notices(), std::vector<std::string>{"MalwareNotifications Admin"});
    ASSERT_EQ(f.deliveries().size(), 1u);
    EXPECT_EQ(f.deliveries()[0].message, kMessage);
    EXPECT_NE(f.daemon->requests()[0].find("options2=0x2"), std::string::npos) << f.daemon->requests()[0];
}

TEST(ScanFlow, QuarantineKeepsTheMessageBytesWithItsModeAndNamesTheArchive) {
    verdict_run f({"--status=0x40"});
    f.config.set("Actions", "Suspicious = quarantine").set("Actions", "QuarantineFilesMode = 0640");
    const std::string message = kvtest::make_message("stored", std::string("binary\0\r\nbytes", 15));
    EXPECT_EQ(f.run("sender@example.org", kRcpts, message).status, 0);
    auto stored = f.quarantined();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].rfind("kerval.quarantine.", 0), 0u);
    std::string path = f.quarantine() + "/" + stored[0];
    EXPECT_EQ(kvtest::read_file(path), message);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    auto admin = f.notice("VirusNotifications Admin");
    ASSERT_TRUE(admin);
    EXPECT_NE(admin->message.find("[" + stored[0] + "]"), std::string::npos) << admin->message;
    EXPECT_TRUE(f.deliveries().empty());
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(ScanFlow, QuarantineIntoAMissingDirectoryKeepsTheMessageForRetry) {
    verdict_run f({"--status=0x40"});
    f.config.set("Actions", "Quarantine = " + (f.dir / "missing"));
    EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, 75);
    // Nothing is told yet: the next try tells.
    EXPECT_TRUE(f.submissions().empty());
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(ScanFlow, FirstMatchingCategoryWins) {
    verdict_run f({"--status=0x420000"});  // adware and a rule filter hit
    f.config.set("Actions", "Adware = discard").set("Actions", "RuleFilterAlert = reject");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, 0);
    EXPECT_EQ(f.notices(), three("MalwareNotifications"));
}

TEST(ScanFlow, RedirectedCopyComingBackPassesUnscanned) {
    verdict_run f({"--status=0x40"});
    f.config.set("Actions", "FilterMail = <kerval@localhost>");
    EXPECT_EQ(f.run("kerval@localhost", {"collector@example.test"}, kMessage).status, 0);
    EXPECT_TRUE(f.daemon->requests().empty());
    ASSERT_EQ(f.deliveries().size(), 1u);
    EXPECT_TRUE(f.notices().empty());
}

TEST(ScanFlow, SpecialEnvelopes) {
    struct envelope_case {
        const char* name;
        std::string sender;
        std::vector<std::string> rcpts;
        std::string empty_from;
        int status;
        size_t deliveries;
        bool scanned;
    };
    const envelope_case cases[] = {
        {"loop", "kerval@localhost", {"kerval@localhost"}, "continue", 69, 0, false},
        {"loop needs one recipient", "kerval@localhost", {"kerval@localhost", "x@example.test"}, "continue", 0, 1, true},
        {"empty sender rejected", "", kRcpts, "reject", 69, 0, false},
        {"empty sender discarded", "", kRcpts, "discard", 0, 0, false},
        {"empty sender checked", "", kRcpts, "continue", 0, 1, true},
    };
    for (const envelope_case& c : cases) {
        SCOPED_TRACE(c.name);
        verdict_run f;
        f.config.set("Actions", "EmptyFrom = " + c.empty_from);
        EXPECT_EQ(f.run(c.sender, c.rcpts, kMessage).status, c.status);
        EXPECT_EQ(f.deliveries().size(), c.deliveries);
        EXPECT_EQ(f.daemon->requests().size(), c.scanned ? 1u : 0u);
        EXPECT_TRUE(f.notices().empty());
    }
}

TEST(ScanFlow, VerdictOnMessageFromEmptySenderEndsAsDiscard) {
    struct empty_case {
        const char* action;
        int status;
        size_t stored;
    };
    for (const empty_case& c : {empty_case{"reject", 0, 0}, {"quarantine", 0, 1}, {"pass", 0, 0}}) {
        SCOPED_TRACE(c.action);
        verdict_run f({"--status=0x40"});
        f.config.set("Actions", std::string("Suspicious = ") + c.action);
        EXPECT_EQ(f.run("", kRcpts, kMessage).status, c.status);
        EXPECT_EQ(f.quarantined().size(), c.stored);
        // No notification ever goes to <>; pass only alerts the administrator.
        std::vector<std::string> expected = std::string(c.action) == "pass"
                                                ? std::vector<std::string>{"VirusNotifications Admin"}
                                                : std::vector<std::string>{"VirusNotifications Admin",
                                                                           "VirusNotifications Rcpts"};
        EXPECT_EQ(f.notices(), expected);
        EXPECT_EQ(f.deliveries().size(), std::string(c.action) == "pass" ? 1u : 0u);
    }
    // A deferral stays a deferral: the mail system keeps the bounce for later.
    verdict_run f({"--status=0x1"});
    f.config.set("Actions", "ScanningErrors = tempfail");
    EXPECT_EQ(f.run("", kRcpts, kMessage).status, 75);
}

TEST(ScanFlow, DenyListSkipsTheScan) {
    verdict_run f({"--status=0x40"});
    kvtest::write_file(f.dir / "deny.list", "[version=2]\ndeny from exact trusted@example.org\n");
    f.config.set("Scanning", "DenyList = " + (f.dir / "deny.list"))
        .set("Scanning", "DenyMode = bySender")
        .set("Actions", "Suspicious = reject");
    EXPECT_EQ(f.run("trusted@example.org", kRcpts, kMessage).status, 0);
    EXPECT_TRUE(f.daemon->requests().empty());
    EXPECT_EQ(f.deliveries().size(), 1u);
    EXPECT_EQ(f.run("other@example.org", kRcpts, kMessage).status, 69);
    EXPECT_EQ(f.daemon->requests().size(), 1u);
}

TEST(ScanFlow, StatisticsGoToTheAgentAndItsTroubleChangesNothing) {
    const std::string infected = kvtest::make_message("infected", kvtest::eicar() + "\r\n");
    for (const char* agent_answer : {"0", "1", "none"}) {
        SCOPED_TRACE(agent_answer);
        verdict_run f;
        std::unique_ptr<kvtest::stand_in> agent;
        if (std::string(agent_answer) != "none") {
            agent = std::make_unique<kvtest::stand_in>(
                f.dir.path(), kvtest::stand_in::options{true, false, {"--agent", std::string("--agent-answer=") + agent_answer}, "agent"});
        }
        f.config.set("Agent", "Address = local:" + (f.dir / "agent.sock")).set("Agent", "Timeout = 5");
        EXPECT_EQ(f.run("sender@example.org", kRcpts, infected).status, 0);
        EXPECT_EQ(f.quarantined().size(), 1u);
        EXPECT_EQ(f.notices().size(), 3u);
        if (agent) {
            std::string record = agent->record();
            EXPECT_NE(record.find("known EICAR-Test-File"), std::string::npos) << record;
        }
    }
}
