// Notifications as they leave the filter: every macro of a template, the
// recipients of a notification, and who never gets one.
#include <gtest/gtest.h>

#include "filter_fixture.h"

using kvtest::filter_run;

TEST(Notifications, TemplateWithEveryMacroExpandsByteForByte) {
    filter_run f(true, {"--status=0x40", "--virus=Sus.Generic,S", "--rule=R1", "--report=Line one\\n",
                        "--stat=0x40:1"});
    kvtest::write_file(f.dir / "admin.tmpl",
                       "To: $POSTMASTER$\n"
                       "From: $FILTER_MAIL$\n"
                       "Content-Type: text/plain; charset=koi8-r\n"
                       "Subject: [$SUBJECT$] $MSGID$\n"
                       "\n"
                       "sender=$SENDER$ rcpts=$RCPTS$ orig=$ORIGINAL_RCPTS$ secure=$SECURE_RCPTS$\n"
                       "rule=$RULE_NAME$ archive=$ARCHIVE_RECORD$ price=$5 $NOT_A_MACRO$ $$\n"
                       "report=$DAEMON_REPORT$"
                       "viruses=$VIRUS_LIST$"
                       "stat=$SCAN_STAT$"
                       "old=$REPORT$"
                       "headers=$FULLHEADERS$");
    f.config.set("Scanning", "RuleFilter = yes")
        .set("Actions", "Suspicious = quarantine")
        .set("VirusNotifications", "AdminNotify = yes")
        .set("VirusNotifications", "AdminTemplate = " + (f.dir / "admin.tmpl"));
    const std::string headers = "From: sender@example.org\n"
                                "Subject: =?KOI8-R?B?SGVsbG8=?=\n"
                                "Message-ID: <notify@example.org>\n"
                                "X-Original-To: <orig@example.test>\n"
                                "\n";
    ASSERT_EQ(f.run("sender@example.org", {"r1@example.test", "r2@example.test"}, headers + "Body.\n").status, 0);
    auto stored = f.quarantined();
    ASSERT_EQ(stored.size(), 1u);
    auto subs = f.submissions();
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].args, (std::vector<std::string>{"-i", "-bm", "-fkerval@localhost", "--", "admin@example.test"}));
    const std::string virus_list = "Possible infection(s):\nSus.Generic\n";
    EXPECT_EQ(subs[0].message,
              "To: <admin@example.test>\n"
              "From: <kerval@localhost>\n"
              "Content-Type: text/plain; charset=koi8-r\n"
              "Subject: [ Hello]  <notify@example.org>\n"
              "\n"
              "sender=sender@example.org rcpts=r1@example.test, r2@example.test orig= <orig@example.test> "
              "secure=\"Recipients of original message\" <#@[]>\n"
              "rule=R1 archive=" + stored[0] + " price=$5 $NOT_A_MACRO$ $$\n"
              "report=Line one\n"
              "viruses=" + virus_list +
              "stat=Suspicious : 1\n"
              "old== Kerval detailed report:\nLine one\n\n= Following virus(es)/malware has been found:\n" + virus_list +
              "= Scanning statistic:\nSuspicious : 1\n"
              "headers=" + headers);
}

