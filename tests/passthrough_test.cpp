// The filter from standard input to re-submission, run as Postfix runs it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "filter_fixture.h"

using kvtest::filter_run;

namespace {

const std::vector<std::string> kRcpts = {"rcpt1@example.test", "rcpt2@example.test"};

// The sample configuration's choice: a failure keeps the message for retry.
struct tempfail_run : filter_run {
    tempfail_run() { config.set("Actions", "ProcessingErrors = tempfail"); }
};

}  // namespace

TEST(Passthrough, SubmitsExactlyTheBytesReceived) {
    const std::string messages[] = {
        std::string("Subject: nul\r\n\r\nbinary \0 bytes\0\r\n", 32),
        "Subject: crlf\r\nX-A: b\r\n\r\nline one\r\nline two\r\n",
        "Subject: no final newline\n\nlast line without end",
        "Subject: only headers\n",
        "\nno headers at all\n",
    };
    for (const std::string& message : messages) {
        tempfail_run f;
        auto r = f.run("sender@example.org", kRcpts, message);
        ASSERT_EQ(r.status, 0) << r.err;
        auto subs = f.submissions();
        ASSERT_EQ(subs.size(), 1u);
        EXPECT_EQ(subs[0].message, message);
        EXPECT_TRUE(f.spool_messages().empty());
    }
}

TEST(Passthrough, FiftyMegabyteMessageIsStreamedThrough) {
    tempfail_run f;
    std::string message = "Subject: big\r\n\r\n";
    std::string line;
    for (int i = 0; i < 1000; ++i) line += static_cast<char>('a' + i % 26);
    line += "\r\n";
    while (message.size() < 50u * 1024 * 1024) message += line;
    auto r = f.run("sender@example.org", kRcpts, message);
    ASSERT_EQ(r.status, 0) << r.err;
    auto subs = f.submissions();
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_TRUE(subs[0].message == message);
}

TEST(Passthrough, ArgumentVectorOfTheSubmission) {
    {
        tempfail_run f;
        ASSERT_EQ(f.run("", kRcpts, "Subject: x\n\nbody\n").status, 0);
        ASSERT_EQ(f.submissions().size(), 1u);
        EXPECT_EQ(f.submissions()[0].args,
                  (std::vector<std::string>{"-i", "-bm", "-f<>", "--", "rcpt1@example.test", "rcpt2@example.test"}));
    }
    {
        tempfail_run f;
        f.config.set("Mailer", "SendmailArgs = \"-oi -v\"");
        ASSERT_EQ(f.run("<Some One <one@example.org>>", {"<r@example.test>", "x@"}, "Subject: x\n\nbody\n").status, 0);
        ASSERT_EQ(f.submissions().size(), 1u);
        EXPECT_EQ(f.submissions()[0].args,
                  (std::vector<std::string>{"-oi -v", "-i", "-bm", "-fSome One <one@example.org>", "--",
                                            "r@example.test", "x"}));
    }
}

TEST(Passthrough, FailedSubmissionKeepsTheMessageForRetryAndCleansTheSpool) {
    // A bounce would go to the sender for the filter's own trouble: 75 instead.
    tempfail_run f;
    f.set_submit_status(75);
    EXPECT_EQ(f.run("s@example.org", kRcpts, "Subject: x\n\nbody\n").status, 75);
    EXPECT_EQ(f.submissions().size(), 1u);
    EXPECT_TRUE(f.spool_messages().empty());

    tempfail_run g;
    g.config.drop("Mailer").set("Mailer", "MailSystem = Postfix").set("Mailer", "Sendmail = /nonexistent/sendmail");
    EXPECT_EQ(g.run("s@example.org", kRcpts, "Subject: x\n\nbody\n").status, 75);
    EXPECT_TRUE(g.spool_messages().empty());
}

