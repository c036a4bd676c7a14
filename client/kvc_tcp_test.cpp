#include "kvc_tcp.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "kvc_log.h"
#include "test_util.h"

TEST(Tcp, PortTexts) {
    struct row {
        const char* port;
        int ok;
        int expected;
    };
    const row rows[] = {
        {"3000", 1, 3000},
        {"0", 1, 0},
        {"25abc", 1, 25},   // text after the digits is ignored
        {"smtp", 1, 25},    // a service name
        {"65535", 1, 65535},
        {"65536", 0, 0},    // would not fit the socket address
        {"-1", 0, 0},
        {"2147483648", 0, 0},
        {"99999999999999999999", 0, 0},
        {"no-such-service", 0, 0},
    };
    ASSERT_EQ(kv::tcp_init(), kv::SOCK_OK);
    for (const row& r : rows) {
        kvtest::log_capture logged;
        sockaddr_in address{};
        EXPECT_EQ(kv::tcp_make_address("127.0.0.1", r.port, address, 1), r.ok) << r.port;
        if (r.ok) {
            EXPECT_EQ(ntohs(address.sin_port), r.expected) << r.port;
            EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        } else {
            EXPECT_TRUE(logged.has(kv::Errors, "kvlib: tcp: invalid port specified")) << r.port << logged.dump();
        }
    }
    EXPECT_EQ(kv::tcp_deinit(), kv::SOCK_OK);
}

TEST(Tcp, ResolvingLiteralsNamesAndNothing) {
    ASSERT_EQ(kv::tcp_init(), kv::SOCK_OK);
    kvtest::log_capture logged;
    sockaddr_in address{};
    EXPECT_EQ(kv::tcp_resolve(address, "10.1.2.3", 0), kv::SOCK_OK);
    EXPECT_EQ(address.sin_addr.s_addr, inet_addr("10.1.2.3"));
    EXPECT_FALSE(logged.contains("call resolver"));  // no look-up for a literal

    EXPECT_EQ(kv::tcp_resolve(address, "localhost", 0), kv::SOCK_NOT_RESOLVED);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: tcp: inet_addr(localhost) failed"));
    EXPECT_EQ(kv::tcp_resolve(address, "localhost", 1), kv::SOCK_OK);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    EXPECT_EQ(kv::tcp_resolve(address, "", 1), kv::SOCK_EMPTY_NAME);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: tcp: empty name passed to resolver"));
    EXPECT_EQ(kv::tcp_resolve(address, "no-such-host.invalid", 1), kv::SOCK_NOT_RESOLVED);
    EXPECT_TRUE(logged.contains("kvlib: tcp: gethostbyname() error : "));

    // Without resolving, the host is not looked at and the address stays the wildcard.
    EXPECT_EQ(kv::tcp_make_address("no-such-host.invalid", "3000", address, 0), 1);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(kv::tcp_make_address("no-such-host.invalid", "3000", address, 1), 0);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: tcp: cannot resolve no-such-host.invalid hostname"));
    EXPECT_EQ(kv::tcp_deinit(), kv::SOCK_OK);
}

TEST(Tcp, ClosingAnEmptySlotIsHarmless) {
    kvtest::log_capture logged;
    kv::unique_fd slot;
    ASSERT_EQ(kv::tcp_create(slot, 0), kv::SOCK_OK);
    EXPECT_EQ(kv::tcp_close(slot), kv::SOCK_OK);
    EXPECT_FALSE(slot.valid());
    EXPECT_EQ(kv::tcp_close(slot), kv::SOCK_OK);
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: tcp: close() failed - closed socket"));
}
