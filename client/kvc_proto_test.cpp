#include "kvc_proto.h"

#include <gtest/gtest.h>

#include <thread>

#include "channel_pair.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "test_util.h"

namespace ipc = kv::ipc;
namespace proto = kv::proto;
namespace combiner = kv::combiner;

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

class Proto : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ipc::init(), ipc::IPC_OK);
        pair = kvtest::connect_channels("unix", dir / "proto.sock", 2);
        ASSERT_TRUE(pair.ok());
    }
    void TearDown() override {
        pair = {};
        EXPECT_EQ(ipc::done(), ipc::IPC_OK);
    }
    // The peer sends bytes and closes; the client reads.
    void peer_sends(const std::string& data) {
        ASSERT_TRUE(kvtest::send_raw(*pair.peer, data));
        ASSERT_EQ(ipc::delete_channel(pair.peer), ipc::IPC_OK);
    }

    kvtest::temp_dir dir;
    kvtest::channel_pair pair;
};

}  // namespace

TEST(ProtoEncoding, Layouts) {
    kv::strings abc;
    abc.add("abc");
    struct row {
        const char* what;
        std::function<void(std::string&)> encode;
        std::string wire;
    };
    const row rows[] = {
        {"int 1", [](std::string& o) { proto::encode_int(o, 1); }, bytes({0, 0, 0, 1})},
        {"int -2", [](std::string& o) { proto::encode_int(o, static_cast<uint32_t>(-2)); },
         bytes({0xff, 0xff, 0xff, 0xfe})},
        {"int 0x01020304", [](std::string& o) { proto::encode_int(o, 0x01020304); }, bytes({1, 2, 3, 4})},
        {"int64 1", [](std::string& o) { proto::encode_int64(o, 1); }, bytes({0, 0, 0, 0, 0, 0, 0, 1})},
        {"int64 2^32", [](std::string& o) { proto::encode_int64(o, 1ull << 32); }, bytes({0, 0, 0, 1, 0, 0, 0, 0})},
        {"bytestring", [](std::string& o) { proto::encode_bytestring(o, "abc"); }, bytes({0, 0, 0, 3, 'a', 'b', 'c'})},
        {"empty bytestring", [](std::string& o) { proto::encode_bytestring(o, ""); }, bytes({0, 0, 0, 0})},
        {"list with NUL", [&](std::string& o) { proto::encode_list(o, &abc, true); },
         bytes({0, 0, 0, 1, 0, 0, 0, 4, 'a', 'b', 'c', 0})},
        {"list without NUL", [&](std::string& o) { proto::encode_list(o, &abc, false); },
         bytes({0, 0, 0, 1, 0, 0, 0, 3, 'a', 'b', 'c'})},
        {"no list", [](std::string& o) { proto::encode_list(o, static_cast<const kv::strings*>(nullptr), true); },
         bytes({0, 0, 0, 0})},
        {"stat block", [](std::string& o) { proto::encode_stat(o, {{0x20, 2}, {0x100, -1}}); },
         bytes({0, 0, 0, 2, 0, 0, 0, 0x20, 0, 0, 0, 2, 0, 0, 1, 0, 0xff, 0xff, 0xff, 0xff})},
    };
    for (const row& r : rows) {
        std::string out;
        r.encode(out);
        EXPECT_EQ(out, r.wire) << r.what;
    }
}

TEST(ProtoEncoding, StatisticsRecordSendsEightPairsInFixedOrder) {
    kv::scan_stat record{};
    for (int i = 0; i < kv::STAT_COUNT; ++i) record[i] = 100 + i;
    const std::vector<proto::stat_pair> pairs = proto::stat_pairs(record);
    const std::vector<std::pair<uint32_t, int32_t>> expected = {
        {0x20, 100 + kv::STAT_KNOWN_VIRUSES}, {0x80, 100 + kv::STAT_MODIFICATIONS},
        {0x40, 100 + kv::STAT_SUSPICIOUS},    {0x1E08, 100 + kv::STAT_SKIPPED},
        {0x46000, 100 + kv::STAT_ARCHIVE},    {0x20000, 100 + kv::STAT_RULE_REJECTS},
        {0x8017, 100 + kv::STAT_SCAN_ERRORS}, {0x100, 100 + kv::STAT_CURED},
    };
    ASSERT_EQ(pairs.size(), expected.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_EQ(pairs[i].mask, expected[i].first) << i;
        EXPECT_EQ(pairs[i].number, expected[i].second) << i;
    }
}

