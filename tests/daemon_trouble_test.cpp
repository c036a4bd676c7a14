// The filter when the daemon is missing, breaks off, stalls, or only a backup
// answers; and when the daemon address cannot be used at all.
#include <gtest/gtest.h>

#include <time.h>

#include "verdict_fixture.h"

using kvtest::verdict_run;

namespace {

const std::vector<std::string> kRcpts = {"rcpt@example.test"};
const std::string kMessage = kvtest::make_message("trouble", "Body.\r\n");

double seconds_since(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

}  // namespace

TEST(DaemonTrouble, UnreachableDaemonDefersAndTellsWhy) {
    verdict_run f({}, false);
    EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, 75);
    EXPECT_TRUE(f.deliveries().empty());
    auto admin = f.notice("ErrorNotifications Admin");
    ASSERT_TRUE(admin);
    EXPECT_NE(admin->message.find("The filter cannot connect to the Kerval daemon\n"), std::string::npos)
        << admin->message;
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(DaemonTrouble, DaemonFailingMidAnswer) {
    for (const char* after : {"--close-after=0", "--close-after=3", "--close-after=9"}) {
        SCOPED_TRACE(after);
        verdict_run f({"--status=0x40", "--report=line one\\n", after});
        EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, 75);
        auto admin = f.notice("ErrorNotifications Admin");
        ASSERT_TRUE(admin);
        EXPECT_NE(admin->message.find("The filter fails to pass object to the Kerval daemon\n"), std::string::npos);
        EXPECT_TRUE(f.deliveries().empty());
    }
}

TEST(DaemonTrouble, ProcessingErrorsPassDeliversUnscanned) {
    verdict_run f({}, false);
    f.config.set("Actions", "ProcessingErrors = pass");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, 0);
    ASSERT_EQ(f.deliveries().size(), 1u);
    EXPECT_EQ(f.deliveries()[0].message, kMessage);
    EXPECT_EQ(f.notices(), std::vector<std::string>{"ErrorNotifications Admin"});
}

TEST(DaemonTrouble, StalledDaemonEndsWithinTheTimeout) {
    verdict_run f({"--stall=yes", "--timeout=30"});
    f.config.drop("DaemonCommunication")
        .set("DaemonCommunication", "Address = local:" + (f.dir / "kervald.sock"))
        .set("DaemonCommunication", "Timeout = 1");
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, 75);
    EXPECT_LT(seconds_since(start), 8.0);
    EXPECT_TRUE(f.notice("ErrorNotifications Admin"));
}

TEST(DaemonTrouble, BackupServesWhenThePrimaryIsDown) {
    verdict_run f;
    f.config.drop("DaemonCommunication")
        .set("DaemonCommunication",
             "Address = local:" + (f.dir / "nobody-here.sock") + ", local:" + (f.dir / "kervald.sock"))
        .set("DaemonCommunication", "Timeout = 5");
    std::string infected = kvtest::make_message("infected", kvtest::eicar() + "\r\n");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, infected).status, 0);
    EXPECT_EQ(f.quarantined().size(), 1u);
    ASSERT_EQ(f.daemon->requests().size(), 1u);
    // A backup may not share the file system: it gets the content.
    EXPECT_NE(f.daemon->requests()[0].find("mode=content"), std::string::npos) << f.daemon->requests()[0];
}

TEST(DaemonTrouble, UnusableDaemonAddressFailsAtStartUp) {
    struct address_case {
        const char* address;
        int status;
        size_t deliveries;
    };
    // inet:3000 has no host: the library cannot start. A well-formed address is
    // only tried when the message is scanned.
    for (const address_case& c : {address_case{"inet:3000", 75, 0}, {"pid:/nonexistent/kervald.pid", 75, 0}}) {
        SCOPED_TRACE(c.address);
        verdict_run f({}, false);
        f.config.drop("DaemonCommunication").set("DaemonCommunication", std::string("Address = ") + c.address);
        EXPECT_EQ(f.run("sender@example.org", kRcpts, kMessage).status, c.status);
        EXPECT_EQ(f.deliveries().size(), c.deliveries);
        EXPECT_TRUE(f.spool_messages().empty());
    }
    verdict_run g({}, false);
    g.config.drop("DaemonCommunication")
        .set("DaemonCommunication", "Address = inet:3000")
        .set("Actions", "ProcessingErrors = pass");
    // A library that cannot start is a processing error like any other: under
    // pass the stored message goes on unscanned.
    EXPECT_EQ(g.run("sender@example.org", kRcpts, kMessage).status, 0);
    ASSERT_EQ(g.deliveries().size(), 1u);
    EXPECT_EQ(g.deliveries()[0].message, kMessage);
}
