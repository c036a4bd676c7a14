#include "kvc_conf.h"

#include <gtest/gtest.h>

#include "kvc_log.h"
#include "test_util.h"

namespace {

// One section "Test" with a variable of each type, and an optional "Other".
struct test_record {
    int number = -1;
    int positive = -1;
    int flag = -1;
    int mode = -1;
    kv::conf_string text;
    kv::conf_string none;
    char fixed[8] = "";
    std::unique_ptr<kv::strings> list;
    int calls = 0;
    int cleanups = 0;
};

std::vector<kv::conf_var> test_vars(test_record& r) {
    return {
        kv::conf_int("Timeout", &r.number, 5),    kv::conf_uint("Count", &r.positive, 7),
        kv::conf_bool("Enabled", &r.flag, 1),     kv::conf_octal("Mode", &r.mode, 0600),
        kv::conf_str("Text", &r.text, "default"), kv::conf_str("None", &r.none),
        kv::conf_buf("Fixed", r.fixed, sizeof r.fixed, "abc"),
        kv::conf_list("Address", &r.list),
    };
}

struct fixture {
    kvtest::temp_dir dir;
    test_record record;
    test_record other;
    std::vector<kv::conf_task> tasks;

    fixture(bool other_optional = true) {
        tasks.push_back({"Test",
                         [this](FILE* s, int& line, const char* section) {
                             ++record.calls;
                             auto vars = test_vars(record);
                             return kv::read_section(s, line, section, vars) == 0 ? 1 : 0;
                         },
                         [this](const char*) { ++record.cleanups; }, false});
        tasks.push_back({"Other",
                         [this](FILE* s, int& line, const char* section) {
                             ++other.calls;
                             auto vars = test_vars(other);
                             return kv::read_section(s, line, section, vars) == 0 ? 1 : 0;
                         },
                         [this](const char*) { ++other.cleanups; }, other_optional});
    }
    int read(const std::string& content) {
        kvtest::write_file(dir / "test.conf", content);
        return kv::read_conf((dir / "test.conf").c_str(), tasks);
    }
    std::string path() const { return dir / "test.conf"; }
};

}  // namespace

TEST(ConfReader, DefaultsThenValuesOfEveryType) {
    fixture f;
    ASSERT_EQ(f.read("[Test]\n"), 0);
    EXPECT_EQ(f.record.number, 5);
    EXPECT_EQ(f.record.positive, 7);
    EXPECT_EQ(f.record.flag, 1);
    EXPECT_EQ(f.record.mode, 0600);
    EXPECT_EQ(f.record.text, "default");
    EXPECT_EQ(f.record.none, std::nullopt);
    EXPECT_STREQ(f.record.fixed, "abc");
    EXPECT_EQ(f.record.list, nullptr);

    fixture g;
    ASSERT_EQ(g.read("# comment\n[test]\n  timeout = -30 \nCOUNT=10abc\nenabled=\"Off\"\nMode=010644\n"
                     "Text = some text\nNone=\"quoted text\"\nFixed=\"a b\"\n"
                     "Address = inet:3000@127.0.0.1, ,local:\"/tmp/a b\",,\n"),
              0);
    EXPECT_EQ(g.record.number, -30);
    EXPECT_EQ(g.record.positive, 10);
    EXPECT_EQ(g.record.flag, 0);
    EXPECT_EQ(g.record.mode, 010644);
    EXPECT_EQ(g.record.text, "sometext");
    EXPECT_EQ(g.record.none, "quoted text");
    EXPECT_STREQ(g.record.fixed, "a b");
    ASSERT_TRUE(g.record.list);
    EXPECT_EQ(g.record.list->items(), (std::vector<std::string>{"inet:3000@127.0.0.1", "local:/tmp/a b"}));
}

TEST(ConfReader, EmptyStringAndLaterLineReplaces) {
    fixture f;
    ASSERT_EQ(f.read("[Test]\nText=\nAddress=a,b\nAddress=c\nTimeout=1\nTimeout=2\n"), 0);
    EXPECT_EQ(f.record.text, "");
    EXPECT_EQ(f.record.list->items(), std::vector<std::string>{"c"});
    EXPECT_EQ(f.record.number, 2);
}

TEST(ConfReader, UnknownVariablesAndSectionsAreSkipped) {
    fixture f;
    kvtest::log_capture logged;
    ASSERT_EQ(f.read("top=level\n[Test]\nTime_out=30\n[Nowhere]\nTimeout=1\n[Test2x]\n"), 0);
    EXPECT_TRUE(logged.has(kv::Verbose, "kvlib: read_section(Test): unknown variable Time_out in line 3"));
    EXPECT_TRUE(logged.has(kv::Info, "kvlib: read_conf(" + f.path() + "): unknown section Nowhere"));
    EXPECT_EQ(f.record.number, 5);     // the line under [Nowhere] is not read
    EXPECT_EQ(f.record.calls, 2);      // [Test2x] selects Test by its prefix
    EXPECT_TRUE(logged.has(kv::Info, "kvlib: read_conf(" + f.path() + "): successfully loaded"));
}

