#include "kvc_unix.h"

#include <errno.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "kvc_log.h"
#include "test_util.h"

namespace {

// A UNIX socket bound to path (listening when asked), as a server would leave it.
kv::unique_fd bound_socket(const std::string& path, bool listening) {
    kv::unique_fd fd;
    EXPECT_EQ(kv::unix_create(fd, 0), kv::SOCK_OK);
    sockaddr_un address;
    kv::unix_make_address(path, address);
    EXPECT_EQ(kv::unix_bind(fd.get(), address), kv::SOCK_OK);
    if (listening) {
        EXPECT_EQ(kv::unix_listen(fd.get(), 5), kv::SOCK_OK);
    }
    return fd;
}

}  // namespace

TEST(Unix, LongPathIsCutTo103Characters) {
    kvtest::log_capture logged;
    const std::string path = "/" + std::string(119, 'p');
    sockaddr_un address;
    EXPECT_EQ(kv::unix_make_address(path, address), 1);
    EXPECT_EQ(std::string(address.sun_path), path.substr(0, 103));
    EXPECT_EQ(address.sun_family, AF_UNIX);
    EXPECT_TRUE(logged.contains("is longer than 103 characters and was cut"));
}

TEST(Unix, StalledSocketFileIsRemovedAndBoundAgain) {
    kvtest::temp_dir dir;
    const std::string path = dir / "stale.sock";
    bound_socket(path, false);  // closed at once: the file stays behind, nobody listens
    ASSERT_TRUE(kvtest::file_exists(path));

    kvtest::log_capture logged;
    kv::unique_fd server = bound_socket(path, true);
    EXPECT_TRUE(logged.has(kv::Alerts, "kvlib: unix: stalled socket " + path + " has been detected and was removed"))
        << logged.dump();
}

TEST(Unix, LiveServerSocketAndOrdinaryFilesAreNeverRemoved) {
    kvtest::temp_dir dir;
    const std::string live = dir / "live.sock";
    kv::unique_fd server = bound_socket(live, true);
    const std::string plain = dir / "plain";
    kvtest::write_file(plain, "keep me");

    for (const std::string& path : {live, plain}) {
        kvtest::log_capture logged;
        kv::unique_fd fd;
        ASSERT_EQ(kv::unix_create(fd, 0), kv::SOCK_OK);
        sockaddr_un address;
        kv::unix_make_address(path, address);
        EXPECT_EQ(kv::unix_bind(fd.get(), address), kv::SOCK_FAILED) << path;
        EXPECT_TRUE(kvtest::file_exists(path));
        if (path == live) {
            EXPECT_TRUE(logged.has(kv::Alerts, "kvlib: unix: cannot bind " + path + " - socket is used"));
        } else {
            EXPECT_TRUE(logged.contains("kvlib: unix: stalled socket " + path + " has been detected and was not removed"));
        }
    }
    EXPECT_EQ(kvtest::read_file(plain), "keep me");
}

TEST(Unix, CloseRemovesTheSocketFileOnlyWhenAsked) {
    kvtest::temp_dir dir;
    for (int remove : {0, 1}) {
        const std::string path = dir / kvtest::join({"s", std::to_string(remove)});
        kv::unique_fd fd = bound_socket(path, true);
        sockaddr_un address;
        kv::unix_make_address(path, address);
        EXPECT_EQ(kv::unix_close(fd, address, remove), kv::SOCK_OK);
        EXPECT_FALSE(fd.valid());
        EXPECT_EQ(kvtest::file_exists(path), remove == 0);
        EXPECT_EQ(kv::unix_close(fd, address, remove), kv::SOCK_OK);  // empty slot
    }
}

TEST(Unix, ConnectToAMissingSocketLogsThePath) {
    kvtest::temp_dir dir;
    kvtest::log_capture logged;
    kv::unique_fd fd;
    ASSERT_EQ(kv::unix_create(fd, 0), kv::SOCK_OK);
    sockaddr_un address;
    kv::unix_make_address(dir / "absent.sock", address);
    EXPECT_EQ(kv::unix_connect(fd.get(), address, 1000), kv::SOCK_FAILED);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: unix: connect() to " + (dir / "absent.sock") + " failed"));
}
