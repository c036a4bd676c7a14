// The filter with kervald's signature engine and the generated test database:
// the EICAR test file found plain, attached, zipped and zipped twice, the
// project's own test signature, archive restrictions, and a large clean message.
#include <gtest/gtest.h>

#include "daemon_samples.h"
#include "verdict_fixture.h"

using kvtest::verdict_run;

namespace {

const std::vector<std::string> kRcpts = {"rcpt@example.test"};

// A filter run whose daemon scans with the engine and the test database.
struct engine_run : verdict_run {
    explicit engine_run(const std::string& db, std::vector<std::string> args = {})
        : verdict_run(with_database(db, std::move(args))) {}
    static std::vector<std::string> with_database(const std::string& db, std::vector<std::string> args) {
        args.push_back("--database-directory=" + db);
        return args;
    }
};

class Detection : public ::testing::Test {
protected:
    void SetUp() override { kvtest::make_test_signatures(db.path()); }
    kvtest::temp_dir db;
};

}  // namespace

TEST_F(Detection, TestFilesAreFoundPlainAttachedAndZipped) {
    const std::string eicar = kvtest::eicar();
    struct sample {
        const char* name;
        std::string message;
        const char* found;
    };
    const sample samples[] = {
        {"plain", kvtest::make_message("plain", "Look:\r\n" + eicar + "\r\n"), "EICAR-Test-File"},
        {"base64 attachment", kvtest::message_with_attachment("attached", "eicar.com", eicar), "EICAR-Test-File"},
        {"zip attachment", kvtest::message_with_attachment("zipped", "eicar.zip", kvtest::zip("eicar.com", eicar)),
         "EICAR-Test-File"},
        {"zip in a zip", kvtest::message_with_attachment("twice", "eicar.zip", kvtest::zip("eicar.com", eicar, 2)),
         "EICAR-Test-File"},
        {"own signature", kvtest::message_with_attachment("own", "notes.txt", kvtest::kOwnSignature),
         "Kerval-Test-Signature"},
    };
    for (const sample& s : samples) {
        for (const char* local : {"yes", "no"}) {
            SCOPED_TRACE(std::string(s.name) + ", LocalScan = " + local);
            engine_run f(db.path());
            f.config.set("Scanning", std::string("LocalScan = ") + local);
            EXPECT_EQ(f.run("sender@example.org", kRcpts, s.message).status, 0);
            EXPECT_TRUE(f.deliveries().empty());
            EXPECT_EQ(f.quarantined().size(), 1u);
            auto admin = f.notice("VirusNotifications Admin");
            ASSERT_TRUE(admin);
            // Names from a database that is not signed carry the engine's suffix.
            EXPECT_NE(admin->message.find(std::string("Known virus(es):\n") + s.found + ".UNOFFICIAL\n"),
                      std::string::npos)
                << admin->message;
            ASSERT_EQ(f.daemon->requests().size(), 1u);
            EXPECT_NE(f.daemon->requests()[0].find(" status=0x20 "), std::string::npos) << f.daemon->requests()[0];
        }
    }
}

TEST_F(Detection, ArchivesTheEngineCannotLookIntoGetTheRestrictionAnswers) {
    struct sample {
        const char* name;
        std::string attachment;
        const char* status;
        const char* notice;
    };
    // A message, its attachment and four zips are beyond a recursion limit of 3.
    const sample samples[] = {
        {"nested too deep", kvtest::zip("notes.txt", "nothing to see\r\n", 4), " status=0x40000 ",
         "ArchiveRestrictionNotifications Admin"},
        {"encrypted", kvtest::zip("secret.txt", "nothing to see\r\n", 1, true), " status=0x1000 ",
         "SkipNotifications Admin"},
    };
    for (const sample& s : samples) {
        SCOPED_TRACE(s.name);
        engine_run f(db.path(), {"--max-recursion=3"});
        f.config.set("Actions", "ArchiveRestriction = quarantine").set("Actions", "SkipObject = quarantine");
        EXPECT_EQ(f.run("sender@example.org", kRcpts, kvtest::message_with_attachment("archive", "a.zip", s.attachment))
                      .status,
                  0);
        ASSERT_EQ(f.daemon->requests().size(), 1u);
        EXPECT_NE(f.daemon->requests()[0].find(s.status), std::string::npos) << f.daemon->requests()[0];
        EXPECT_TRUE(f.notice(s.notice));
        EXPECT_EQ(f.quarantined().size(), 1u);
        EXPECT_TRUE(f.deliveries().empty());
    }
}

TEST_F(Detection, CleanTwentyMegabyteMessagePasses) {
    std::string body;
    const std::string line = "Nothing but ordinary text in a long, long message; line after line of it.\r\n";
    while (body.size() < (20u << 20)) body += line;
    const std::string message = kvtest::make_message("large", body);
    for (const char* local : {"yes", "no"}) {
        SCOPED_TRACE(std::string("LocalScan = ") + local);
        engine_run f(db.path());
        f.config.set("Scanning", std::string("LocalScan = ") + local);
        EXPECT_EQ(f.run("sender@example.org", kRcpts, message).status, 0) << f.daemon->log();
        ASSERT_EQ(f.deliveries().size(), 1u);
        EXPECT_TRUE(f.deliveries()[0].message == message);
        EXPECT_TRUE(f.notices().empty());
        ASSERT_EQ(f.daemon->requests().size(), 1u);
        EXPECT_NE(f.daemon->requests()[0].find(" status=0 "), std::string::npos) << f.daemon->requests()[0];
    }
}
