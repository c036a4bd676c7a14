// Viruses: quarantine, cure in local and content mode, remove, incurable,
// incomplete cures and the unnotifiable viruses list.
#include <gtest/gtest.h>

#include "verdict_fixture.h"

using kvtest::verdict_run;

namespace {

const std::vector<std::string> kRcpts = {"rcpt@example.test"};

std::string infected_message() {
    return kvtest::make_message("infected", "See the attachment.\r\n\r\n" + kvtest::eicar() + "\r\n");
}

std::string cured_message() {
    return kvtest::make_message("infected", "See the attachment.\r\n\r\n" + std::string(kvtest::eicar().size(), ' ') +
                                                "\r\n");
}

std::vector<std::string> three(const std::string& section) {
    return {section + " Admin", section + " Rcpts", section + " Sender"};
}

}  // namespace

TEST(VirusFlow, KnownVirusIsQuarantinedAndNamedInTheNotifications) {
    verdict_run f;
    EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
    EXPECT_EQ(f.notices(), three("VirusNotifications"));
    EXPECT_TRUE(f.deliveries().empty());
    auto stored = f.quarantined();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(kvtest::read_file(f.quarantine() + "/" + stored[0]), infected_message());
    auto admin = f.notice("VirusNotifications Admin");
    ASSERT_TRUE(admin);
    EXPECT_NE(admin->message.find("Known virus(es):\nEICAR-Test-File\n"), std::string::npos) << admin->message;
}

TEST(VirusFlow, CureInLocalModeDeliversTheCleanedSpoolFile) {
    verdict_run f;
    f.config.set("Actions", "Infected = cure");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
    ASSERT_EQ(f.deliveries().size(), 1u);
    EXPECT_EQ(f.deliveries()[0].message, cured_message());
    EXPECT_EQ(f.notices(), (std::vector<std::string>{"CuredNotifications Admin", "CuredNotifications Sender"}));
    EXPECT_NE(f.daemon->requests()[0].find("mode=local"), std::string::npos);
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(VirusFlow, CureInContentModeSubmitsTheCuredCopyInstead) {
    verdict_run f;
    f.config.set("Actions", "Infected = cure").set("Scanning", "LocalScan = no");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
    ASSERT_EQ(f.deliveries().size(), 1u);  // the cured copy; the original is discarded
    EXPECT_EQ(f.deliveries()[0].message, cured_message());
    EXPECT_EQ(f.deliveries()[0].args,
              (std::vector<std::string>{"-i", "-bm", "-fsender@example.org", "--", "rcpt@example.test"}));
    EXPECT_EQ(f.notices(), (std::vector<std::string>{"CuredNotifications Admin", "CuredNotifications Sender"}));
    EXPECT_NE(f.daemon->requests()[0].find("mode=content"), std::string::npos);
}

TEST(VirusFlow, RemovedVirusesAndTheUnnotifiableDiscard) {
    const std::vector<std::string> removed = {"--status=0x80020", "--stat=0x20:1", "--stat=0x100:1",
                                              "--stat=0x80000:1", "--virus=Worm.Removed,K"};
    {
        verdict_run f(removed);
        f.config.set("Actions", "Infected = remove");
        EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
        EXPECT_EQ(f.deliveries().size(), 1u);
        EXPECT_NE(f.daemon->requests()[0].find("options=0x81480206"), std::string::npos) << f.daemon->requests()[0];
    }
    {
        // Only viruses nobody is told about were removed: the message is dropped.
        verdict_run f(removed);
        kvtest::write_file(f.dir / "v.list", "allow allow deny ^Worm\\.\n");
        f.config.set("Actions", "Infected = remove").set("Actions", "UnnotificableVirusesList = " + (f.dir / "v.list"));
        EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
        EXPECT_TRUE(f.deliveries().empty());
        EXPECT_TRUE(f.notices().empty());
    }
}

TEST(VirusFlow, IncurableAndIncompleteCures) {
    struct cure_case {
        const char* name;
        std::vector<std::string> daemon;
        std::vector<std::string> settings;
        int status;
        size_t stored;
    };
    const cure_case cases[] = {
        {"incurable", {"--status=0x20"}, {"Infected = cure", "Incurable = quarantine"}, 0, 1},
        {"incurable removed means cure fail", {"--status=0x20"}, {"Infected = cure", "Incurable = remove", "CureFail = reject"},
         69, 0},
        {"not all cured", {"--status=0x120", "--stat=0x20:2", "--stat=0x100:1"}, {"Infected = cure", "CureFail = reject"}, 69, 0},
        {"not all removed", {"--status=0x80020", "--stat=0x20:2", "--stat=0x100:1"}, {"Infected = remove", "CureFail = discard"},
         0, 0},
    };
    for (const cure_case& c : cases) {
        SCOPED_TRACE(c.name);
        verdict_run f(c.daemon);
        for (const std::string& line : c.settings) f.config.set("Actions", line);
        EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, c.status);
        EXPECT_EQ(f.quarantined().size(), c.stored);
        EXPECT_EQ(f.notices(), three("VirusNotifications"));
        EXPECT_TRUE(f.deliveries().empty());
    }
}

TEST(VirusFlow, UnnotifiableVirusesList) {
    {
        // Not notifiable for the sender: the rejection becomes a discard, and only
        // the sender's notification is held back.
        verdict_run f;
        kvtest::write_file(f.dir / "v.list", "allow deny allow eicar\n");
        f.config.set("Actions", "Infected = reject").set("Actions", "UnnotificableVirusesList = " + (f.dir / "v.list"));
        EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
        EXPECT_EQ(f.notices(), (std::vector<std::string>{"VirusNotifications Admin", "VirusNotifications Rcpts"}));
        EXPECT_TRUE(f.deliveries().empty());
    }
    {
        // Not quarantinable: nothing is stored, and nothing is delivered.
        verdict_run f;
        kvtest::write_file(f.dir / "v.list", "[version=2]\nallow allow allow deny eicar\n");
        f.config.set("Actions", "UnnotificableVirusesList = " + (f.dir / "v.list"));
        EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
        EXPECT_TRUE(f.quarantined().empty());
        EXPECT_TRUE(f.deliveries().empty());
        EXPECT_EQ(f.notices(), three("VirusNotifications"));
    }
}

TEST(VirusFlow, RedirectedInfectedCopyGoesToTheCollector) {
    verdict_run f;
    f.config.set("Actions", "Infected = redirect");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
    ASSERT_EQ(f.deliveries().size(), 1u);
    EXPECT_EQ(f.deliveries()[0].args,
              (std::vector<std::string>{"-i", "-bm", "-fkerval@localhost", "--", "collector@example.test"}));
    EXPECT_EQ(f.deliveries()[0].message, infected_message());
}
