#include "kvc_fd.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kvc_timo.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

struct socket_pair {
    socket_pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        a.reset(fds[0]);
        b.reset(fds[1]);
    }
    kv::unique_fd a, b;
};

}  // namespace

TEST(Fd, RecvFromAClosedPeerReportsClosedWithAndWithoutTimeout) {
    for (int timeout : {kv::WAIT_FOREVER, 500}) {
        kvtest::log_capture logged;
        socket_pair pair;
        ASSERT_EQ(pair.b.close(), 0);
        char buffer[16];
        size_t length = sizeof buffer;
        EXPECT_EQ(kv::fd_recv(pair.a.get(), buffer, length, timeout), kv::SOCK_CLOSED) << timeout;
        EXPECT_EQ(length, 0u);
        EXPECT_TRUE(logged.contains("connection closed by remote side")) << logged.dump();
    }
}

TEST(Fd, RecvTakesWhatIsThereAndTimesOutWhenNothingComes) {
    kvtest::log_capture logged;
    socket_pair pair;
    ASSERT_EQ(write(pair.b.get(), "hello", 5), 5);
    char buffer[16];
    size_t length = sizeof buffer;
    ASSERT_EQ(kv::fd_recv(pair.a.get(), buffer, length, 1000), kv::SOCK_OK);
    EXPECT_EQ(std::string(buffer, length), "hello");

    length = sizeof buffer;
    const kv::timo_stamp start = kv::timo_now();
    EXPECT_EQ(kv::fd_recv(pair.a.get(), buffer, length, 100), kv::SOCK_TIMEOUT);
    const int64_t elapsed = kv::timo_elapsed_ms(start, kv::timo_now());
    EXPECT_GE(elapsed, 90);
    EXPECT_LT(elapsed, 2000);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: fd: wait for recv failed - timeout expired"));
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: fd: recv(16), readed=0 - wait failed")) << logged.dump();
}

TEST(Fd, SendWithTimeoutNeverBlocksOnAFullPeer) {
    // The peer reads nothing: the sends fill its buffer and the next one times out
    // instead of blocking, even though the socket itself is blocking.
    kvtest::log_capture logged;
    socket_pair pair;
    std::string chunk(65536, 'x');
    int result = kv::SOCK_OK;
    size_t total = 0;
    for (int i = 0; i < 1000 && result == kv::SOCK_OK; ++i) {
        size_t length = chunk.size();
        result = kv::fd_send(pair.a.get(), chunk.data(), length, 50);
        total += length;
    }
    EXPECT_EQ(result, kv::SOCK_TIMEOUT);
    EXPECT_GT(total, 0u);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: fd: wait for send failed - timeout expired"));
}

TEST(Fd, SendToAClosedPeerFailsWithoutKillingTheProcess) {
    kvtest::log_capture logged;
    socket_pair pair;
    ASSERT_EQ(pair.b.close(), 0);
    size_t length = 3;
    EXPECT_EQ(kv::fd_send(pair.a.get(), "abc", length, kv::WAIT_FOREVER), kv::SOCK_FAILED);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(logged.contains("kvlib: fd: send(3) failed - ")) << logged.dump();
}

TEST(Fd, ConnectToAPortWithoutListenerFailsInBothModes) {
    // A bound socket that does not listen owns a port nobody accepts on.
    kv::unique_fd holder(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(holder.get(), reinterpret_cast<sockaddr*>(&address), &size), 0);

    for (int timeout : {kv::WAIT_FOREVER, 1000}) {
        kvtest::log_capture logged;
        kv::unique_fd fd(socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(kv::fd_connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address, timeout),
                  kv::SOCK_FAILED)
            << timeout;
        EXPECT_EQ(errno, ECONNREFUSED);
        EXPECT_TRUE(logged.contains("kvlib: fd: connect() failed - ")) << logged.dump();
    }
}

TEST(Fd, UniqueFdClosesOnceAndReportsAFailedClose) {
    socket_pair pair;
    const int raw = pair.a.get();
    EXPECT_EQ(pair.a.close(), 0);
    EXPECT_FALSE(pair.a.valid());
    EXPECT_EQ(pair.a.close(), 0);  // closing an empty holder is harmless
    kv::unique_fd stale(raw);      // raw is no longer open
    EXPECT_EQ(stale.close(), -1);
    EXPECT_EQ(errno, EBADF);
}
