// The [Milter] section: defaults, every key, bad values; and the pipe filter
// reading a file that has one.
#include <gtest/gtest.h>

#include "config_builder.h"
#include "kv_options.h"
#include "kvm_settings.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

TEST(MilterSettings, DefaultsWithoutTheSection) {
    kvtest::temp_dir dir;
    kvtest::config_builder builder;
    kv::milter::runtime_config config;
    ASSERT_EQ(kv::milter::load_milter_config(builder.write(dir / "k.conf").c_str(), config), 1);
    EXPECT_EQ(config.milter.socket, "unix:/run/kerval/milter.sock");
    EXPECT_EQ(config.milter.socket_mode, 0660);
    EXPECT_FALSE(config.milter.socket_group);
    EXPECT_EQ(config.milter.timeout, 300);
    EXPECT_EQ(config.milter.pid_file, "/run/kerval/kerval-milter.pid");
    EXPECT_FALSE(config.milter.user);
    EXPECT_FALSE(config.milter.group);
    EXPECT_EQ(config.milter.foreground, 0);
    EXPECT_EQ(config.milter.add_header, 1);
    EXPECT_EQ(config.milter.quarantine_to_hold, 0);
}

TEST(MilterSettings, EveryKeyIsRead) {
    kvtest::temp_dir dir;
    kvtest::config_builder builder;
    for (const char* line : {"Socket = inet:8899@127.0.0.1", "SocketMode = 0600", "SocketGroup = postfix",
                             "Timeout = 30", "PidFile = /tmp/m.pid", "User = kvfilter", "Group = kvgroup",
                             "Foreground = yes", "AddHeader = no", "QuarantineToHold = yes"})
        builder.set("Milter", line);
    kv::milter::runtime_config config;
    ASSERT_EQ(kv::milter::load_milter_config(builder.write(dir / "k.conf").c_str(), config), 1);
    EXPECT_EQ(config.milter.socket, "inet:8899@127.0.0.1");
    EXPECT_EQ(config.milter.socket_mode, 0600);
    EXPECT_EQ(config.milter.socket_group, "postfix");
    EXPECT_EQ(config.milter.timeout, 30);
    EXPECT_EQ(config.milter.pid_file, "/tmp/m.pid");
    EXPECT_EQ(config.milter.user, "kvfilter");
    EXPECT_EQ(config.milter.group, "kvgroup");
    EXPECT_EQ(config.milter.foreground, 1);
    EXPECT_EQ(config.milter.add_header, 0);
    EXPECT_EQ(config.milter.quarantine_to_hold, 1);
}

TEST(MilterSettings, BadValuesStopTheLoadingWithTheirLine) {
    const struct {
        const char* line;
        const char* logged;
    } cases[] = {
        {"Socket = /run/kerval/milter.sock", "read section Milter: invalid socket /run/kerval/milter.sock (unix:/path or inet:port@host)"},
        {"Socket = inet:70000@localhost", "read section Milter: invalid socket inet:70000@localhost (unix:/path or inet:port@host)"},
        {"Socket = unix:relative", "read section Milter: invalid socket unix:relative (unix:/path or inet:port@host)"},
        {"Timeout = 0", "read section Milter: Timeout must be at least 1 second"},
        {"SocketMode = 01777", "read section Milter: access mask 01777 is invalid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        kvtest::temp_dir dir;
        kvtest::config_builder builder;
        builder.set("Milter", c.line);
        kvtest::log_capture logged;
        kv::milter::runtime_config config;
        EXPECT_EQ(kv::milter::load_milter_config(builder.write(dir / "k.conf").c_str(), config), 0);
        EXPECT_TRUE(logged.has(kv::Errors, c.logged)) << logged.dump();
        EXPECT_EQ(config.milter.socket, "unix:/run/kerval/milter.sock");
    }
}

TEST(MilterSettings, SocketForms) {
    for (const char* good : {"unix:/a/b.sock", "local:/x", "inet:1@h", "inet:65535@127.0.0.1", "inet6:25@::1",
                             "inet:8899"})
        EXPECT_TRUE(kv::milter::valid_socket(good)) << good;
    for (const char* bad : {"", "unix:", "unix:/", "inet:", "inet:0@h", "inet:x@h", "inet:25@", "tcp:25@h"})
        EXPECT_FALSE(kv::milter::valid_socket(bad)) << bad;
}

TEST(MilterSettings, ThePipeFilterReadsAFileWithTheSection) {
    kvtest::temp_dir dir;
    kvtest::config_builder builder;
    builder.set("Milter", "Socket = not a socket at all").set("Milter", "QuarantineToHold = yes");
    kvtest::log_capture logged;
    kv::filter_config config;
    EXPECT_EQ(kv::read_config_file(builder.write(dir / "k.conf").c_str(), config), 1) << logged.dump();
    EXPECT_FALSE(logged.contains("unknown section")) << logged.dump();
}

}  // namespace
