// The unnotifiable viruses and addresses lists.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "kv_addresses.h"
#include "kv_users.h"
#include "kv_viruses.h"
#include "kvc_conf.h"
#include "kvc_log.h"
#include "kvc_timo.h"
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
        // Lines are read whole up to the limit; a longer one is refused.
        {"allow allow allow " + std::string(kv::kConfLineMax, 'x') + "\n", {}},
    };
    for (const bad_case& c : cases) {
        kvtest::temp_dir dir;
        kvtest::write_file(dir / "v.list", c.content);
        kvtest::log_capture logged;
        EXPECT_FALSE(kv::viruses_load((dir / "v.list").c_str(), false)) << c.content;
        for (const std::string& message : c.messages) EXPECT_TRUE(logged.has(kv::Errors, message)) << logged.dump();
        EXPECT_TRUE(logged.has(kv::Errors, "virus: error loading viruses list from filename " + (dir / "v.list")));
    }
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "v.list", "allow allow allow " + std::string(150, 'x') + "\n");
    auto list = kv::viruses_load((dir / "v.list").c_str(), false);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->entries.at(0).pattern, std::string(150, 'x'));
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

// ---- regular expressions of all three lists ----

namespace {

// One list kind: a file with a single pattern line, and whether an address or
// virus name matches it.
struct list_kind {
    const char* name;
    const char* prefix;   // message prefix
    std::string header;   // lines before the pattern line
    std::string rule;     // the pattern line without its pattern
    std::function<std::optional<bool>(const std::string& path, const char* text)> load_and_match;
};

std::vector<list_kind> list_kinds() {
    auto deny = [](const std::string& path, const char* text) -> std::optional<bool> {
        auto list = kv::users_load(path.c_str(), false);
        if (!list) return std::nullopt;
        return kv::users_check(list.get(), text, kv::ROLE_FROM, 0) == 0;
    };
    auto viruses = [](const std::string& path, const char* text) -> std::optional<bool> {
        auto list = kv::viruses_load(path.c_str(), false);
        if (!list) return std::nullopt;
        kv::strings names;
        names.add(text);
        return kv::viruses_notify(list.get(), &names, kv::NOTIFY_ADMIN) == 0;
    };
    auto addresses = [](const std::string& path, const char* text) -> std::optional<bool> {
        auto list = kv::maddr_load(path.c_str(), false);
        if (!list) return std::nullopt;
        return kv::maddr_check(list.get(), text, 1) == 0;
    };
    return {
        {"deny regex", "users:", "[version=2]\n#\n", "deny from regex ", deny},
        {"deny cregex", "users:", "[version=2]\n#\n", "deny from cregex ", deny},
        {"viruses", "virus:", "[version=2]\n#\n", "deny allow allow allow ", viruses},
        {"addresses", "maddr:", "[version=1]\n#\n", "from ", addresses},
    };
}

}  // namespace

TEST(ListRegex, StackedQuantifiersCostBoundedTimeInEveryList) {
    for (const list_kind& kind : list_kinds()) {
        SCOPED_TRACE(kind.name);
        kvtest::temp_dir dir;
        kvtest::write_file(dir / "x.list", kind.header + kind.rule + "a" + std::string(22, '+') + "\n");
        const kv::timo_stamp start = kv::timo_now();
        EXPECT_EQ(kind.load_and_match(dir / "x.list", "xaay"), true);
        EXPECT_EQ(kind.load_and_match(dir / "x.list", "xyz"), false);
        EXPECT_LT(kv::timo_elapsed_ms(start, kv::timo_now()), 2000);
    }
}

TEST(ListRegex, RefusedPatternNamesTheFileAndTheLine) {
    struct refused_case {
        const char* pattern;
        const char* error;
    };
    for (const list_kind& kind : list_kinds()) {
        for (const refused_case& c : {refused_case{"(a)\\1", "invalid escape sequence: \\1"},
                                      {"x{1001}", "invalid repetition size: {1001}"},
                                      {"\\<word", "\\<, \\>, \\` and \\' are not supported"},
                                      {"(unclosed", "missing ): (unclosed"}}) {
            SCOPED_TRACE(std::string(kind.name) + " " + c.pattern);
            kvtest::temp_dir dir;
            kvtest::write_file(dir / "x.list", kind.header + kind.rule + c.pattern + "\n");
            kvtest::log_capture logged;
            EXPECT_EQ(kind.load_and_match(dir / "x.list", "a"), std::nullopt);
            EXPECT_TRUE(logged.has(kv::Errors, std::string("cannot compile regular expression (") + c.pattern +
                                                   ") - " + c.error))
                << logged.dump();
            EXPECT_TRUE(logged.has(kv::Errors, std::string(kind.prefix) + " regular expression refused in line 3 of " +
                                                   (dir / "x.list")))
                << logged.dump();
        }
    }
}

TEST(ListRegex, ExtendedSyntaxAndCaseRules) {
    struct syntax_case {
        const char* pattern;
        const char* text;
        bool icase_match;  // deny regex, viruses, addresses
        bool exact_case_match;  // deny cregex
    };
    for (const syntax_case& c : {
             syntax_case{"^root@", "ROOT@example.org", true, false},
             {"^root@", "root@example.org", true, true},
             {"^root@", "xroot@example.org", false, false},
             {"example\\.org$", "a@example.org", true, true},
             {"example\\.org$", "a@exampleXorg", false, false},
             {"^(a|b)[[:digit:]]{2,3}@", "b123@x", true, true},
             {"^(a|b)[[:digit:]]{2,3}@", "b1@x", false, false},
             {"[^[:alpha:]]", "abc", false, false},
             {"a.c", "a\xE9" "c", true, true},  // one byte is one character
             {"\\w+@\\S+", "a@b", true, true},
         }) {
        for (const list_kind& kind : list_kinds()) {
            SCOPED_TRACE(std::string(kind.name) + " " + c.pattern + " " + c.text);
            kvtest::temp_dir dir;
            kvtest::write_file(dir / "x.list", kind.header + kind.rule + c.pattern + "\n");
            const bool expected = std::string(kind.name) == "deny cregex" ? c.exact_case_match : c.icase_match;
            EXPECT_EQ(kind.load_and_match(dir / "x.list", c.text), expected);
        }
    }
}