TEST(Notifications, RecipientsAndSecureRecipients) {
    struct rcpts_case {
        const char* name;
        std::vector<std::string> rcpts;
        bool with_list;
        std::vector<std::string> notified;
        std::string secure;
    };
    const rcpts_case cases[] = {
        {"one", {"r1@example.test"}, false, {"r1@example.test"}, "r1@example.test"},
        {"three", {"r1@example.test", "r2@example.test", "r3@example.test"}, false,
         {"r1@example.test", "r2@example.test", "r3@example.test"}, "\"Recipients of original message\" <#@[]>"},
        {"three, one unnotifiable", {"r1@example.test", "r2@example.test", "r3@example.test"}, true,
         {"r1@example.test", "r3@example.test"}, "\"Recipients of original message\" <#@[]>"},
        {"all unnotifiable", {"r2@example.test"}, true, {}, ""},
    };
    for (const rcpts_case& c : cases) {
        SCOPED_TRACE(c.name);
        filter_run f(true, {"--status=0x40"});
        kvtest::write_file(f.dir / "rcpts.tmpl", "To: $SECURE_RCPTS$\n\nA message for you was stopped.\n");
        kvtest::write_file(f.dir / "addresses.list", "to ^r2@\n");
        f.config.set("Actions", "Suspicious = discard")
            .set("VirusNotifications", "RcptsNotify = yes")
            .set("VirusNotifications", "RcptsTemplate = " + (f.dir / "rcpts.tmpl"));
        if (c.with_list) f.config.set("Actions", "UnnotificableAddressesList = " + (f.dir / "addresses.list"));
        ASSERT_EQ(f.run("sender@example.org", c.rcpts, kvtest::make_message("s", "b\n")).status, 0);
        auto subs = f.submissions();
        if (c.notified.empty()) {
            EXPECT_TRUE(subs.empty());
            continue;
        }
        ASSERT_EQ(subs.size(), 1u);
        std::vector<std::string> args = {"-i", "-bm", "-fkerval@localhost", "--"};
        args.insert(args.end(), c.notified.begin(), c.notified.end());
        EXPECT_EQ(subs[0].args, args);
        EXPECT_EQ(subs[0].message, "To: " + c.secure + "\n\nA message for you was stopped.\n");
    }
}

TEST(Notifications, NoNoticeOnANoticeAndNoneToTheEmptySender) {
    struct sender_case {
        const char* name;
        std::string sender;
        std::vector<std::string> rcpts;
        std::vector<std::string> notified;
    };
    const sender_case cases[] = {
        {"ordinary", "sender@example.org", {"r@example.test"}, {"admin@example.test", "sender@example.org"}},
        // The filter's own notice to the administrator coming back: not again.
        {"notice on notice", "kerval@localhost", {"admin@example.test"}, {"kerval@localhost"}},
        {"bounce", "", {"r@example.test"}, {"admin@example.test"}},
    };
    for (const sender_case& c : cases) {
        SCOPED_TRACE(c.name);
        filter_run f(true, {"--status=0x40"});
        kvtest::write_file(f.dir / "t.tmpl", "Subject: notice\n\nStopped.\n");
        f.config.set("Actions", "Suspicious = discard");
        for (const char* party : {"Admin", "Sender"}) {
            f.config.set("VirusNotifications", std::string(party) + "Notify = yes")
                .set("VirusNotifications", std::string(party) + "Template = " + (f.dir / "t.tmpl"));
        }
        ASSERT_EQ(f.run(c.sender, c.rcpts, kvtest::make_message("n", "b\n")).status, 0);
        std::vector<std::string> notified;
        for (const kvtest::submission& s : f.submissions()) notified.push_back(s.args.back());
        EXPECT_EQ(notified, c.notified);
    }
}

TEST(Notifications, HugeHeaderBlockIsCutInTheNotification) {
    filter_run f(true, {"--status=0x40"});
    kvtest::write_file(f.dir / "admin.tmpl", "Subject: x\n\n$FULLHEADERS$");
    f.config.set("Actions", "Suspicious = discard")
        .set("VirusNotifications", "AdminNotify = yes")
        .set("VirusNotifications", "AdminTemplate = " + (f.dir / "admin.tmpl"));
    // No blank line anywhere: the whole message is its header block.
    std::string message;
    while (message.size() < 4u * 1024 * 1024) message += "X-Filler: " + std::string(80, 'f') + "\n";
    ASSERT_EQ(f.run("sender@example.org", {"r@example.test"}, message).status, 0);
    auto subs = f.submissions();
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].message, "Subject: x\n\n" + message.substr(0, 64 * 1024));
}
