#include "kvc_ipc.h"

#include <arpa/inet.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "kvc_log.h"
#include "kvc_tcp.h"
#include "kvc_unix.h"
#include "channel_pair.h"
#include "test_util.h"

namespace ipc = kv::ipc;

namespace {

class Ipc : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ipc::init(), ipc::IPC_OK); }
    void TearDown() override { EXPECT_EQ(ipc::done(), ipc::IPC_OK); }

    kvtest::channel_pair connect(const std::string& kind, int seconds) {
        return kvtest::connect_channels(kind, dir / "ipc.sock", seconds);
    }

    kvtest::temp_dir dir;
};

}  // namespace

TEST(IpcAddress, Grammar) {
    struct row {
        const char* spec;
        int resolve;
        int family;
        const char* text;  // host or path
        int port;
        const char* logged;  // the reason of a refusal
    };
    const row rows[] = {
        {"default", 1, ipc::FAMILY_TCP, "localhost", 3000, nullptr},
        {"DEFAULT-anything", 1, ipc::FAMILY_TCP, "localhost", 3000, nullptr},
        {"inet:3000@127.0.0.1", 0, ipc::FAMILY_TCP, "127.0.0.1", 3000, nullptr},
        {"INET:25@127.0.0.1", 1, ipc::FAMILY_TCP, "127.0.0.1", 25, nullptr},
        {"inet:smtp@localhost", 1, ipc::FAMILY_TCP, "localhost", 25, nullptr},
        {"inet:3000@no-such-host.invalid", 0, ipc::FAMILY_TCP, "no-such-host.invalid", 3000, nullptr},
        {"local:/run/kervald.sock", 0, ipc::FAMILY_UNIX, "/run/kervald.sock", 0, nullptr},
        {"Local:/x", 0, ipc::FAMILY_UNIX, "/x", 0, nullptr},
        {"inet:3000", 1, 0, nullptr, 0, "kvlib: ipc: not a tcp-socket address string <inet:3000>"},
        {"inet:70000@127.0.0.1", 1, 0, nullptr, 0, "kvlib: ipc: wrong tcp-socket address <inet:70000@127.0.0.1>"},
        {"inet:3000@no-such-host.invalid", 1, 0, nullptr, 0,
         "kvlib: ipc: wrong tcp-socket address <inet:3000@no-such-host.invalid>"},
        {"local:run/kervald.sock", 0, 0, nullptr, 0, "kvlib: ipc: not a unix-socket path <local:run/kervald.sock>"},
        {"local:", 0, 0, nullptr, 0, "kvlib: ipc: not a unix-socket path <local:>"},
        {"tcp:3000@host", 0, 0, nullptr, 0, "kvlib: ipc: invalid family specified tcp:3000@host"},
        {"pid:/run/kervald.pid", 0, 0, nullptr, 0, "kvlib: ipc: using recursive pid: format is invalid"},
        {"kervald", 0, 0, nullptr, 0, "kvlib: ipc: format separator : not found in kervald"},
    };
    ASSERT_EQ(kv::tcp_init(), kv::SOCK_OK);
    for (const row& r : rows) {
        kvtest::log_capture logged;
        int family = -1;
        std::unique_ptr<ipc::address> record = ipc::parse_address(r.spec, r.resolve, family);
        EXPECT_EQ(family, r.family) << r.spec;
        if (r.family == 0) {
            EXPECT_FALSE(record) << r.spec;
            EXPECT_TRUE(logged.has(kv::Errors, r.logged)) << r.spec << "\n" << logged.dump();
            continue;
        }
        ASSERT_TRUE(record) << r.spec << "\n" << logged.dump();
        EXPECT_EQ(record->text, r.text);
        EXPECT_EQ(record->resolved, r.resolve);
        EXPECT_TRUE(logged.has(kv::Verbose, std::string("kvlib: ipc: address ") + r.spec + " added"));
        if (r.family == ipc::FAMILY_TCP) {
            EXPECT_EQ(ntohs(record->socket.in.sin_port), r.port) << r.spec;
            if (r.resolve) {
                EXPECT_EQ(record->socket.in.sin_addr.s_addr, htonl(INADDR_LOOPBACK)) << r.spec;
            }
        } else {
            EXPECT_STREQ(ipc::unix_filename(*record), r.text);
        }
    }
    EXPECT_EQ(kv::tcp_deinit(), kv::SOCK_OK);
}

TEST(IpcAddress, RefusalsEndWithTheCannotParseLine) {
    kvtest::log_capture logged;
    int family = -1;
    EXPECT_FALSE(ipc::parse_address("inet:3000", 0, family));
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: ipc: cannot parse address from specification <inet:3000>"));
}