TEST_F(Proto, WritersPutTheEncodingsOnTheWire) {
    kv::strings abc;
    abc.add("abc");
    kv::scan_stat record{};
    record[kv::STAT_KNOWN_VIRUSES] = 2;
    ASSERT_EQ(proto::write_int(*pair.client, 1), 1);
    ASSERT_EQ(proto::write_int64(*pair.client, 1), 1);
    ASSERT_EQ(proto::write_bytestring(*pair.client, 5, nullptr), 1);
    ASSERT_EQ(proto::write_bytestring(*pair.client, 2, "hi"), 1);
    ASSERT_EQ(proto::write_list(*pair.client, &abc, true), 1);
    ASSERT_EQ(proto::write_stat(*pair.client, record), 1);
    std::string expected = bytes({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 'h', 'i'}) +
                           bytes({0, 0, 0, 1, 0, 0, 0, 4, 'a', 'b', 'c', 0});
    proto::encode_stat(expected, proto::stat_pairs(record));
    EXPECT_EQ(kvtest::recv_raw(*pair.peer, expected.size()), expected);
}

TEST_F(Proto, ReadersDecodeWhatTheWritersSent) {
    kv::strings lines;
    lines.add("one");
    lines.add("two,K");
    ASSERT_EQ(proto::write_int(*pair.peer, -5), 1);
    ASSERT_EQ(proto::write_int64(*pair.peer, -5), 1);
    ASSERT_EQ(proto::write_list(*pair.peer, &lines, false), 1);
    ASSERT_EQ(proto::write_list(*pair.peer, &lines, true), 1);

    int32_t small = 0;
    int64_t big = 0;
    ASSERT_EQ(proto::read_int(*pair.client, small), 1);
    ASSERT_EQ(proto::read_int64(*pair.client, big), 1);
    EXPECT_EQ(small, -5);
    EXPECT_EQ(big, -5);
    for (int round = 0; round < 2; ++round) {
        std::vector<std::pair<size_t, std::string>> got;
        ASSERT_EQ(proto::read_list(*pair.client, [&](size_t length, const char* line) {
                      got.emplace_back(length, line);
                      return 1;
                  }),
                  1);
        // Each line arrives as a text; its length counts the received bytes and the
        // terminating NUL (so one more when the sender included its own NUL).
        const size_t sent_nul = round == 0 ? 0 : 1;
        const std::vector<std::pair<size_t, std::string>> expected = {{4 + sent_nul, "one"}, {6 + sent_nul, "two,K"}};
        EXPECT_EQ(got, expected) << round;
    }
}

TEST_F(Proto, EmptyBytestringIsNoDataUnlessATextIsWanted) {
    kvtest::log_capture logged;
    peer_sends(bytes({0, 0, 0, 0, 0, 0, 0, 0}));
    std::optional<std::string> data = "old";
    ASSERT_EQ(proto::read_bytestring(*pair.client, data, false), 1);
    EXPECT_FALSE(data);
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: proto::read_bytestring null bytestring readed"));
    ASSERT_EQ(proto::read_bytestring(*pair.client, data, true), 1);
    EXPECT_EQ(data, std::string());
}