TEST(Passthrough, DebugSpoolKeepsTheSpoolFile) {
    tempfail_run f;
    f.config.set("Logging", "DebugSpool = yes");
    const std::string message = "Subject: kept\n\nbody\n";
    ASSERT_EQ(f.run("s@example.org", kRcpts, message).status, 0);
    auto files = f.spool_messages();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("kerval.tmp.", 0), 0u);
    EXPECT_EQ(kvtest::read_file(f.spool() + "/" + files[0]), message);
}

TEST(Passthrough, EmptyMessageTakesTheProcessingErrorsAction) {
    struct empty_case {
        const char* action;
        int status;
        size_t submitted;
        size_t quarantined;
    };
    for (const empty_case& c : {empty_case{"tempfail", 75, 0, 0}, {"reject", 75, 0, 0}, {"pass", 0, 1, 0},
                                {"quarantine", 0, 0, 1}}) {
        filter_run f;
        f.config.set("Actions", std::string("ProcessingErrors = ") + c.action);
        EXPECT_EQ(f.run("s@example.org", kRcpts, "").status, c.status) << c.action;
        EXPECT_EQ(f.submissions().size(), c.submitted) << c.action;
        EXPECT_EQ(f.quarantined().size(), c.quarantined) << c.action;
        EXPECT_TRUE(f.spool_messages().empty()) << c.action;
    }
}

TEST(Passthrough, QuarantineOnProcessingErrorWithoutDirectoryKeepsTheMessageForRetry) {
    filter_run f;
    f.config.drop("Actions").set("Actions", "FilterMail = kerval@localhost").set("Actions", "ProcessingErrors = quarantine");
    EXPECT_EQ(f.run("s@example.org", kRcpts, "").status, 75);
}

TEST(Passthrough, UnusableSpoolDirectoryTakesTheProcessingErrorsAction) {
    {
        tempfail_run f;
        f.config.set("Scanning", "Spool = " + (f.dir / "missing"));
        EXPECT_EQ(f.run("s@example.org", kRcpts, "Subject: x\n\nbody\n").status, 75);
        EXPECT_TRUE(f.submissions().empty());
    }
    {
        tempfail_run f;
        f.config.set("Scanning", "Spool = /proc");  // not writable, even for root
        EXPECT_EQ(f.run("s@example.org", kRcpts, "Subject: x\n\nbody\n").status, 75);
        EXPECT_TRUE(f.submissions().empty());
    }
}

TEST(Passthrough, EnvelopeErrorsTakeTheProcessingErrorsAction) {
    tempfail_run f;
    auto r = f.run_args({"--conf=" + f.config_path(), "-f", "a", "-f", "b", "--", "r"}, "Subject: x\n\nb\n");
    EXPECT_EQ(r.status, 75);
    filter_run g;
    g.config.set("Actions", "ProcessingErrors = pass");
    r = g.run_args({"--conf=" + g.config_path(), "-f", "a", "--", ""}, "Subject: x\n\nb\n");
    EXPECT_EQ(r.status, 75);  // nobody to re-submit the message to: kept for retry
    EXPECT_TRUE(g.submissions().empty());
    EXPECT_TRUE(g.spool_messages().empty());
}

TEST(Passthrough, SmallMessagesGoToTheRamSpool) {
    struct size_case {
        const char* size;
        bool ram;
    };
    for (const size_case& c : {size_case{"100", true}, {"200", false}, {"-1", false}, {"abc", false}}) {
        tempfail_run f;
        mkdir((f.dir / "ram").c_str(), 0755);
        f.config.set("Scanning", "RamSpool = " + (f.dir / "ram"))
            .set("Scanning", "RamThreshold = 200")
            .set("Logging", "DebugSpool = yes");
        ASSERT_EQ(f.run("s@example.org", kRcpts, "Subject: x\n\nb\n", {"-s", c.size}).status, 0) << c.size;
        EXPECT_EQ(kvtest::list_dir(f.dir / "ram").size(), c.ram ? 1u : 0u) << c.size;
        EXPECT_EQ(f.spool_messages().size(), c.ram ? 0u : 1u) << c.size;
    }
}