TEST(IpcAddress, TextFromSocketAddress) {
    ipc::address record;
    record.socket.in.sin_family = AF_INET;
    record.socket.in.sin_port = htons(3000);
    record.socket.in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ipc::address_text(ipc::FAMILY_TCP, record);
    EXPECT_EQ(record.text, "inet:3000@127.0.0.1");
    ipc::address unix_record;
    kv::unix_make_address("/run/k.sock", unix_record.socket.un);
    ipc::address_text(ipc::FAMILY_UNIX, unix_record);
    EXPECT_EQ(unix_record.text, "local:/run/k.sock");
    ipc::address_text(ipc::FAMILY_NONE, unix_record);
    EXPECT_EQ(unix_record.text, "");
}

TEST(IpcTimeout, SecondsBecomeABudgetOfAtMostFourHours) {
    struct row {
        int seconds;
        int valid;
        int budget;
    };
    const row rows[] = {{14400, 1, 14400000}, {1, 1, 1000}, {0, 1, kv::TIMO_INFINITE}, {-5, 1, kv::TIMO_INFINITE},
                        {14401, 0, 14401000}};
    for (const row& r : rows) {
        kvtest::log_capture logged;
        ipc::channel ch;
        EXPECT_EQ(ipc::set_timeout(ch, r.seconds), r.valid) << r.seconds;
        EXPECT_EQ(ch.budget, r.budget) << r.seconds;
        EXPECT_EQ(logged.contains("kvlib: ipc::set_timeout invalid timeout"), r.valid == 0);
    }
}

TEST_F(Ipc, SubsystemStartsOnceAndIgnoresSigpipe) {
    kvtest::log_capture logged;
    EXPECT_EQ(ipc::init(), ipc::IPC_ALREADY);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: ipc: system has already been initialized"));
    struct sigaction action;
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &action), 0);
    EXPECT_EQ(action.sa_handler, SIG_IGN);
}

TEST(IpcState, ChannelsNeedTheSubsystem) {
    kvtest::log_capture logged;
    EXPECT_EQ(ipc::done(), ipc::IPC_STATE);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: ipc: subsystem is not initialized"));
    int family = 0;
    auto record = ipc::parse_address("local:/tmp/none.sock", 0, family);
    std::unique_ptr<ipc::channel> ch;
    EXPECT_EQ(ipc::make(family, nullptr, record.get(), 5, 0, 1, ch), ipc::IPC_UNAVAILABLE);
    EXPECT_FALSE(ch);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: ipc: unix sockets not allowed"));
}

TEST_F(Ipc, MakeRefusesBadTypesAndTimeouts) {
    kvtest::log_capture logged;
    std::unique_ptr<ipc::channel> ch;
    EXPECT_EQ(ipc::make(3, nullptr, nullptr, 5, 0, 0, ch), ipc::IPC_BAD);
    EXPECT_EQ(ipc::make(ipc::FAMILY_UNIX, nullptr, nullptr, -3, 0, 0, ch), ipc::IPC_BAD);
    EXPECT_EQ(ipc::make(ipc::FAMILY_UNIX, nullptr, nullptr, 14401, 0, 0, ch), ipc::IPC_BAD_TIMEOUT);
    EXPECT_FALSE(ch);
    EXPECT_EQ(ipc::make(ipc::FAMILY_UNIX, nullptr, nullptr, 14400, 0, 0, ch), ipc::IPC_OK);
    ASSERT_TRUE(ch);
    EXPECT_EQ(ipc::get_fd(ch.get()), -1);
    // No socket: deleting it frees it without a lifetime line.
    EXPECT_EQ(ipc::delete_channel(ch), ipc::IPC_OK);
    EXPECT_FALSE(ch);
    EXPECT_FALSE(logged.contains("lifetime"));
    EXPECT_EQ(ipc::delete_channel(ch), ipc::IPC_UNAVAILABLE);
    EXPECT_EQ(ipc::delete_control(ch), 0);
}

TEST_F(Ipc, ExactTransfersOverBothTransports) {
    for (const char* kind : {"unix", "tcp"}) {
        kvtest::log_capture logged;
        kvtest::channel_pair t = connect(kind, 5);
        ASSERT_TRUE(t.client && t.peer) << kind << logged.dump();
        EXPECT_EQ(ipc::is_local_mode(t.peer.get()), 0);
        const std::string message(1000, 'm');
        size_t length = 1000;
        ASSERT_EQ(ipc::send(*t.client, message.data(), length), ipc::IPC_OK);
        EXPECT_EQ(length, 1000u);
        std::string got(1000, '\0');
        length = got.size();
        ASSERT_EQ(ipc::recv(*t.peer, got.data(), length), ipc::IPC_OK);
        EXPECT_EQ(got, message.substr(0, 1000));

        length = 0;
        logged.clear();
        EXPECT_EQ(ipc::send(*t.client, message.data(), length), ipc::IPC_OK);
        EXPECT_TRUE(logged.lines().empty()) << logged.dump();  // nothing moved, nothing said

        EXPECT_EQ(ipc::delete_channel(t.client), ipc::IPC_OK);
        EXPECT_TRUE(logged.contains("kvlib: ipc: lifetime = ")) << kind;
    }
}

