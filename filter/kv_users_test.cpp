#include "kv_users.h"

#include <gtest/gtest.h>

#include "kvc_log.h"
#include "test_util.h"

namespace {

std::unique_ptr<kv::users_list> load(const kvtest::temp_dir& dir, const std::string& content) {
    kvtest::write_file(dir / "deny.list", content);
    return kv::users_load((dir / "deny.list").c_str(), false);
}

struct check_case {
    const char* address;
    int role;
    int deny_by_default;
    int expected;
};

void expect_checks(const kv::users_list* list, std::initializer_list<check_case> cases) {
    for (const check_case& c : cases) {
        EXPECT_EQ(kv::users_check(list, c.address, c.role, c.deny_by_default), c.expected)
            << c.address << " role " << c.role << " dbd " << c.deny_by_default;
    }
}

}  // namespace

TEST(DenyList, VersionOneSubstringForAnyRoleAndFirstMatchWins) {
    kvtest::temp_dir dir;
    auto list = load(dir, "# comment\n\n   deny spam\nallow ok\ndeny ok\n");
    ASSERT_TRUE(list);
    expect_checks(list.get(), {
                                  {"spam-ok@x", kv::ROLE_FROM, 0, 0},
                                  {"spam@x", kv::ROLE_TO, 0, 0},
                                  {"SPAM@x", kv::ROLE_TO, 1, 0},  // case-sensitive: no match, default
                                  {"ok@x", kv::ROLE_FROM, 1, 1},
                                  {"nobody@x", kv::ROLE_TO, 0, 1},
                                  {"nobody@x", kv::ROLE_TO, 1, 0},
                              });
}

TEST(DenyList, VersionTwoRolesAndComparisons) {
    kvtest::temp_dir dir;
    auto list = load(dir,
                     "[VERSION = 2]\n"
                     "deny from regex ^root\n"
                     "deny to cregex ^admin\n"
                     "ALLOW TO EXACT x@y\n"
                     "denyany subst \"a b\"\n"
                     "deny any exact x@y\n");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->entries.size(), 5u);
    EXPECT_EQ(list->entries[3].pattern, "a b");
    expect_checks(list.get(), {
                                  {"ROOT@host", kv::ROLE_FROM, 0, 0},
                                  {"root@host", kv::ROLE_TO, 0, 1},
                                  {"admin@host", kv::ROLE_TO, 0, 0},
                                  {"Admin@host", kv::ROLE_TO, 0, 1},
                                  {"x@y", kv::ROLE_TO, 0, 1},    // allow line comes first
                                  {"x@y", kv::ROLE_FROM, 0, 0},  // only the any line applies
                                  {"1a b2", kv::ROLE_FROM, 0, 0},
                              });
}

TEST(DenyList, PrintShowsEveryEntryAtVerbose) {
    kvtest::temp_dir dir;
    auto list = load(dir, "[version=2]\nallow from exact a\ndeny any regex b.*\n");
    ASSERT_TRUE(list);
    kvtest::log_capture logged;
    kv::users_print(list.get(), kv::Info);
    EXPECT_TRUE(logged.lines().empty());
    kv::users_print(list.get(), kv::Verbose);
    EXPECT_TRUE(logged.has(kv::Verbose, "users: --- print DenyList: <on/off> <where> <cmp> <user> ---"));
    EXPECT_TRUE(logged.has(kv::Verbose, "users: allow from exact a"));
    EXPECT_TRUE(logged.has(kv::Verbose, "users: deny any regex b.*"));
}

TEST(DenyList, EveryBadFileIsRefusedWholeWithItsMessage) {
    struct bad_case {
        const char* content;
        const char* message;
    };
    const bad_case cases[] = {
        {"[ version=2]\nallow a\n", "users: parse version token - wrong line(1) [ version=2]"},
        {"[version 2]\nallow a\n", "users: parse version - wrong line(1) [version 2]"},
        {"[version=2x]\n", "users: parse version number - wrong line(1) [version=2x]"},
        {"[version=18446744073709551615]\n", "users: parse version number - wrong line(1) [version=18446744073709551615]"},
        {"[version=3]\nallow a\n", "users: wrong 3 version of file"},
        {"[version=]\nallow a\n", "users: wrong 0 version of file"},
        {"allow a\nallow b\npermit c\n", "users: wrong line(3)"},
        {"allow a\n[version=2]\n", "users: wrong line(2)"},
        {"[version=2]\nallow from regex a\nallow somebody exact b\n", "users: wrong line(3)"},
        {"[version=2]\nallow from exact\n", "users: wrong line(2)"},
        {"deny \"\"\n", "users: wrong line(1)"},
        {"[version=2]\ndeny any regex (unclosed\n", nullptr},
        {"\x7f\x45\x4c\x46\x02\x01\x01\x00\xff\xfe\n", "users: wrong line(1)"},
    };
    for (const bad_case& c : cases) {
        kvtest::temp_dir dir;
        kvtest::log_capture logged;
        EXPECT_FALSE(load(dir, c.content)) << c.content;
        if (c.message != nullptr) EXPECT_TRUE(logged.has(kv::Errors, c.message)) << logged.dump();
        else EXPECT_TRUE(logged.contains("cannot compile regular expression ((unclosed) - ")) << logged.dump();
        EXPECT_TRUE(logged.has(kv::Errors, "users: error load users list from filename " + (dir / "deny.list")));
    }
}

TEST(DenyList, VersionHeaderWithCommentsOnlyLoadsEmptyList) {
    kvtest::temp_dir dir;
    auto list = load(dir, "[version=3]\n# nothing\n");
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->entries.empty());
    expect_checks(list.get(), {{"a", kv::ROLE_FROM, 0, 1}, {"a", kv::ROLE_FROM, 1, 0}});
}

TEST(DenyList, MissingFileAndDirectoryAreRefused) {
    kvtest::temp_dir dir;
    kvtest::log_capture logged;
    EXPECT_FALSE(kv::users_load((dir / "absent").c_str(), false));
    EXPECT_TRUE(logged.has(kv::Errors, "users: cannot open file " + (dir / "absent") + " - No such file or directory"));
    EXPECT_FALSE(kv::users_load(dir.path().c_str(), false));
    EXPECT_FALSE(kv::users_load("/dev/zero", false));
}

TEST(DenyList, LargeListLoadsAndAnswers) {
    kvtest::temp_dir dir;
    std::string content = "[version=2]\n";
    for (int i = 0; i < 100000; ++i) content += "deny to exact user" + std::to_string(i) + "@example.org\n";
    auto list = load(dir, content);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->entries.size(), 100000u);
    expect_checks(list.get(), {{"user99999@example.org", kv::ROLE_TO, 0, 0}, {"user99999@example.org", kv::ROLE_FROM, 0, 1}});
}
