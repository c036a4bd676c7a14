// --check_only: the self-test run from the command line against the stand-in.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "filter_fixture.h"
#include "kv_selftest.h"

using kvtest::filter_run;

namespace {

kvtest::run_result check_only(filter_run& f, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--conf=" + f.config_path(), "--check_only"};
    args.insert(args.end(), extra.begin(), extra.end());
    return f.run_args(args, "");
}

void add_admin_template(filter_run& f, const std::string& content) {
    kvtest::write_file(f.dir / "admin.tmpl", content);
    f.config.set("VirusNotifications", "AdminNotify = yes")
        .set("VirusNotifications", "AdminTemplate = " + (f.dir / "admin.tmpl"));
}

}  // namespace

TEST(SelfTest, TestMessageIsWrittenInTwoPieces) {
    std::string head = kv::selftest_message_head();
    std::string tail = kv::selftest_message_tail();
    EXPECT_EQ(head.size(), 402u);
    EXPECT_EQ(tail.size(), 73u);
    EXPECT_NE((head + tail).find(kvtest::eicar() + "\r\n--test--\r\n"), std::string::npos);
    EXPECT_EQ(head.rfind("Subject: Standard antivirus test file\r\nMime-Version: 1.0\r\n", 0), 0u);
}

TEST(SelfTest, PassesAgainstTheStandInAndLeavesNothingBehind) {
    for (bool with_quarantine : {true, false}) {
        SCOPED_TRACE(with_quarantine ? "quarantine test" : "spool test");
        filter_run f;
        if (!with_quarantine) {
            f.config.drop("Actions").set("Actions", "FilterMail = kerval@localhost")
                .set("Actions", "AdminMail = admin@example.test");
            for (const char* key : {"Infected", "Incurable", "CureFail", "Suspicious", "Adware", "Dialers", "Jokes",
                                    "Riskware", "Hacktools", "RuleFilterAlert", "ScanningErrors", "ProcessingErrors"})
                f.config.set("Actions", std::string(key) + " = reject");
        }
        add_admin_template(f, "Subject: x\n\nexactly ten bytes or more\n");
        auto r = check_only(f);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(with_quarantine ? "check_conf: quarantine test - passed" : "check_conf: spool test - passed"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("check_conf: mail submit test - passed"), std::string::npos);
        EXPECT_TRUE(f.spool_messages().empty());
        EXPECT_TRUE(kvtest::list_dir(f.quarantine()).empty());
        auto subs = f.submissions();
        ASSERT_EQ(subs.size(), 1u);
        EXPECT_EQ(subs[0].args, (std::vector<std::string>{"-i", "-bm", "-fkerval@localhost", "--", "admin@example.test"}));
        EXPECT_EQ(subs[0].message.rfind("From: \"Kerval-DAEMON\" <kerval@localhost>\r\n"
                                        "To: \"Administrator\" <admin@example.test>\r\n"
                                        "Subject: Test Kerval Mail Filter\r\n\r\nDear Administrator,\r\n",
                                        0),
                  0u)
            << subs[0].message;
        auto requests = f.daemon->requests();
        ASSERT_EQ(requests.size(), 2u);  // the version, then the test scan
        EXPECT_NE(requests[1].find("options=0x81080000"), std::string::npos) << requests[1];
        EXPECT_NE(requests[1].find("mode=local"), std::string::npos) << requests[1];
    }
}

TEST(SelfTest, EachFailingCheckGives78) {
    struct failing_case {
        const char* name;
        std::vector<std::string> daemon;
        std::vector<std::pair<std::string, std::string>> lines;
        std::string message;
        bool short_template = false;
        int submit_status = 0;
    };
    const failing_case cases[] = {
        {"old daemon", {"--version=432"}, {},
         "THIS VERSION IS NOT COMPATIBLE WITH Kerval (R) DAEMON VERSIONS LESS THAT 4.33 !!!"},
        {"test file not found", {"--status=0x40"}, {},
         "check_scan: daemon cannot detect standard test file (EICAR) - (0x40) possible unknown virus is found"},
        {"quarantine without directory", {}, {{"Actions", "Quarantine ="}, {"Actions", "Infected = quarantine"}},
         "conf: Infected = quarantine needs a Quarantine directory in [Actions]"},
        {"cure in content mode", {}, {{"Actions", "Infected = cure"}, {"Scanning", "LocalScan = no"}},
         "check_conf: you cannot use 'cure' in non-local mode"},
        {"short template", {}, {}, "check_conf: test for administrator template in virus case - failed", true},
        {"failing submission", {}, {}, "check_conf: mail submit test - failed", false, 1},
    };
    for (const failing_case& c : cases) {
        SCOPED_TRACE(c.name);
        filter_run f(true, c.daemon);
        for (const auto& [section, line] : c.lines) f.config.set(section, line);
        add_admin_template(f, c.short_template ? "123456789" : "0123456789");
        if (c.submit_status != 0) f.set_submit_status(c.submit_status);
        auto r = check_only(f);
        EXPECT_EQ(r.status, 78);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(f.spool_messages().empty());
        EXPECT_TRUE(kvtest::list_dir(f.quarantine()).empty());
    }
}

TEST(SelfTest, CheckUserRunsTheTestsWithThatAccountsRights) {
    filter_run f(true, {});
    add_admin_template(f, "Subject: x\n\nlong enough\n");
    if (geteuid() != 0) {
        auto r = check_only(f, {"--check_user=nobody"});
        EXPECT_EQ(r.status, 75);
        EXPECT_NE(r.err.find("conf: cannot set uid or gid - "), std::string::npos) << r.err;
        return;
    }
    struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no account named nobody";
    // The daemon's socket and the directories, as the account would see them.
    chmod(f.dir.path().c_str(), 0755);
    chmod(f.daemon->socket_path().c_str(), 0777);
    chmod((f.dir / "outbox").c_str(), 0777);
    chmod(f.quarantine().c_str(), 0777);
    chmod(f.spool().c_str(), 0700);  // not the account's
    auto r = check_only(f, {"--check_user=nobody", "--debug"});
    EXPECT_EQ(r.status, 78) << r.err;
    EXPECT_NE(r.err.find("conf: filter would use nobody account"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("check_scan: cannot create spool file"), std::string::npos) << r.err;
    chmod(f.spool().c_str(), 0777);
    r = check_only(f, {"--check_user=nobody"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = check_only(f, {"--check_user=no-such-account-here"});
    EXPECT_EQ(r.status, 75);
    EXPECT_NE(r.err.find("conf: non-existing user account no-such-account-here specified"), std::string::npos);
}
