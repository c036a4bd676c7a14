#include "kv_util.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "daemon_fixture.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

std::string be32(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

// A one-shot statistics agent: reads exactly `expect` bytes, answers `answer`.
class raw_agent {
public:
    raw_agent(const std::string& path, size_t expect, uint32_t answer) : path_(path) {
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        thread_ = std::thread([this, expect, answer] {
            int peer = accept(listener_, nullptr, nullptr);
            if (peer < 0) return;
            char buffer[4096];
            while (received_.size() < expect) {
                ssize_t n = read(peer, buffer, sizeof buffer);
                if (n <= 0) break;
                received_.append(buffer, static_cast<size_t>(n));
            }
            std::string reply = be32(answer);
            (void)!write(peer, reply.data(), reply.size());
            close(peer);
        });
    }
    ~raw_agent() {
        shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(listener_);
        unlink(path_.c_str());
    }
    std::string received() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }

private:
    std::string path_;
    int listener_ = -1;
    std::thread thread_;
    std::string received_;
};

// The library started (so that its channels can be made) for one test.
struct library {
    library() { EXPECT_EQ(kv::startup(kv::kLibraryVersion, "local:/nonexistent/kervald.sock", 5, 0), 0); }
    ~library() { (void)kv::cleanup(); }
};

std::unique_ptr<kv::scanresult> sample_result() {
    auto result = kv::scanresult_new();
    result->stat[kv::STAT_SCANNED] = 3;
    result->stat[kv::STAT_KNOWN_VIRUSES] = 2;
    result->stat[kv::STAT_MODIFICATIONS] = 1;
    result->stat[kv::STAT_SKIPPED] = 4;
    result->stat[kv::STAT_CURED] = 5;
    result->stat[kv::STAT_ADWARE] = 6;  // not sent
    result->categories[kv::CAT_KNOWN] = kv::strings::create();
    result->categories[kv::CAT_KNOWN]->add("EICAR");
    result->categories[kv::CAT_KNOWN]->add("Worm.X");
    return result;
}

}  // namespace

TEST(DropStat, AgentReceivesTheExchangeByteForByte) {
    kvtest::temp_dir dir;
    library lib;
    std::string expected = be32(1) + be32(1) + be32(8);
    const uint32_t pairs[][2] = {{0x20, 2}, {0x80, 1}, {0x40, 0}, {0x1E08, 4},
                                 {0x46000, 0}, {0x20000, 0}, {0x8017, 0}, {0x100, 5}};
    for (const auto& pair : pairs) expected += be32(pair[0]) + be32(pair[1]);
    expected += be32(2) + be32(6) + std::string("EICAR\0", 6) + be32(7) + std::string("Worm.X\0", 7);
    expected += be32(0);  // no modifications list
    raw_agent agent(dir / "agent.sock", expected.size(), 0);
    kv::agent_settings settings;
    settings.address = "local:" + (dir / "agent.sock");
    auto result = sample_result();
    EXPECT_EQ(kv::drop_stat(settings, result.get()), 1);
    EXPECT_EQ(agent.received(), expected);
}

TEST(DropStat, RefusalsAndUnreachableAgentsFailQuietly) {
    kvtest::temp_dir dir;
    library lib;
    auto result = sample_result();
    kv::agent_settings settings;
    {
        kvtest::log_capture logged;
        EXPECT_EQ(kv::drop_stat(settings, result.get()), 1);  // no agent configured
        EXPECT_TRUE(logged.has(kv::Debug, "drop_stat: agent address was not defined - assume no agent"));
    }
    {
        raw_agent agent(dir / "agent.sock", 105, 1);  // the whole exchange of sample_result()
        settings.address = "local:" + (dir / "agent.sock");
        kvtest::log_capture logged;
        EXPECT_EQ(kv::drop_stat(settings, result.get()), 0);
        EXPECT_TRUE(logged.has(kv::Errors, "drop_stat: errors during talking with agent"));
    }
    {
        settings.address = "local:" + (dir / "nobody.sock");
        kvtest::log_capture logged;
        EXPECT_EQ(kv::drop_stat(settings, result.get()), 0);
        EXPECT_TRUE(logged.has(kv::Errors, "drop_stat: cannot connect to agent"));
    }
    EXPECT_EQ(result->stat[kv::STAT_KNOWN_VIRUSES], 2);
}

TEST(InitLib, PrimaryThenBackupsAndTheVersionCheck) {
    kvtest::temp_dir dir;
    struct version_case {
        const char* version;
        int accepted;
    };
    for (const version_case& c : {version_case{"433", 1}, {"500", 1}, {"432", 0}, {"399", 0}}) {
        SCOPED_TRACE(c.version);
        kvtest::stand_in daemon(dir.path(), {true, false, {std::string("--version=") + c.version}});
        kv::daemon_settings settings;
        settings.address = kv::strings::create();
        settings.address->add("local:" + (dir / "down.sock"));
        settings.address->add(daemon.unix_address());
        settings.address->add("inet:3000@127.0.0.1");
        settings.timeout = 5;
        kvtest::log_capture logged;
        ASSERT_EQ(kv::init_lib(settings), 1);
        EXPECT_TRUE(logged.has(kv::Verbose, "init_lib: set primary daemon address = <local:" + (dir / "down.sock") + ">"));
        EXPECT_TRUE(logged.has(kv::Verbose, "init_lib: set backup daemon address = <" + daemon.unix_address() + ">"));
        EXPECT_TRUE(logged.has(kv::Verbose, "init_lib: set backup daemon address = <inet:3000@127.0.0.1>"));
        EXPECT_EQ(kv::check_daemon_version(), c.accepted);
        if (!c.accepted) {
            EXPECT_TRUE(logged.has(kv::Errors,
                                   "THIS VERSION IS NOT COMPATIBLE WITH Kerval (R) DAEMON VERSIONS LESS THAT 4.33 !!!"));
        }
        EXPECT_EQ(kv::cleanup(), 0);
    }
    kv::daemon_settings bad;
    bad.address = kv::strings::create();
    bad.address->add("inet:3000");
    kvtest::log_capture logged;
    EXPECT_EQ(kv::init_lib(bad), 0);
    EXPECT_TRUE(logged.contains("init_lib: cannot initialize kvclient library (error: "));
}