TEST(ConfReader, EmptySectionAndSectionReadTwice) {
    fixture f;
    ASSERT_EQ(f.read("[Test]\n[Other]\nTimeout=3\n[Test]\nCount=9\n"), 0);
    EXPECT_EQ(f.record.calls, 2);
    EXPECT_EQ(f.record.positive, 9);
    EXPECT_EQ(f.record.number, 5);  // the second occurrence starts from the defaults
    EXPECT_EQ(f.other.number, 3);
}

TEST(ConfReader, IllegalValuesFailTheFileAndReleaseWhatWasRead) {
    struct bad_case {
        const char* line;
        const char* message;
    };
    const bad_case cases[] = {
        {"Timeout=", "kvlib: read_section(Test): illegal value in line 3"},
        {"Timeout=\"30\"", "kvlib: read_section(Test): illegal value in line 3"},
        {"Timeout=99999999999", "kvlib: read_section(Test): illegal value in line 3"},
        {"Count=-1", "kvlib: read_section(Test): illegal value in line 3"},
        {"Count=4294967295", "kvlib: read_section(Test): illegal value in line 3"},
        {"Enabled=1", "kvlib: read_section(Test): illegal value in line 3"},
        {"Mode=9", "kvlib: read_section(Test): illegal value in line 3"},
        {"Fixed=12345678", "kvlib: read_section(Test): illegal value in line 3"},
        {"Timeout", "kvlib: read_section(Test): no separator (=) in line 3"},
        {"=5", "kvlib: read_section(Test): illegal line 3"},
        {"Time2=5", "kvlib: read_section(Test): no separator (=) in line 3"},
    };
    for (const bad_case& c : cases) {
        fixture f;
        kvtest::log_capture logged;
        EXPECT_EQ(f.read(std::string("[Other]\n[Test]\n") + c.line + "\nText=x\n"), -1) << c.line;
        EXPECT_TRUE(logged.has(kv::Errors, c.message)) << c.line << "\n" << logged.dump();
        EXPECT_TRUE(logged.has(kv::Info, "kvlib: read_conf(" + f.path() + "): error in section [Test]"));
        EXPECT_EQ(f.other.cleanups, 1) << c.line;   // the section already read is released
        EXPECT_FALSE(f.tasks[1].found);
        EXPECT_EQ(f.record.text, std::nullopt);      // the failing section released its own
    }
}

TEST(ConfReader, ObsoleteSectionsAndParameters) {
    {
        fixture f;
        kvtest::log_capture logged;
        EXPECT_EQ(f.read("[Test]\n[Submitter]\n"), -1);
        EXPECT_TRUE(logged.has(kv::Errors, "kvlib: read_conf(" + f.path() +
                                                "): section Submitter is obsolete - stop parsing, please read documentation"));
        EXPECT_EQ(f.record.cleanups, 1);
    }
    {
        fixture f;
        kvtest::log_capture logged;
        EXPECT_EQ(f.read("[mailbombnotifications]\n[Test]\n"), 0);
        EXPECT_TRUE(logged.has(kv::Alerts, "kvlib: read_conf(" + f.path() +
                                                "): section mailbombnotifications is obsolete - continue, but please read documentation"));
    }
    {
        // Parameters are obsolete per section: Location stops only in [Logging].
        kvtest::temp_dir dir;
        int level = 0;
        std::vector<kv::conf_task> tasks = {{"Logging",
                                             [&](FILE* s, int& line, const char* section) {
                                                 std::vector<kv::conf_var> vars = {kv::conf_int("Level", &level, 0)};
                                                 return kv::read_section(s, line, section, vars) == 0 ? 1 : 0;
                                             },
                                             nullptr, false}};
        kvtest::write_file(dir / "c", "[Logging]\nLocation = syslog\n");
        kvtest::log_capture logged;
        EXPECT_EQ(kv::read_conf((dir / "c").c_str(), tasks), -1);
        EXPECT_TRUE(logged.has(kv::Errors,
                               "kvlib: read_section(Logging): parameter Location is obsolete - stop parsing, please read documentation"));
    }
    {
        fixture f;
        kvtest::log_capture logged;
        EXPECT_EQ(f.read("[Test]\nLocation=x\n"), 0);
        EXPECT_TRUE(logged.has(kv::Verbose, "kvlib: read_section(Test): unknown variable Location in line 2"));
    }
}

TEST(ConfReader, MissingRequiredSectionFailsAfterReleasingTheOthers) {
    fixture f(false);
    kvtest::log_capture logged;
    EXPECT_EQ(f.read("[Test]\nTimeout=1\n"), -1);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: read_conf(" + f.path() + "): section [Other] missed"));
    EXPECT_EQ(f.record.cleanups, 1);
    EXPECT_FALSE(f.tasks[0].found);
}

