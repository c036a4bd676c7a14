// The stand-in daemon as its users see it: command line, pid file, control
// file, refusing, the statistics agent, and bad requests.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "daemon_fixture.h"
#include "kvc_ipc.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "kvc_proto.h"
#include "test_util.h"

namespace ipc = kv::ipc;
namespace proto = kv::proto;
using kvtest::stand_in;

namespace {

class Kervald : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ipc::init(), ipc::IPC_OK); }
    void TearDown() override { EXPECT_EQ(ipc::done(), ipc::IPC_OK); }

    // One request on a fresh connection: the version query's answer, or -1.
    static int64_t version(const std::string& address) {
        std::unique_ptr<ipc::channel> ch = ipc::create_client(address, 5, 1);
        uint32_t answer = 0;
        if (!ch || !proto::write_int(*ch, kv::KV_CMD_VERSION) || !proto::read_int(*ch, answer)) return -1;
        return answer;
    }

    kvtest::temp_dir dir;
};

}  // namespace

TEST(KervaldCommandLine, HelpAndUsageErrors) {
    kvtest::run_result help = kvtest::run_program({kvtest::daemon_bin(), "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* part : {"Usage: kervald [options] ADDRESS...", "--pidfile=PATH", "--control=PATH", "--refuse",
                             "--agent", "status=WORD", "virus=NAME,LETTER", "close-after=N", "stall=yes",
                             "cured-length=N", "agent-answer=N", "--foreground", "--database-directory=DIR", "--workers=N",
                             "--socket-mode=MODE", "delay=MS"}) {
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    }
    struct row {
        std::vector<std::string> args;
        int status;
        const char* said;
    };
    const row rows[] = {
        {{}, 2, "kervald: no address to listen on"},
        {{"--bogus", "default"}, 2, "kervald: unknown or incomplete option --bogus"},
        {{"--status=zz", "default"}, 2, "kervald: --status=zz: not a number"},
        {{"--stat=12", "default"}, 2, "kervald: --stat=12: expected MASK:COUNT"},
        {{"--timeout=-1", "default"}, 2, "kervald: bad timeout -1"},
        {{"--log-level=loud", "default"}, 2, "kervald: unknown log level loud"},
        {{"--workers=0", "default"}, 2, "kervald: bad number of workers 0"},
        {{"--max-content-size=12Q", "default"}, 2, "kervald: bad content size 12Q"},
        {{"--syslog-facility=loud", "default"}, 2, "kervald: unknown syslog facility loud"},
        {{"--database-directory=none", "local:relative.sock"}, 1, "kervald: cannot listen on local:relative.sock"},
        {{"--database-directory=none", "--temporary-directory=/nonexistent", "default"}, 1,
         "kervald: cannot keep temporary files in /nonexistent - No such file or directory"},
    };
    for (const row& r : rows) {
        std::vector<std::string> argv = {kvtest::daemon_bin()};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        kvtest::run_result run = kvtest::run_program(argv, "", 10);
        EXPECT_EQ(run.status, r.status) << r.said;
        EXPECT_NE(run.err.find(r.said), std::string::npos) << run.err;
    }
}

TEST_F(Kervald, PidFileListsEveryAddressAndGoesAwayWithTheDaemon) {
    const std::string second = dir / "second.sock";
    stand_in daemon(dir.path(), {.tcp = true, .args = {"local:" + second}});
    ASSERT_TRUE(daemon.running());
    const std::string expected = std::to_string(daemon.pid()) + "\n" + second + "\n" + daemon.socket_path() +
                                 "\n127.0.0.1:" + std::to_string(daemon.tcp_port()) + "\n";
    EXPECT_EQ(kvtest::read_file(daemon.pidfile()), expected);
    for (const std::string& address : {"local:" + second, daemon.unix_address(), daemon.tcp_address()}) {
        EXPECT_EQ(version(address), 433) << address;
    }
    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_FALSE(kvtest::file_exists(daemon.pidfile()));
    EXPECT_FALSE(kvtest::file_exists(second));
    EXPECT_FALSE(kvtest::file_exists(daemon.socket_path()));
}

