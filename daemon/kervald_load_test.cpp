// kervald under load: many clients at once with a bounded pool of workers,
// clients that stop halfway, and announced lengths that must not size memory.
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "daemon_fixture.h"
#include "daemon_samples.h"
#include "kvc_ipc.h"
#include "kvc_lib.h"
#include "kvc_proto.h"
#include "test_util.h"

namespace ipc = kv::ipc;
namespace proto = kv::proto;
using kvtest::stand_in;

namespace {

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

class Load : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ipc::init(), ipc::IPC_OK); }
    void TearDown() override { EXPECT_EQ(ipc::done(), ipc::IPC_OK); }

    // A scan request whose content never comes: the first size bytes of it are sent.
    static std::unique_ptr<ipc::channel> stop_halfway(const std::string& address, uint32_t announced,
                                                      const std::string& content) {
        std::unique_ptr<ipc::channel> ch = ipc::create_client(address, 30, 0);
        if (!ch || !proto::write_int(*ch, kv::KV_CMD_SCAN) || !proto::write_int(*ch, 0) ||
            !proto::write_bytestring(*ch, 0, nullptr) || !proto::write_int(*ch, static_cast<int32_t>(announced)) ||
            !proto::write_buf(*ch, content.size(), content.data())) {
            ADD_FAILURE() << "cannot send the start of a request";
            return nullptr;
        }
        return ch;
    }

    static int64_t version(const std::string& address) {
        std::unique_ptr<ipc::channel> ch = ipc::create_client(address, 10, 1);
        uint32_t answer = 0;
        if (!ch || !proto::write_int(*ch, kv::KV_CMD_VERSION) || !proto::read_int(*ch, answer)) return -1;
        return answer;
    }

    kvtest::temp_dir dir;
};

}  // namespace

TEST_F(Load, ClientsAreServedAtOnceUpToThePoolSize) {
    kvtest::temp_dir db;
    kvtest::make_test_signatures(db.path());
    struct row {
        int workers;
        int clients;
        double at_least;  // seconds: rounds of the pool times the delay
        double at_most;
    };
    // Every answer waits 400 ms: twenty clients one after the other would take 8 s.
    for (const row& r : {row{20, 20, 0.4, 2.5}, row{2, 6, 1.2, 6.0}}) {
        SCOPED_TRACE(std::to_string(r.workers) + " workers");
        stand_in daemon(dir.path(), {.args = {"--workers=" + std::to_string(r.workers), "--delay=400"},
                                     .name = "pool" + std::to_string(r.workers),
                                     .databases = db.path()});
        const std::string samples[] = {kvtest::eicar(), "nothing to see", kvtest::kOwnSignature};
        const int64_t expected[] = {kv::KV_KNOWN_VIRUS, 0, kv::KV_KNOWN_VIRUS};
        std::vector<int64_t> answers(static_cast<size_t>(r.clients), -2);
        std::vector<std::thread> clients;
        const double start = now();
        for (int i = 0; i < r.clients; ++i) {
            clients.emplace_back([&, i] {
                answers[static_cast<size_t>(i)] = kvtest::scan_status(daemon.unix_address(), samples[i % 3], 30);
            });
        }
        for (std::thread& t : clients) t.join();
        const double took = now() - start;
        for (int i = 0; i < r.clients; ++i) EXPECT_EQ(answers[static_cast<size_t>(i)], expected[i % 3]) << "client " << i;
        EXPECT_GE(took, r.at_least);
        EXPECT_LT(took, r.at_most);
        EXPECT_EQ(daemon.requests().size(), static_cast<size_t>(r.clients));
    }
}

TEST_F(Load, AClientThatStopsHalfwayHoldsOnlyItsWorkerUntilTheTimeout) {
    struct row {
        int workers;
        bool second_waits;  // for the first client's timeout
    };
    for (const row& r : {row{2, false}, row{1, true}}) {
        SCOPED_TRACE(std::to_string(r.workers) + " workers");
        stand_in daemon(dir.path(), {.args = {"--workers=" + std::to_string(r.workers), "--timeout=1",
                                              "--log-level=verbose"},
                                     .name = "pool" + std::to_string(r.workers)});
        const double start = now();
        std::unique_ptr<ipc::channel> stopped = stop_halfway(daemon.unix_address(), 1000, "only part");
        ASSERT_TRUE(stopped);
        ASSERT_TRUE(daemon.wait_for_log("kervald: receiving 1000 bytes of content"));
        EXPECT_EQ(version(daemon.unix_address()), 433);
        const double answered = now() - start;
        if (r.second_waits) {
            EXPECT_GE(answered, 0.9);
        } else {
            EXPECT_LT(answered, 0.9);
        }
        uint32_t ignored = 0;
        EXPECT_FALSE(proto::read_int(*stopped, ignored));
        EXPECT_EQ(stopped->last_code, ipc::IPC_CLOSED);
        EXPECT_LT(now() - start, 5.0);
        EXPECT_TRUE(daemon.wait_for_log("kervald: connection from local: timed out in the middle of a request - closed"))
            << daemon.log();
    }
}

TEST_F(Load, AnAnnouncedLengthDoesNotSizeMemory) {
    stand_in daemon(dir.path(), {.args = {"--max-content-size=1G", "--log-level=verbose"}});
    EXPECT_EQ(version(daemon.unix_address()), 433);
    const long before = daemon.memory_kb("VmHWM");
    ASSERT_GT(before, 0);
    // Sixteen bytes that announce 256 MiB, and a little content.
    std::unique_ptr<ipc::channel> ch = stop_halfway(daemon.unix_address(), 256u << 20, std::string(1000, 'x'));
    ASSERT_TRUE(ch);
    ASSERT_TRUE(daemon.wait_for_log("kervald: receiving 268435456 bytes of content"));
    (void)ipc::delete_channel(ch);
    ASSERT_TRUE(daemon.wait_for_log("kervald: incomplete or refused request - connection closed"));
    EXPECT_LT(daemon.memory_kb("VmHWM") - before, 32 * 1024) << "peak KB: " << daemon.memory_kb("VmHWM");
    EXPECT_EQ(version(daemon.unix_address()), 433);
}