TEST(ConfReader, LinesAreReadWholeUpToTheLimit) {
    // The tail of a long comment is still comment, however long the comment.
    const std::string tail = "Timeout = 9";
    for (size_t head : {1022u, 1023u, 1500u, 4096u, 65535u - 1u - 11u}) {
        fixture f;
        ASSERT_EQ(f.read("[Test]\n#" + std::string(head, 'x') + tail + "\nCount=3\n"), 0) << head;
        EXPECT_EQ(f.record.number, 5) << head;
        EXPECT_EQ(f.record.positive, 3) << head;
    }
    // A long value is read whole.
    fixture g;
    ASSERT_EQ(g.read("[Test]\nText=" + std::string(3000, 'a') + "\n"), 0);
    EXPECT_EQ(g.record.text, std::string(3000, 'a'));
    // Past the limit a line is an error naming the file and the line, inside a
    // section or before the first one.
    const std::string at_limit = "#" + std::string(kv::kConfLineMax - 1, 'x');
    for (const std::string& content : {"[Test]\nCount=1\n" + at_limit + "y\nTimeout=2\n",
                                       "\n\n" + at_limit + "y" + "\n[Test]\n"}) {
        fixture h;
        kvtest::log_capture logged;
        EXPECT_EQ(h.read(content), -1);
        EXPECT_TRUE(logged.has(kv::Errors, "kvlib: read_conf(" + h.path() + "): line 3 is longer than 65536 bytes"))
            << logged.dump();
        EXPECT_EQ(h.record.calls, 0);
    }
    fixture k;
    EXPECT_EQ(k.read("[Test]\n" + at_limit + "\n"), 0);
}

TEST(ConfReader, HostileFilesAreRefusedWithoutHanging) {
    kvtest::temp_dir dir;
    test_record record;
    std::vector<kv::conf_task> tasks = {{"Test",
                                         [&](FILE* s, int& line, const char* section) {
                                             auto vars = test_vars(record);
                                             return kv::read_section(s, line, section, vars) == 0 ? 1 : 0;
                                         },
                                         nullptr, false}};
    std::string garbage;
    for (int i = 0; i < 200000; ++i) garbage.push_back(static_cast<char>((i * 7919) % 256));
    kvtest::write_file(dir / "garbage", garbage);
    kvtest::write_file(dir / "nuls", std::string("[Test]\nTimeout=1\0\0\0\nText=a\0b\n", 28));
    kvtest::write_file(dir / "megaline", "[Test]\nText=" + std::string(1 << 20, 'b') + "\n");
    kvtest::write_file(dir / "unreadable", "[Test]\n", 0000);
    struct hostile_case {
        std::string path;
        int expected;
        std::string message;
    };
    const hostile_case cases[] = {
        {dir / "garbage", -1, ""},
        {dir / "nuls", 0, ""},
        {dir / "megaline", -1, "kvlib: read_conf(" + (dir / "megaline") + "): line 2 is longer than 65536 bytes"},
        {dir.path(), -1, "kvlib: read_conf(" + dir.path() + "): full pathname should be specified, not directory only"},
        {dir / "absent", -1, "kvlib: read_conf(" + (dir / "absent") + "): No such file or directory"},
        {"/dev/zero", -1, "kvlib: read_conf(/dev/zero): not a regular file"},
    };
    for (const hostile_case& c : cases) {
        kvtest::log_capture logged;
        EXPECT_EQ(kv::read_conf(c.path.c_str(), tasks), c.expected) << c.path;
        if (!c.message.empty()) {
            EXPECT_TRUE(logged.has(kv::Errors, c.message)) << logged.dump();
        }
    }
    if (geteuid() != 0) {
        kvtest::log_capture logged;
        EXPECT_EQ(kv::read_conf((dir / "unreadable").c_str(), tasks), -1);
        EXPECT_TRUE(logged.contains("cannot open - Permission denied"));
    }
}

TEST(ConfHelpers, StripSpacesRemoveQuotesLookupWord) {
    std::string text = " a b \"c d\" e\t\n";
    kv::strip_spaces(text);
    EXPECT_EQ(text, "ab\"c d\"e");
    kv::remove_quotes(text);
    EXPECT_EQ(text, "abc de");
    const std::vector<kv::conf_word> table = {{"Verbose", 5}, {"Local0", 128}, {"Local1", 136}};
    int value = 0;
    struct word_case {
        const char* text;
        int found;
        int value;
    };
    for (const word_case& c : {word_case{"verb", 1, 5}, {"Local", 1, 128}, {"LOCAL1", 1, 136}, {"", 1, 5},
                               {"Verbosely", 0, 0}, {"x", 0, 0}}) {
        value = 0;
        EXPECT_EQ(kv::lookup_word(c.text, table, &value), c.found) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}
