// kerval-quarantine run as the administrator runs it, over a real quarantine
// directory, with the recording submission program of the filter's tests.
#include "kvq_commands.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>

#include "filter_fixture.h"
#include "kv_qrecord.h"
#include "kvq_output.h"

using kvtest::filter_run;
using kvtest::run_result;

namespace {

struct tool_dir : filter_run {
    tool_dir() : filter_run(false) {}

    run_result tool(std::vector<std::string> args) {
        config.write(config_path());
        args.insert(args.begin(), "--conf=" + config_path());
        args.insert(args.begin(), kvtest::quarantine_bin());
        return kvtest::run_program(args, "", 60, dir.path());
    }
    std::string path(const std::string& id) const { return quarantine() + "/" + id; }
    // A quarantined message, with its envelope record unless record is nullptr.
    void put(const std::string& id, const std::string& message, const kv::quarantine_record* record) {
        kvtest::write_file(path(id), message, 0600);
        if (record != nullptr) {
            ASSERT_EQ(kv::write_quarantine_record(path(id), *record), kv::QRECORD_OK);
        }
    }
    std::vector<std::string> files() const { return kvtest::list_dir(quarantine()); }
};

kv::quarantine_record record(long long time, std::vector<std::string> rcpts = {"a@example.test", "b@example.test"}) {
    kv::quarantine_record r;
    r.sender = "sender@example.org";
    r.recipients = std::move(rcpts);
    r.queue_id = "3F2A1B4C5D";
    r.time = time;
    r.verdict = "infected";
    r.viruses = {"EICAR-Test-File"};
    return r;
}

const std::string kMessage = kvtest::make_message("held", "The body.\r\n");

void set_mtime(const std::string& path, long long seconds) {
    timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
}

}  // namespace

