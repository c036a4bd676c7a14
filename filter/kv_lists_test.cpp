// The unnotifiable viruses and addresses lists.
#include <gtest/gtest.h>

#include "kv_addresses.h"
#include "kv_viruses.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

kv::strings names(std::initializer_list<const char*> items) {
    kv::strings list;
    for (const char* item : items) list.add(item);
    return list;
}

}  // namespace

TEST(VirusesList, FlagsPerPartyAndFirstMatchingNameDecides) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "v.list", "deny allow allow eicar\nallow deny deny ^Worm\n");
    auto list = kv::viruses_load((dir / "v.list").c_str(), false);
    ASSERT_TRUE(list);
    kv::strings eicar = names({"EICAR-Test-File"});
    EXPECT_EQ(kv::viruses_notify(list.get(), &eicar, kv::NOTIFY_ADMIN), 0);
    EXPECT_EQ(kv::viruses_notify(list.get(), &eicar, kv::NOTIFY_SENDER), 1);
    EXPECT_EQ(kv::viruses_notify(list.get(), &eicar, kv::NOTIFY_RCPTS), 1);
    EXPECT_EQ(kv::viruses_quarantine(list.get(), &eicar), 1);
    kv::strings several = names({"Other", "Worm.X", "eicar"});
    EXPECT_EQ(kv::viruses_notify(list.get(), &several, kv::NOTIFY_ADMIN), 1);  // Worm.X decides
    EXPECT_EQ(kv::viruses_notify(list.get(), &several, kv::NOTIFY_SENDER), 0);
    kv::strings none = names({"Trojan"});
    EXPECT_EQ(kv::viruses_notify(list.get(), &none, kv::NOTIFY_ADMIN), 1);
    EXPECT_EQ(kv::viruses_notify(nullptr, &eicar, kv::NOTIFY_ADMIN), 1);
    EXPECT_EQ(kv::viruses_notify(list.get(), nullptr, kv::NOTIFY_ADMIN), 1);
}

TEST(VirusesList, QuarantineRefusedWhenAnyNameIsDenied) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "v.list", "[version=2]\nallow allow allow allow eicar\nallow allow allow deny worm\n");
    auto list = kv::viruses_load((dir / "v.list").c_str(), false);
    ASSERT_TRUE(list);
    kv::strings one = names({"eicar"});
    kv::strings both = names({"eicar", "WORM.A"});
    EXPECT_EQ(kv::viruses_quarantine(list.get(), &one), 1);
    EXPECT_EQ(kv::viruses_quarantine(list.get(), &both), 0);
    EXPECT_EQ(kv::viruses_quarantine(nullptr, &both), 1);
}

TEST(VirusesList, BadFilesAreRefusedWhole) {
    struct bad_case {
        std::string content;
        std::vector<std::string> messages;
    };
    const bad_case cases[] = {
        {"[version=2]\ndeny allow allow eicar\n", {"virus: wrong line(2)", "virus: wrong line 2 : deny allow allow eicar"}},
        {"deny allow\n", {"virus: wrong line(1)", "virus: wrong line 1 : deny allow"}},
        {"deny allow allow\n", {"virus: wrong line(1)", "virus: wrong line 1 : deny allow allow"}},
        {"[version=3]\nallow allow allow x\n", {"virus: wrong 3 version of file"}},
        {"allow allow allow a(\n", {"virus: wrong line 1 : allow allow allow a("}},
        // The 128-byte line buffer: the rest of a long line is a rule line of its own.
        {"allow allow allow " + std::string(150, 'x') + "\n", {"virus: wrong line(2)"}},
    };
    for (const bad_case& c : cases) {
        kvtest::temp_dir dir;
        kvtest::write_file(dir / "v.list", c.content);
        kvtest::log_capture logged;
        EXPECT_FALSE(kv::viruses_load((dir / "v.list").c_str(), false)) << c.content;
        for (const std::string& message : c.messages) EXPECT_TRUE(logged.has(kv::Errors, message)) << logged.dump();
        EXPECT_TRUE(logged.has(kv::Errors, "virus: error loading viruses list from filename " + (dir / "v.list")));
    }
}

TEST(AddressesList, InvertedPatternAndFirstHitStopsWalk) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "a.list", "to !internal\nfrom .*\nany \"!bang\"\n");
    auto list = kv::maddr_load((dir / "a.list").c_str(), false);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->entries.size(), 3u);
    EXPECT_EQ(list->entries[2].pattern, "!bang");
    EXPECT_EQ(list->entries[2].inverted, 0);
    kvtest::log_capture logged;
    EXPECT_EQ(kv::maddr_check(list.get(), "user@example.org", 2), 0);
    EXPECT_TRUE(logged.has(kv::Verbose, "maddr: address user@example.org is matched to inverse RE internal"));
    // The same hit for a sender: role "to" does not cover it, and the walk stops.
    EXPECT_EQ(kv::maddr_check(list.get(), "user@example.org", 1), 1);
    // internal addresses fall through to the "from .*" line.
    EXPECT_EQ(kv::maddr_check(list.get(), "boss@INTERNAL.example", 1), 0);
    EXPECT_EQ(kv::maddr_check(list.get(), "boss@internal.example", 2), 1);
    EXPECT_EQ(kv::maddr_check(nullptr, "x", 2), 1);
}

TEST(AddressesList, BadFilesAreRefusedWhole) {
    struct bad_case {
        const char* content;
        const char* message;
    };
    const bad_case cases[] = {
        {"[version=2]\nto x\n", "maddr: wrong 2 version of file"},
        {"to x\nbcc y\n", "maddr: wrong line(2)"},
        {"to \n", "maddr: wrong line(1)"},
        {"to !\n", "maddr: wrong line(1)"},
        {"[versio=1]\n", "maddr: parse version token - wrong line(1) [versio=1]"},
    };
    for (const bad_case& c : cases) {
        kvtest::temp_dir dir;
        kvtest::write_file(dir / "a.list", c.content);
        kvtest::log_capture logged;
        EXPECT_FALSE(kv::maddr_load((dir / "a.list").c_str(), false)) << c.content;
        EXPECT_TRUE(logged.has(kv::Errors, c.message)) << logged.dump();
        EXPECT_TRUE(logged.has(kv::Errors, "maddr: error load addresses list from filename " + (dir / "a.list")));
    }
}

TEST(Lists, PrintAtVerboseOnly) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "v.list", "[version=2]\ndeny allow allow deny eicar\n");
    kvtest::write_file(dir / "a.list", "to !internal\nany postmaster\n");
    auto viruses = kv::viruses_load((dir / "v.list").c_str(), false);
    auto addresses = kv::maddr_load((dir / "a.list").c_str(), false);
    kvtest::log_capture logged;
    kv::viruses_print(viruses.get(), kv::Info);
    kv::maddr_print(addresses.get(), kv::Info);
    EXPECT_TRUE(logged.lines().empty());
    kv::viruses_print(viruses.get(), kv::Debug);
    kv::maddr_print(addresses.get(), kv::Debug);
    EXPECT_TRUE(logged.has(kv::Verbose, "virus: eicar deny allow allow deny"));
    EXPECT_TRUE(logged.has(kv::Verbose, "maddr: not internal to"));
    EXPECT_TRUE(logged.has(kv::Verbose, "maddr: postmaster any"));
}