TEST_F(Ipc, PeerClosingEarlyEndsTheReceiveWithWhatArrived) {
    kvtest::channel_pair t = connect("unix", 5);
    ASSERT_TRUE(t.client && t.peer);
    size_t length = 10;
    ASSERT_EQ(ipc::send(*t.peer, "0123456789", length), ipc::IPC_OK);
    ASSERT_EQ(ipc::delete_channel(t.peer), ipc::IPC_OK);
    char buffer[20];
    length = sizeof buffer;
    EXPECT_EQ(ipc::recv(*t.client, buffer, length), ipc::IPC_CLOSED);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(t.client->last_code, ipc::IPC_CLOSED);
}

TEST_F(Ipc, TheBudgetCoversAllTransfersOfAChannel) {
    kvtest::log_capture logged;
    kvtest::channel_pair t = connect("tcp", 1);
    ASSERT_TRUE(t.client && t.peer);
    char buffer[4];
    size_t length = sizeof buffer;
    const kv::timo_stamp start = kv::timo_now();
    EXPECT_EQ(ipc::recv(*t.client, buffer, length), ipc::IPC_TIMEOUT);
    const int64_t elapsed = kv::timo_elapsed_ms(start, kv::timo_now());
    EXPECT_GE(elapsed, 900);
    EXPECT_LT(elapsed, 3000);

    // A used-up budget never waits: what is already there can still be taken,
    // anything else fails at once.
    t.client->budget = kv::TIMO_EXPIRED;
    length = 2;
    ASSERT_EQ(ipc::send(*t.peer, "ok", length), ipc::IPC_OK);
    length = 2;
    EXPECT_EQ(ipc::recv(*t.client, buffer, length), ipc::IPC_OK);
    length = 2;
    const kv::timo_stamp again = kv::timo_now();
    EXPECT_EQ(ipc::recv(*t.client, buffer, length), ipc::IPC_TIMEOUT);
    EXPECT_LT(kv::timo_elapsed_ms(again, kv::timo_now()), 500);
}

TEST_F(Ipc, TimeoutInTheMiddleOfATransferNamesTheCounts) {
    kvtest::log_capture logged;
    kvtest::channel_pair t = connect("unix", 1);
    ASSERT_TRUE(t.client && t.peer);
    size_t length = 3;
    ASSERT_EQ(ipc::send(*t.peer, "abc", length), ipc::IPC_OK);
    char buffer[8];
    length = sizeof buffer;
    EXPECT_EQ(ipc::recv(*t.client, buffer, length), ipc::IPC_TIMEOUT);
    EXPECT_EQ(length, 3u);
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: ipc: recv 3 bytes (need 8 bytes) - errorcode[-13]")) << logged.dump();
}

TEST_F(Ipc, RecvAllCollectsUntilThePeerClosesWithinItsLimit) {
    for (uint32_t limit : {0u, 5000u}) {
        kvtest::log_capture logged;
        kvtest::channel_pair t = connect("unix", 5);
        ASSERT_TRUE(t.client && t.peer);
        const std::string message(10000, 'r');
        size_t length = message.size();
        ASSERT_EQ(ipc::send(*t.peer, message.data(), length), ipc::IPC_OK);
        ASSERT_EQ(ipc::delete_channel(t.peer), ipc::IPC_OK);
        std::string data;
        if (limit == 0) {
            EXPECT_EQ(ipc::recv_all(*t.client, data, limit), ipc::IPC_OK);
            EXPECT_EQ(data, message);
            EXPECT_TRUE(logged.has(kv::Verbose, "kvlib: ipc: recv_all: connection closed"));
        } else {
            EXPECT_EQ(ipc::recv_all(*t.client, data, limit), ipc::IPC_SIGNAL);
            EXPECT_LT(data.size(), limit);
        }
        ASSERT_EQ(ipc::delete_channel(t.server), ipc::IPC_OK);
    }
}

TEST_F(Ipc, ServerStatesAndTheSocketFile) {
    kvtest::log_capture logged;
    kvtest::channel_pair t = connect("unix", 5);
    ASSERT_TRUE(t.server);
    const std::string path = dir / "ipc.sock";
    EXPECT_TRUE(kvtest::file_exists(path));
    EXPECT_EQ(ipc::bind(*t.server), ipc::IPC_ALREADY);
    EXPECT_EQ(ipc::listen(*t.server, 5), ipc::IPC_ALREADY);
    EXPECT_EQ(ipc::connect(*t.server), ipc::IPC_STATE);
    std::unique_ptr<ipc::channel> none;
    EXPECT_EQ(ipc::accept(*t.client, none, 5), ipc::IPC_STATE);
    EXPECT_EQ(ipc::set_nodelay(*t.client, 1), 1);
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: ipc::set_nodelay for non-tcp socket ignored"));
    EXPECT_EQ(t.peer->remote.text.rfind("local:", 0), 0u);
    EXPECT_EQ(ipc::delete_control(t.server), 1);
    EXPECT_FALSE(kvtest::file_exists(path));  // a deleted server takes its socket file along
}