TEST_F(Proto, AnnouncedLengthsBeyondTheLimitAreRefusedBeforeAllocating) {
    kvtest::log_capture logged;
    peer_sends(bytes({0xff, 0xff, 0xff, 0xff, 'x'}));
    std::optional<std::string> data;
    const kv::timo_stamp start = kv::timo_now();
    EXPECT_EQ(proto::read_bytestring(*pair.client, data, false), 0);
    EXPECT_FALSE(data);
    EXPECT_LT(kv::timo_elapsed_ms(start, kv::timo_now()), 500);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: proto::read_bytestring refused a bytestring of 4294967295 bytes (at "
                                       "most 2147483646 bytes are accepted)"))
        << logged.dump();
}

TEST_F(Proto, ALengthThatIsNotFollowedByItsBytesFailsWhenThePeerCloses) {
    // 2 GB announced, 3 bytes sent: the reader fails at the close, without having
    // reserved room for what never came.
    peer_sends(bytes({0x7f, 0xff, 0xff, 0xfe, 'a', 'b', 'c'}));
    std::optional<std::string> data;
    EXPECT_EQ(proto::read_bytestring(*pair.client, data, true), 0);
    EXPECT_FALSE(data);
    EXPECT_EQ(pair.client->last_code, ipc::IPC_CLOSED);
}

TEST_F(Proto, StatBlocksAddToTheFirstMatchingCounter) {
    std::string wire;
    proto::encode_stat(wire, {{0x1000, 3}, {0x120, 2}, {0x10000000, 9}, {0x80000, 1}, {0x4000000, 4}});
    proto::encode_stat(wire, {});
    proto::encode_stat(wire, {{0x20, INT32_MAX}, {0x20, INT32_MAX}});
    peer_sends(wire);
    kv::scan_stat record{};
    ASSERT_EQ(proto::read_stat(*pair.client, record), 1);
    EXPECT_EQ(record[kv::STAT_SKIPPED], 3);
    EXPECT_EQ(record[kv::STAT_KNOWN_VIRUSES], 2);  // 0x120: known virus wins over cured
    EXPECT_EQ(record[kv::STAT_CURED], 0);
    EXPECT_EQ(record[kv::STAT_DELETED], 1);
    EXPECT_EQ(record[kv::STAT_HACKTOOLS], 4);
    EXPECT_EQ(record[kv::STAT_SCANNED], 1);
    ASSERT_EQ(proto::read_stat(*pair.client, record), 1);  // an empty block still counts an object
    EXPECT_EQ(record[kv::STAT_SCANNED], 2);
    ASSERT_EQ(proto::read_stat(*pair.client, record), 1);
    EXPECT_EQ(record[kv::STAT_KNOWN_VIRUSES], INT32_MAX);  // saturates instead of overflowing
}

TEST_F(Proto, ReportWithLimitIsCutForANamedObjectAndFailsWithoutName) {
    std::string wire;
    const std::vector<std::string> lines = {"/var/spool/f.1 - infected\n", "second line\n", "third line\n"};
    proto::encode_list(wire, lines, false);
    proto::encode_list(wire, lines, false);
    peer_sends(wire);
    std::optional<std::string> named = proto::read_report(*pair.client, 30, "/var/spool/f.1");
    EXPECT_EQ(named, "f.1 - infected\nsecond line\n");  // 27 bytes; the third line would pass 30
    kvtest::log_capture logged;
    EXPECT_EQ(proto::read_report(*pair.client, 30, nullptr), std::nullopt);
    EXPECT_TRUE(logged.contains("kvlib: proto::read_list combine routine failed on line[size=13]=second line"));
}