TEST_F(Kervald, ControlFileIsReadBeforeEveryRequest) {
    stand_in daemon(dir.path(), {.args = {"--version=410"}});
    EXPECT_EQ(version(daemon.unix_address()), 410);  // no control file yet
    daemon.control("# a comment\n\nversion = 0x1f4\nbogus = 1\nversion\n");
    EXPECT_EQ(version(daemon.unix_address()), 500);
    const std::string ctl = dir / "kervald.ctl";
    EXPECT_NE(daemon.log().find("kervald: control file " + ctl + " line 4: bogus = 1 - unknown setting"),
              std::string::npos)
        << daemon.log();
    EXPECT_NE(daemon.log().find("line 5: version - expected NAME = VALUE"), std::string::npos);
    daemon.control("");
    EXPECT_EQ(version(daemon.unix_address()), 410);  // back to the command line's setting
    EXPECT_EQ(daemon.requests(), (std::vector<std::string>{"version answer=4", "version answer=4", "version answer=4"}));
}

TEST_F(Kervald, RefuseModeRefusesEveryConnection) {
    stand_in daemon(dir.path(), {.tcp = true, .args = {"--refuse"}});
    ASSERT_TRUE(daemon.running());
    for (const std::string& address : {daemon.unix_address(), daemon.tcp_address()}) {
        kvtest::log_capture logged;
        EXPECT_FALSE(ipc::create_client(address, 5, 1)) << address;
        EXPECT_TRUE(logged.contains("kvlib: fd: connect() failed - Connection refused")) << logged.dump();
    }
}

TEST_F(Kervald, StatisticsAgentRecordsTheReportAndAnswers) {
    stand_in agent(dir.path(), {.args = {"--agent"}});
    for (int answer : {0, 1}) {
        agent.control("agent-answer = " + std::to_string(answer));
        kv::scan_stat record{};
        record[kv::STAT_KNOWN_VIRUSES] = 2;
        record[kv::STAT_CURED] = 1;
        kv::strings known;
        known.add("EICAR-Test-File");
        known.add("Other,Virus");
        std::unique_ptr<ipc::channel> ch = ipc::create_client(agent.unix_address(), 5, 0);
        ASSERT_TRUE(ch);
        int32_t got = -1;
        ASSERT_TRUE(proto::write_int(*ch, 1) && proto::write_int(*ch, 1) && proto::write_stat(*ch, record) &&
                    proto::write_list(*ch, &known, true) && proto::write_list(*ch, nullptr, true) &&
                    proto::read_int(*ch, got));
        EXPECT_EQ(got, answer);
    }
    const std::string block =
        "agent 1 1\nstat 0x20 2\nstat 0x80 0\nstat 0x40 0\nstat 0x1e08 0\nstat 0x46000 0\nstat 0x20000 0\n"
        "stat 0x8017 0\nstat 0x100 1\nknown EICAR-Test-File\nknown Other,Virus\n";
    EXPECT_EQ(agent.record(), block + "answer 0\n" + block + "answer 1\n");
}

TEST_F(Kervald, BuiltInMatcherFindsAndCuresAcrossThePiecesItReads) {
    stand_in daemon(dir.path());
    const std::string eicar = kvtest::eicar();
    // One test file across the boundary of the first 64 KiB piece, one in the third piece.
    std::string content = std::string(65536 - 30, 'a') + eicar + std::string(70000, 'b') + eicar + "\n";
    std::unique_ptr<ipc::channel> ch = ipc::create_client(daemon.unix_address(), 5, 0);
    ASSERT_TRUE(ch);
    uint32_t status = 0;
    kv::scan_stat counters{};
    std::optional<std::string> cured;
    ASSERT_TRUE(proto::write_int(*ch, kv::KV_CMD_SCAN) &&
                proto::write_int(*ch, static_cast<int32_t>(kv::KV_OPT_CURE | kv::KV_OPT_STATISTICS)) &&
                proto::write_bytestring(*ch, 0, nullptr) && proto::write_int(*ch, static_cast<int32_t>(content.size())) &&
                proto::write_buf(*ch, content.size(), content.data()) && proto::read_int(*ch, status) &&
                proto::read_stat(*ch, counters) && proto::read_bytestring(*ch, cured, false));
    EXPECT_EQ(status, kv::KV_KNOWN_VIRUS | kv::KV_CURED);
    EXPECT_EQ(counters[kv::STAT_KNOWN_VIRUSES], 2);
    EXPECT_EQ(counters[kv::STAT_CURED], 2);
    for (size_t at = content.find(eicar); at != std::string::npos; at = content.find(eicar)) {
        content.replace(at, eicar.size(), std::string(eicar.size(), ' '));
    }
    EXPECT_TRUE(cured == content);
}

