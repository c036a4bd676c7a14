#include "kv_qrecord.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "kvc_log.h"
#include "test_util.h"

namespace {

kv::quarantine_record sample() {
    kv::quarantine_record r;
    r.sender = "sender@example.org";
    r.recipients = {"a@example.test", "b@example.test"};
    r.queue_id = "4Xb2Kq1VzLz9abc";
    r.time = 1796900000;
    r.verdict = "infected";
    r.viruses = {"EICAR-Test-File", "Other.Name"};
    return r;
}

void expect_same(const kv::quarantine_record& a, const kv::quarantine_record& b) {
    EXPECT_EQ(a.sender, b.sender);
    EXPECT_EQ(a.recipients, b.recipients);
    EXPECT_EQ(a.queue_id, b.queue_id);
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.verdict, b.verdict);
    EXPECT_EQ(a.viruses, b.viruses);
}

}  // namespace

TEST(QuarantineRecord, WrittenBesideTheFileWithItsModeAndReadBack) {
    kvtest::temp_dir dir;
    const std::string message = dir / "kerval.quarantine.AbC123";
    kvtest::write_file(message, "Subject: x\r\n\r\nbody\r\n", 0640);
    ASSERT_EQ(kv::write_quarantine_record(message, sample()), kv::QRECORD_OK);
    EXPECT_EQ(kvtest::list_dir(dir.path()),
              (std::vector<std::string>{"kerval.quarantine.AbC123", "kerval.quarantine.AbC123.env"}));
    struct stat info;
    ASSERT_EQ(stat((message + ".env").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(kvtest::read_file(message + ".env"),
              "kerval-quarantine-record 1\nsender sender@example.org\nrcpt a@example.test\nrcpt b@example.test\n"
              "queue_id 4Xb2Kq1VzLz9abc\ntime 1796900000\nverdict infected\nvirus EICAR-Test-File\nvirus Other.Name\n");
    kv::quarantine_record back;
    ASSERT_EQ(kv::read_quarantine_record(message, back), kv::QRECORD_OK);
    expect_same(back, sample());
}

TEST(QuarantineRecord, AnyBytesInAValueSurviveAndNeverStartALine) {
    kv::quarantine_record r = sample();
    r.sender = std::string("evil\r\nrcpt injected@example.test") + '\0' + "x%41";
    r.recipients = {"", "%", "tab\there", std::string("\x7f\x80\xff", 3), "<>"};
    r.viruses = {"name\nvirus fake", ""};
    r.verdict = "processing error";
    const std::string text = kv::format_quarantine_record(r);
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 1u + 1u + 5u + 1u + 1u + 1u + 2u) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    kv::quarantine_record back;
    ASSERT_TRUE(kv::parse_quarantine_record(text, back)) << text;
    expect_same(back, r);
}

TEST(QuarantineRecord, TextsThatAreNotARecordAreRefused) {
    const char* const cases[] = {
        "",
        "sender a\n",
        "kerval-quarantine-record 2\ntime 1\n",
        "kerval-quarantine-record 1\nsender a\n",                    // no time
        "kerval-quarantine-record 1\ntime 1x\n",
        "kerval-quarantine-record 1\ntime \n",
        "kerval-quarantine-record 1\ntime 99999999999999999999\n",
        "kerval-quarantine-record 1\ntime 1\nsender a",              // cut short
        "kerval-quarantine-record 1\ntime 1\nsender a%4\n",
        "kerval-quarantine-record 1\ntime 1\nsender a%GG\n",
        "kerval-quarantine-record 1\ntime 1\nsender\n",
    };
    for (const char* text : cases) {
        kv::quarantine_record r;
        EXPECT_FALSE(kv::parse_quarantine_record(text, r)) << text;
    }
    kv::quarantine_record r;
    EXPECT_TRUE(kv::parse_quarantine_record("kerval-quarantine-record 1\ntime 7\nlater_key x\n", r));
    EXPECT_EQ(r.time, 7);
}

TEST(QuarantineRecord, ReadingTellsMissingFromBrokenAndStopsAtItsLimit) {
    kvtest::temp_dir dir;
    const std::string message = dir / "m";
    kvtest::write_file(message, "x");
    kv::quarantine_record r;
    EXPECT_EQ(kv::read_quarantine_record(message, r), kv::QRECORD_MISSING);
    kvtest::log_capture logged;
    kvtest::write_file(message + ".env", "kerval-quarantine-record 1\ntime 1\nsender a%4\n");
    EXPECT_EQ(kv::read_quarantine_record(message, r), kv::QRECORD_BAD);
    EXPECT_TRUE(logged.has(kv::Errors, "quarantine: envelope record " + message + ".env is malformed"));
    std::string huge = "kerval-quarantine-record 1\ntime 1\n";
    while (huge.size() <= kv::kQuarantineRecordMax) huge += "rcpt " + std::string(1000, 'r') + "\n";
    kvtest::write_file(message + ".env", huge);
    EXPECT_EQ(kv::read_quarantine_record(message, r), kv::QRECORD_BAD);
    EXPECT_TRUE(logged.contains("is larger than 1048576 bytes")) << logged.dump();
    EXPECT_TRUE(r.recipients.empty());
}

TEST(QuarantineRecord, AFailedWriteLeavesNothingBehind) {
    kvtest::temp_dir dir;
    const std::string message = dir / "m";
    kvtest::write_file(message, "x");
    {
        // The rename cannot replace a directory of that name.
        mkdir((message + ".env").c_str(), 0700);
        kvtest::log_capture logged;
        EXPECT_EQ(kv::write_quarantine_record(message, sample()), kv::QRECORD_FAILED);
        EXPECT_TRUE(logged.contains("quarantine: cannot rename envelope record " + message + ".env - "))
            << logged.dump();
        EXPECT_EQ(kvtest::list_dir(dir.path()), (std::vector<std::string>{"m", "m.env"}));
        rmdir((message + ".env").c_str());
    }
    {
        kvtest::log_capture logged;
        EXPECT_EQ(kv::write_quarantine_record(dir / "absent/m", sample()), kv::QRECORD_FAILED);
        EXPECT_TRUE(logged.contains("quarantine: cannot create envelope record")) << logged.dump();
    }
    // A temporary file left by a killed run does not stand in the way.
    kvtest::write_file(message + ".env.tmp", "partial");
    EXPECT_EQ(kv::write_quarantine_record(message, sample()), kv::QRECORD_OK);
    EXPECT_EQ(kvtest::list_dir(dir.path()), (std::vector<std::string>{"m", "m.env"}));
}