TEST_F(Proto, AReaderStoppedAtAnyByteFailsCleanly) {
    // A whole answer-like sequence; the peer stops after each possible prefix.
    std::string full;
    proto::encode_int(full, 0x20);
    proto::encode_list(full, std::vector<std::string>{"EICAR-Test-File,K", "x,S"}, false);
    proto::encode_bytestring(full, "rule");
    proto::encode_stat(full, {{0x20, 1}});
    auto read_all = [](ipc::channel& ch) {
        uint32_t status = 0;
        kv::category_lists lists;
        std::optional<std::string> rule;
        kv::scan_stat record{};
        return proto::read_int(ch, status) &&
               proto::read_list(ch, [&](size_t n, const char* l) { return combiner::parse_viruses(n, l, lists); }) &&
               proto::read_bytestring(ch, rule, true) && proto::read_stat(ch, record);
    };
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        kvtest::channel_pair p = kvtest::connect_channels("unix", dir / "cut.sock", 2);
        ASSERT_TRUE(p.ok());
        ASSERT_TRUE(cut == 0 || kvtest::send_raw(*p.peer, full.substr(0, cut)));
        ASSERT_EQ(ipc::delete_channel(p.peer), ipc::IPC_OK);
        const kv::timo_stamp start = kv::timo_now();
        EXPECT_EQ(read_all(*p.client), cut == full.size()) << "cut at " << cut;
        EXPECT_LT(kv::timo_elapsed_ms(start, kv::timo_now()), 1000) << "cut at " << cut;
    }
}

TEST_F(Proto, HostileAnswerPartsAreRefusedBeforeTheirBytesAreRead) {
    // Each answer announces more than its part may bring; the reader refuses it at
    // the announcement, without waiting for (or allocating room for) the bytes.
    struct hostile_case {
        const char* what;
        uint32_t options;
        std::string wire;
        std::string logged;
    };
    auto length = [](uint32_t n) {
        std::string out;
        proto::encode_int(out, n);
        return out;
    };
    const std::string status = length(0x20);
    const hostile_case cases[] = {
        {"rule text", kv::KV_OPT_RULE, status + length(proto::ANSWER_LINE_MAX + 1),
         "kvlib: proto::read_bytestring refused a bytestring of 65537 bytes (at most 65536 bytes are accepted)"},
        {"category line", kv::KV_OPT_VIRUS_CATEGORIES, status + length(1) + length(proto::ANSWER_LINE_MAX + 1),
         "kvlib: proto::read_bytestring refused a bytestring of 65537 bytes (at most 65536 bytes are accepted)"},
        {"report line", kv::KV_OPT_REPORT, status + length(2) + length(1) + "x" + length(0x7ffffff0),
         "kvlib: proto::read_bytestring refused a bytestring of 2147483632 bytes (at most 65536 bytes are accepted)"},
        {"stat pairs", kv::KV_OPT_STATISTICS, status + length(0xffffffff),
         "kvlib: proto::read_stat refused 4294967295 pairs (at most 1024 are accepted)"},
    };
    for (const hostile_case& c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::channel_pair p = kvtest::connect_channels("unix", dir / "hostile.sock", 5);
        ASSERT_TRUE(p.ok());
        ASSERT_TRUE(kvtest::send_raw(*p.peer, c.wire));  // and the peer stays open
        kvtest::log_capture logged;
        std::unique_ptr<kv::scanresult> result;
        const kv::timo_stamp start = kv::timo_now();
        EXPECT_EQ(kv::scan::daemon_answer(*p.client, c.options, "/spool/f", result, 0, 0), kv::KV_ERR_COMM);
        EXPECT_LT(kv::timo_elapsed_ms(start, kv::timo_now()), 1000);
        EXPECT_FALSE(result);
        EXPECT_TRUE(logged.has(kv::Errors, c.logged)) << logged.dump();
    }
}