TEST_F(Kervald, BadRequestsAreRefusedAndTheDaemonGoesOn) {
    stand_in daemon(dir.path(), {.args = {"--max-content-size=1M"}});
    struct bad {
        std::string request;
        int64_t answer;  // the status word, or -1 when the connection is closed instead
    };
    const bad requests[] = {
        {std::string("\0\0\0\x63", 4), -1},                                      // unknown command 99
        {std::string("\0\0\0\x01\0\0\0\0\x7f\xff\xff\xff", 12), -1},            // a 2 GB object name
        {std::string("\0\0\0\x01\x01\0\0\0\0\0\0\0\xff\xff\xff\xff", 16), -1},  // 4 billion recipients
        {std::string("\0\0\0\x01\0\0\0\0\0\0\0\x05/tm", 15), -1},                // a request cut short
        // Content over the limit is refused with a scanning error before it is read.
        {std::string("\0\0\0\x01\0\0\0\0\0\0\0\0\x7f\xff\xff\xff", 16), kv::KV_INVALID_CALL},
    };
    for (const bad& b : requests) {
        std::unique_ptr<ipc::channel> ch = ipc::create_client(daemon.unix_address(), 5, 0);
        ASSERT_TRUE(ch);
        size_t length = b.request.size();
        ASSERT_EQ(ipc::send(*ch, b.request.data(), length), ipc::IPC_OK);
        ASSERT_EQ(shutdown(ipc::get_fd(ch.get()), SHUT_WR), 0);  // the daemon sees the end of the request
        uint32_t answer = 0;
        EXPECT_EQ(proto::read_int(*ch, answer), b.answer >= 0);
        if (b.answer >= 0) {
            EXPECT_EQ(answer, b.answer);
        } else {
            EXPECT_EQ(ch->last_code, ipc::IPC_CLOSED);
        }
    }
    // A client that sends all of the content it announced reads the refusal after it.
    std::unique_ptr<ipc::channel> ch = ipc::create_client(daemon.unix_address(), 5, 0);
    ASSERT_TRUE(ch);
    const std::string content((1 << 20) + 1, 'x');
    uint32_t status = 0;
    ASSERT_TRUE(proto::write_int(*ch, kv::KV_CMD_SCAN) && proto::write_int(*ch, kv::KV_OPT_REPORT) &&
                proto::write_bytestring(*ch, 4, "/big") && proto::write_int(*ch, static_cast<int32_t>(content.size())) &&
                proto::write_buf(*ch, content.size(), content.data()) && proto::read_int(*ch, status));
    EXPECT_EQ(status, kv::KV_INVALID_CALL);
    EXPECT_EQ(proto::read_report(*ch, 0, nullptr),
              "/big refused: content of 1048577 bytes is more than the 1048576 bytes accepted\n");

    const std::string log = daemon.log();
    EXPECT_NE(log.find("kervald: unknown command 99"), std::string::npos) << log;
    EXPECT_NE(log.find("kervald: object name of 2147483647 bytes refused (at most 4096)"), std::string::npos);
    EXPECT_NE(log.find("kervald: content of 2147483647 bytes refused (at most 1048576)"), std::string::npos);
    EXPECT_NE(log.find("kervald: 4294967295 recipients refused"), std::string::npos);
    EXPECT_EQ(version(daemon.unix_address()), 433);
}