TEST_F(Ipc, ClientToNowhereIsNone) {
    kvtest::log_capture logged;
    EXPECT_FALSE(ipc::create_client("local:" + (dir / "absent.sock"), 1, 0));
    EXPECT_FALSE(ipc::create_client("inet:3000", 1, 0));
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: ipc::create  client ipc to local:" + (dir / "absent.sock")));
}

namespace {

// A UNIX server whose listen queue holds one connection, and that connection:
// the queue is full until the server accepts.
struct full_queue {
    explicit full_queue(const std::string& path) : spec("local:" + path) {
        server = ipc::create_server(spec, 5, 1, 0);
        if (server) filler = ipc::create_client(spec, 5, 1);
    }
    std::string spec;
    std::unique_ptr<ipc::channel> server, filler;
};

}  // namespace

TEST_F(Ipc, AFullListenQueueIsTriedAgainUntilTheServerAccepts) {
    for (int seconds : {5, 0}) {  // within a budget, and without one
        full_queue queue(dir / ("queue" + std::to_string(seconds)));
        ASSERT_TRUE(queue.server && queue.filler) << seconds;
        kvtest::log_capture logged;
        std::unique_ptr<ipc::channel> client;
        int64_t took = -1;
        std::thread connecting([&] {
            const kv::timo_stamp begin = kv::timo_now();
            client = ipc::create_client(queue.spec, seconds, 1);
            took = kv::timo_elapsed_ms(begin, kv::timo_now());
        });
        // Drain the queue only once the client has found it full.
        const bool waited =
            logged.wait_for("kvlib: fd: connect() - listen queue of the peer is full, trying again", 5000);
        std::unique_ptr<ipc::channel> first, second;
        EXPECT_EQ(ipc::accept(*queue.server, first, 5), ipc::IPC_OK);
        connecting.join();
        ASSERT_TRUE(waited) << logged.dump();
        ASSERT_TRUE(client) << seconds << "\n" << logged.dump();
        EXPECT_LT(took, 5000);
        if (seconds != 0) {
            EXPECT_GT(client->budget, 0);
            EXPECT_LE(client->budget, seconds * 1000 - took + 1);  // the retries were paid from the budget
        } else {
            EXPECT_EQ(client->budget, kv::TIMO_INFINITE);
        }
        EXPECT_TRUE(logged.contains("kvlib: fd: connect() done after ")) << logged.dump();
        EXPECT_FALSE(logged.contains("failed")) << logged.dump();

        // The client that waited is really connected.
        ASSERT_EQ(ipc::accept(*queue.server, second, 5), ipc::IPC_OK);
        ASSERT_TRUE(kvtest::send_raw(*client, "hi"));
        EXPECT_EQ(kvtest::recv_raw(*second, 2), "hi");
    }
}

TEST_F(Ipc, AListenQueueThatStaysFullUsesUpTheBudget) {
    full_queue queue(dir / "queue");
    ASSERT_TRUE(queue.server && queue.filler);
    kvtest::log_capture logged;
    const kv::timo_stamp begin = kv::timo_now();
    EXPECT_FALSE(ipc::create_client(queue.spec, 1, 1));
    const int64_t took = kv::timo_elapsed_ms(begin, kv::timo_now());
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 2000);
    const std::vector<std::pair<int, std::string>> lines = logged.lines();
    const auto failure = std::find_if(lines.begin(), lines.end(), [](const auto& line) {
        return line.second.rfind("kvlib: fd: connect() failed - listen queue of the peer stayed full for ", 0) == 0;
    });
    ASSERT_NE(failure, lines.end()) << logged.dump();
    EXPECT_EQ(failure->first, kv::Errors);
    long long ms = 0;
    int attempts = 0;
    ASSERT_EQ(sscanf(failure->second.c_str(),
                     "kvlib: fd: connect() failed - listen queue of the peer stayed full for %lld ms (%d attempts)", &ms,
                     &attempts),
              2)
        << failure->second;
    EXPECT_GE(ms, 1000);
    EXPECT_GT(attempts, 5);               // short pauses at first...
    EXPECT_LT(attempts, 1000 / 50 + 10);  // ...that grow to a cap
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: unix: connect() to " + (dir / "queue") + " failed"));
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: ipc: timeout expired"));
}