TEST_F(Proto, AnswerListsShareOneBudget) {
    // Report lines that are each within the line limit but together pass the
    // budget of one answer: the reader stops at the line that passes it.
    const uint32_t line_length = proto::ANSWER_LINE_MAX - 16;
    const uint32_t lines = static_cast<uint32_t>(proto::ANSWER_TEXT_MAX / line_length) + 2;
    std::thread sender([&] {
        std::string wire;
        proto::encode_int(wire, 0);
        proto::encode_int(wire, lines);
        const std::string line(line_length, 'r');
        for (uint32_t i = 0; i < lines; ++i) proto::encode_bytestring(wire, line);
        (void)kvtest::send_raw(*pair.peer, wire);
    });
    kvtest::log_capture logged;
    std::unique_ptr<kv::scanresult> result;
    EXPECT_EQ(kv::scan::daemon_answer(*pair.client, kv::KV_OPT_REPORT, "/spool/f", result, 0, 0), kv::KV_ERR_COMM);
    EXPECT_FALSE(result);
    EXPECT_TRUE(logged.contains("kvlib: proto::read_bytestring refused a bytestring of 65520 bytes (at most ")) << logged.dump();
    pair.client.reset();  // the sender may still be blocked on a full socket
    sender.join();
}

TEST(Combiner, ParseVirusesFilesNamesByTheLetterAfterTheLastComma) {
    struct row {
        const char* line;
        int ok;
        int list;
        const char* name;
        const char* logged;
    };
    const row rows[] = {
        {"Win32.Foo,bar,K", 1, kv::CAT_KNOWN, "Win32.Foo,bar", nullptr},
        {"Susp,S", 1, kv::CAT_SUSPICIOUS, "Susp", nullptr},
        {"Mod,M", 1, kv::CAT_MODIFICATIONS, "Mod", nullptr},
        {"Ad,A", 1, kv::CAT_ADWARE, "Ad", nullptr},
        {"Dial,D", 1, kv::CAT_DIALERS, "Dial", nullptr},
        {"Joke,J", 1, kv::CAT_JOKES, "Joke", nullptr},
        {"Risk,R", 1, kv::CAT_RISKWARE, "Risk", nullptr},
        {"Hack,Hxyz", 1, kv::CAT_HACKTOOLS, "Hack", nullptr},  // after the letter nothing counts
        {"Bad,X", 0, 0, nullptr, "kvlib: combiner::parse_viruses unknown infection type 'X' in line - [6]Bad,X"},
        {"NoComma", 0, 0, nullptr, "kvlib: combiner::parse_viruses line malformed - [8]NoComma"},
        {"Trailing,", 0, 0, nullptr, "kvlib: combiner::parse_viruses unknown infection type ' ' in line - [10]Trailing,"},
    };
    for (const row& r : rows) {
        kvtest::log_capture logged;
        kv::category_lists lists;
        const size_t length = strlen(r.line) + 1;
        EXPECT_EQ(combiner::parse_viruses(length, r.line, lists), r.ok) << r.line;
        if (r.ok) {
            ASSERT_TRUE(lists[r.list]) << r.line;
            EXPECT_EQ(lists[r.list]->items(), std::vector<std::string>{r.name});
            for (int i = 0; i < kv::CAT_COUNT; ++i) EXPECT_EQ(static_cast<bool>(lists[i]), i == r.list) << r.line;
        } else {
            EXPECT_TRUE(logged.has(kv::Errors, r.logged)) << logged.dump();
        }
    }
}

TEST(Combiner, DeletePathShowsTheObjectByItsBaseName) {
    struct row {
        const char* name;
        const char* line;
        std::vector<std::string> added;
    };
    const row rows[] = {
        {"/var/spool/f.1", "/var/spool/f.1/part2 - infected", {"f.1/part2 - infected"}},
        {"/var/spool/f.1", "found in /var/spool/f.1 - ok", {"found in ", "f.1 - ok"}},
        {"/var/spool/f.1", "unrelated line", {"unrelated line"}},
        {"f.1", "f.1 has no directory", {"f.1 has no directory"}},
        {"/very/long/directory/", "/x", {"/x"}},  // the directory is not shorter than the line
    };
    for (const row& r : rows) {
        kv::strings list;
        EXPECT_EQ(combiner::add_multistring_and_delete_path(strlen(r.line) + 1, r.line, list, r.name), 1);
        EXPECT_EQ(list.items(), r.added) << r.line;
    }
}