TEST(QuarantineTool, ListShowsEachMessageOnceAndWhatIsUnknownWithoutARecord) {
    tool_dir q;
    q.put("kerval.quarantine.new", kMessage, nullptr);  // quarantined before records were kept
    set_mtime(q.path("kerval.quarantine.new"), 1796000000);
    kv::quarantine_record odd = record(1795000000, {"x@example.test"});
    odd.sender = "\"quoted\\\"\t\x01" + std::string("\xe9t\xc3\xa9", 4) + "@example.org";
    q.put("kerval.quarantine.old", "tiny", &odd);
    q.put("kerval.quarantine.broken", kMessage, nullptr);
    kvtest::write_file(q.path("kerval.quarantine.broken.env"), "kerval-quarantine-record 1\nsender x\n");
    set_mtime(q.path("kerval.quarantine.broken"), 1797000000);
    // Neither messages nor ids: records, a record's temporary file, hidden files,
    // a directory and a symbolic link.
    kvtest::write_file(q.path("kerval.quarantine.gone.env"), kv::format_quarantine_record(record(1)));
    kvtest::write_file(q.path("kerval.quarantine.x.env.tmp"), "partial");
    kvtest::write_file(q.path(".hidden"), kMessage);
    mkdir(q.path("subdir").c_str(), 0700);
    ASSERT_EQ(symlink("/etc/passwd", q.path("link").c_str()), 0);

    run_result r = q.tool({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string size = std::to_string(kMessage.size());
    EXPECT_EQ(r.out,
              "TIME\tSENDER\tRECIPIENTS\tVERDICT\tSIZE\tID\n"
              "2026-11-18T11:06:40Z\t\"quoted\\\"\\x09\\x01\xe9t\xc3\xa9@example.org\tx@example.test\tinfected\t4\t"
              "kerval.quarantine.old\n"
              "2026-11-30T00:53:20Z\t(unknown)\t(unknown)\t(unknown)\t" + size + "\tkerval.quarantine.new\n"
              "2026-12-11T14:40:00Z\t(unknown)\t(unknown)\t(unknown)\t" + size + "\tkerval.quarantine.broken\n");
    EXPECT_NE(r.err.find("envelope record " + q.path("kerval.quarantine.broken.env") + " is malformed"),
              std::string::npos)
        << r.err;

    r = q.tool({"list", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "[\n"
              "{\"id\":\"kerval.quarantine.old\",\"time\":1795000000,"
              "\"sender\":\"\\\"quoted\\\\\\\"\\u0009\\u0001\\u00E9t\xc3\xa9@example.org\","
              "\"recipients\":[\"x@example.test\"],\"queue_id\":\"3F2A1B4C5D\",\"verdict\":\"infected\","
              "\"viruses\":[\"EICAR-Test-File\"],\"size\":4,\"record\":\"ok\"},\n"
              "{\"id\":\"kerval.quarantine.new\",\"time\":1796000000,\"sender\":null,\"recipients\":null,"
              "\"queue_id\":null,\"verdict\":null,\"viruses\":null,\"size\":" + size + ",\"record\":\"missing\"},\n"
              "{\"id\":\"kerval.quarantine.broken\",\"time\":1797000000,\"sender\":null,\"recipients\":null,"
              "\"queue_id\":null,\"verdict\":null,\"viruses\":null,\"size\":" + size + ",\"record\":\"broken\"}\n"
              "]\n");

    tool_dir empty;
    r = empty.tool({"list", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[]\n");
}

TEST(QuarantineTool, JsonStringsAreValidWhateverTheBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("nul\0del\x7f", 8), "\"nul\\u0000del\\u007F\""},
        {"\xe2\x82\xac \xf0\x9f\x98\x80", "\"\xe2\x82\xac \xf0\x9f\x98\x80\""},  // valid UTF-8 passes
        {"\xe2\x82", "\"\\u00E2\\u0082\""},                                       // cut short
        {"\xc0\xaf", "\"\\u00C0\\u00AF\""},                                       // overlong
        {"\xed\xa0\x80", "\"\\u00ED\\u00A0\\u0080\""},                            // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00F4\\u0090\\u0080\\u0080\""},                 // past U+10FFFF
    };
    for (const auto& [text, json] : cases) EXPECT_EQ(kv::json_string(text), json) << json;
}

TEST(QuarantineTool, ShowPrintsTheEnvelopeAndOnlyTheHeaders) {
    tool_dir q;
    kv::quarantine_record r = record(1795000000);
    q.put("m1", kMessage, &r);
    q.put("m2", "Subject: old\n\x1b[2Jx\nX-Folded: a\n\tb\n\nbody\n", nullptr);
    set_mtime(q.path("m2"), 1795000000);
    run_result out = q.tool({"show", "m1"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out,
              "Id: m1\nTime: 2026-11-18T11:06:40Z\nSize: " + std::to_string(kMessage.size()) +
                  "\nSender: sender@example.org\nRecipient: a@example.test\nRecipient: b@example.test\n"
                  "Queue-ID: 3F2A1B4C5D\nVerdict: infected\nVirus: EICAR-Test-File\n\n"
                  "From: sender@example.org\nTo: rcpt@example.test\nSubject: held\nMessage-ID: <held@example.org>\n");
    out = q.tool({"show", "m2"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "Id: m2\nTime: 2026-11-18T11:06:40Z\nSize: 40\n"
                       "Envelope: no record (quarantined before records were kept)\n\n"
                       "Subject: old\n\\x1B[2Jx\nX-Folded: a\n\tb\n");

    // A header block without end is shown up to the limit.
    const std::string endless = "X-Long: " + std::string(kv::kHeadersMax + 10000, 'h');
    q.put("m3", endless, nullptr);
    out = q.tool({"show", "m3"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_NE(out.out.find("\n\n" + endless.substr(0, kv::kHeadersMax) + "\n(headers cut at 262144 bytes)\n"),
              std::string::npos);
    EXPECT_EQ(out.out.find(endless.substr(0, kv::kHeadersMax + 1)), std::string::npos);
}

TEST(QuarantineTool, ReleaseSendsTheMarkedCopyToTheRecipientsAndThenRemovesIt) {
    tool_dir q;
    kv::quarantine_record r = record(1795000000);
    q.put("m1", kMessage, &r);
    q.put("m2", "Subject: lf only\n\nbody\n", &r);
    q.put("legacy", kMessage, nullptr);

    run_result out = q.tool({"release", "m1"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "released m1 to a@example.test,b@example.test\n");
    out = q.tool({"release", "m2", "--to", "c@example.test", "d@example.test"});
    EXPECT_EQ(out.status, 0) << out.err;
    out = q.tool({"release", "legacy"});
    EXPECT_EQ(out.status, 66);
    EXPECT_NE(out.err.find("legacy has no envelope record"), std::string::npos) << out.err;
    EXPECT_EQ(q.files(), (std::vector<std::string>{"legacy"}));
    out = q.tool({"release", "legacy", "--to=e@example.test"});
    EXPECT_EQ(out.status, 0) << out.err;

    auto sent = q.submissions();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].args, (std::vector<std::string>{"-i", "-bm", "-fkerval@localhost", "--", "a@example.test",
                                                      "b@example.test"}));
    EXPECT_EQ(sent[0].message, "X-Kerval-Released: m1\r\n" + kMessage);
    EXPECT_EQ(sent[1].args, (std::vector<std::string>{"-i", "-bm", "-fkerval@localhost", "--", "c@example.test",
                                                      "d@example.test"}));
    EXPECT_EQ(sent[1].message, "X-Kerval-Released: m2\nSubject: lf only\n\nbody\n");
    EXPECT_EQ(sent[2].args.back(), "e@example.test");
    EXPECT_TRUE(q.files().empty());
    EXPECT_TRUE(q.spool_messages().empty());  // the copies made for the submissions
}

TEST(QuarantineTool, AFailedSubmissionRemovesNothing) {
    struct failing {
        const char* name;
        int status;
        bool hang;
    };
    for (const failing& c : {failing{"exit 1", 1, false}, failing{"exit 75", 75, false}, failing{"killed", 0, true}}) {
        SCOPED_TRACE(c.name);
        tool_dir q;
        kv::quarantine_record r = record(1795000000);
        q.put("m1", kMessage, &r);
        if (c.hang) {
            q.set_submit_mode(1, "hang");
            q.config.drop("Mailer").set("Mailer", "MailSystem = Postfix")
                .set("Mailer", "Sendmail = " + (q.dir / "sendmail")).set("Mailer", "Timeout = 1");
        } else {
            q.set_submit_status(c.status);
        }
        run_result out = q.tool({"release", "m1"});
        EXPECT_EQ(out.status, 75);
        EXPECT_NE(out.err.find("release of m1 failed: the submission program did not take it; nothing was removed"),
                  std::string::npos)
            << out.err;
        EXPECT_EQ(q.files(), (std::vector<std::string>{"m1", "m1.env"}));
        EXPECT_TRUE(q.spool_messages().empty());
    }
    tool_dir q;
    kv::quarantine_record r = record(1795000000);
    q.put("m1", kMessage, &r);
    q.config.drop("Mailer").set("Mailer", "MailSystem = Postfix").set("Mailer", "Sendmail = " + (q.dir / "absent"));
    run_result out = q.tool({"release", "m1"});
    EXPECT_EQ(out.status, 75) << out.err;
    EXPECT_EQ(q.files(), (std::vector<std::string>{"m1", "m1.env"}));
    // No spool to make the copy in: nothing is sent.
    q.config.set("Scanning", "Spool = " + (q.dir / "no-spool"));
    out = q.tool({"release", "m1"});
    EXPECT_EQ(out.status, 74) << out.err;
    EXPECT_EQ(q.files(), (std::vector<std::string>{"m1", "m1.env"}));
}

// Submitted, but the message cannot be removed afterwards: the administrator is
// told not to release it a second time.
TEST(QuarantineTool, AReleasedMessageThatCannotBeRemovedIsSaidToBeSent) {
    tool_dir q;
    kv::quarantine_record r = record(1795000000);
    q.put("m1", kMessage, &r);
    // Takes the message, then puts a directory where the file was.
    kvtest::write_file(q.dir / "taking-sendmail",
                       "#!/bin/sh\ncat > /dev/null\nrm -f '" + q.path("m1") + "'\nmkdir '" + q.path("m1") +
                           "'\nexit 0\n",
                       0755);
    q.config.drop("Mailer").set("Mailer", "MailSystem = Postfix").set("Mailer", "Sendmail = " + (q.dir / "taking-sendmail"));
    run_result out = q.tool({"release", "m1"});
    EXPECT_EQ(out.status, 74);
    EXPECT_NE(out.err.find("m1 was released to a@example.test,b@example.test but is still in the quarantine: delete "
                           "it, do not release it again"),
              std::string::npos)
        << out.err;
    EXPECT_TRUE(kvtest::file_exists(q.path("m1.env")));
}

TEST(QuarantineTool, IdsThatAreNotMessagesAreRefusedAndNothingIsTouched) {
    tool_dir q;
    kv::quarantine_record r = record(1795000000);
    q.put("m1", kMessage, &r);
    mkdir(q.path("subdir").c_str(), 0700);
    ASSERT_EQ(symlink(q.path("m1").c_str(), q.path("link").c_str()), 0);
    kvtest::write_file(q.dir / "outside", kMessage);
    const std::pair<std::string, int> cases[] = {
        {"../outside", 65}, {"m1/..", 65}, {".", 65},       {"..", 65},     {"", 65},
        {".hidden", 65},    {"m1.env", 65}, {"a b", 65},    {"m1\n", 65},   {"nonexistent", 66},
        {"subdir", 66},     {"link", 66},
    };
    for (const auto& [id, status] : cases) {
        for (const std::string command : {"show", "release", "delete"}) {
            std::vector<std::string> args = {command, id};
            if (command == "release") args.insert(args.end(), {"--to", "x@example.test"});
            run_result out = q.tool(args);
            EXPECT_EQ(out.status, status) << command << " [" << id << "] " << out.err;
            EXPECT_TRUE(out.out.empty()) << out.out;
        }
    }
    EXPECT_EQ(q.files(), (std::vector<std::string>{"link", "m1", "m1.env", "subdir"}));
    EXPECT_TRUE(kvtest::file_exists(q.dir / "outside"));
    EXPECT_TRUE(q.submissions().empty());
}

TEST(QuarantineTool, DeleteAndPurgeRemoveTheMessageWithItsRecord) {
    tool_dir q;
    const long long now = static_cast<long long>(time(nullptr));
    kv::quarantine_record fresh = record(now - 3600), old = record(now - 3 * 86400);
    q.put("fresh", kMessage, &fresh);
    q.put("old", kMessage, &old);
    q.put("old-legacy", kMessage, nullptr);
    set_mtime(q.path("old-legacy"), now - 10 * 86400);
    q.put("doomed", kMessage, &fresh);

    run_result out = q.tool({"delete", "doomed"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "deleted doomed\n");
    out = q.tool({"purge", "--older-than", "2"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "deleted old-legacy\ndeleted old\npurged 2 message(s)\n");
    EXPECT_EQ(q.files(), (std::vector<std::string>{"fresh", "fresh.env"}));
    out = q.tool({"purge", "--older-than=0"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_TRUE(q.files().empty());
}

TEST(QuarantineTool, CommandLineAndConfigurationErrors) {
    tool_dir q;
    kv::quarantine_record r = record(1795000000);
    q.put("m1", kMessage, &r);
    const std::vector<std::string> usage_cases[] = {
        {},
        {"frobnicate"},
        {"list", "--bogus"},
        {"show"},
        {"show", "m1", "m2"},
        {"delete"},
        {"release"},
        {"release", "--to", "x@example.test"},
        {"release", "m1", "x@example.test"},
        {"release", "m1", "--to"},
        {"release", "m1", "--to", ""},
        {"release", "m1", "--to", "a\r\nb@example.test"},
        {"purge"},
        {"purge", "--older-than"},
        {"purge", "--older-than", "-1"},
        {"purge", "--older-than", "2x"},
        {"purge", "--older-than", "9999999"},
    };
    for (const std::vector<std::string>& args : usage_cases) {
        run_result out = q.tool(args);
        EXPECT_EQ(out.status, 64) << (args.empty() ? "" : args[0]) << " " << args.size();
        EXPECT_NE(out.err.find("Usage: kerval-quarantine"), std::string::npos);
    }
    EXPECT_EQ(q.files(), (std::vector<std::string>{"m1", "m1.env"}));
    run_result help = kvtest::run_program({kvtest::quarantine_bin(), "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: kerval-quarantine [--conf=FILE] COMMAND\n", 0), 0u) << help.out;

    q.config.set("Actions", "Quarantine =");
    run_result out = q.tool({"list"});
    EXPECT_EQ(out.status, 78);
    EXPECT_NE(out.err.find("Quarantine directory"), std::string::npos) << out.err;
    out = kvtest::run_program({kvtest::quarantine_bin(), "--conf=" + (q.dir / "absent.conf"), "list"});
    EXPECT_EQ(out.status, 78);
    EXPECT_NE(out.err.find("does not load"), std::string::npos) << out.err;
    q.config.set("Actions", "Quarantine = " + (q.dir / "no-such-dir"));
    out = q.tool({"list"});
    EXPECT_EQ(out.status, 74);
}

// The whole way: the filter quarantines a message the daemon finds infected,
// with its envelope; the tool lists and releases it; the released copy, sent
// from FilterMail to RedirectMail, passes the filter as its redirected copies do.
TEST(QuarantineTool, WhatTheFilterQuarantinesIsListedAndReleased) {
    filter_run f;
    f.config.set("Actions", "RedirectMail = collector@example.test");
    const std::string infected = kvtest::make_message("infected", "See:\r\n\r\n" + kvtest::eicar() + "\r\n");
    run_result run = f.run("sender@example.org", {"a@example.test", "b@example.test"}, infected,
                           {"--queue_id=4Xb2Kq1VzLz9abc"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> stored = kvtest::list_dir(f.quarantine());
    ASSERT_EQ(stored.size(), 2u);
    const std::string id = stored[0];
    EXPECT_EQ(stored[1], id + ".env");

    auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {kvtest::quarantine_bin(), "--conf=" + f.config_path()});
        return kvtest::run_program(args);
    };
    run_result listed = tool({"list", "--json"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("{\"id\":\"" + id + "\",\"time\":"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(",\"sender\":\"sender@example.org\",\"recipients\":[\"a@example.test\","
                              "\"b@example.test\"],\"queue_id\":\"4Xb2Kq1VzLz9abc\",\"verdict\":\"infected\","
                              "\"viruses\":[\"EICAR-Test-File\"],\"size\":" + std::to_string(infected.size()) +
                              ",\"record\":\"ok\"}"),
              std::string::npos)
        << listed.out;
    const long long now = static_cast<long long>(time(nullptr));
    kv::quarantine_record kept;
    ASSERT_EQ(kv::read_quarantine_record(f.quarantine() + "/" + id, kept), kv::QRECORD_OK);
    EXPECT_LE(now - kept.time, 120);

    const size_t before = f.submissions().size();
    run_result released = tool({"release", id, "--to", "collector@example.test"});
    EXPECT_EQ(released.status, 0) << released.err;
    EXPECT_TRUE(kvtest::list_dir(f.quarantine()).empty());
    auto sent = f.submissions();
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back().message, "X-Kerval-Released: " + id + "\r\n" + infected);

    const size_t scans = f.daemon->requests().size();
    run = f.run("kerval@localhost", {"collector@example.test"}, sent.back().message);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(f.daemon->requests().size(), scans);  // not scanned again
    ASSERT_EQ(f.submissions().size(), before + 2);
    EXPECT_EQ(f.submissions().back().message, sent.back().message);
    EXPECT_TRUE(kvtest::list_dir(f.quarantine()).empty());
}

// A quarantine whose envelope cannot be written is not done: the message is kept
// for retry and the quarantine directory holds nothing a retry would duplicate.
TEST(QuarantineTool, WithoutItsEnvelopeRecordTheFilterDefersTheMessage) {
    filter_run f;
    // Names of 255 bytes: the message file fits, its record's temporary file does not.
    f.config.set("Actions", "QuarantineFilenamesPrefix = " + std::string(255 - 6, 'q'));
    const std::string infected = kvtest::make_message("infected", "See:\r\n\r\n" + kvtest::eicar() + "\r\n");
    run_result run = f.run("sender@example.org", {"a@example.test"}, infected);
    EXPECT_EQ(run.status, 75) << run.out << run.err;
    EXPECT_TRUE(kvtest::list_dir(f.quarantine()).empty());
    EXPECT_TRUE(f.spool_messages().empty());
    EXPECT_TRUE(f.submissions().empty());
}
