#include "kvc_strings.h"

#include <gtest/gtest.h>

#include "kvc_log.h"
#include "test_util.h"

using kv::mbufs;
using kv::strings;

TEST(Strings, LimitRefusesAddThatWouldReachIt) {
    kvtest::log_capture logged;
    strings list(10);
    ASSERT_EQ(list.add("abcdef"), 1);
    EXPECT_EQ(list.add("ghi"), 1);   // 9 < 10
    EXPECT_EQ(list.add("j"), 0);     // 10 >= 10
    EXPECT_EQ(list.size(), 9);
    EXPECT_EQ(list.count(), 2);
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: strings: new string(1) overcome limit (10) for whole(9)"));
}

TEST(Strings, EmptyAndNullTextsAreIgnoredAsSuccess) {
    strings list;
    EXPECT_EQ(list.add(""), 1);
    EXPECT_EQ(list.add(static_cast<const char*>(nullptr)), 1);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.size(), 0);
    EXPECT_EQ(list.to_linear(0), std::string());
}

TEST(Strings, AddIntegerRefusesTextsLongerThanTenCharacters) {
    kvtest::log_capture logged;
    strings list;
    EXPECT_EQ(list.add_integer(2147483647), 1);
    EXPECT_EQ(list.add_integer(-999999999), 1);
    EXPECT_EQ(list.add_integer(INT32_MIN), 0);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: strings: added integer value too big for format"));
    EXPECT_EQ(list.to_linear(0), "2147483647-999999999");
}

TEST(Strings, JoinInBothOrdersAndCacheRebuiltAfterAdd) {
    strings list;
    list.add("a");
    list.add("b");
    list.add("c");
    EXPECT_EQ(list.to_linear(0), "abc");
    EXPECT_EQ(list.to_linear(1), "cba");
    EXPECT_EQ(list.to_linear(1), "cba");
    list.add("d");
    EXPECT_EQ(list.to_linear(1), "dcba");
    EXPECT_EQ(list.to_linear(2), std::nullopt);
}

TEST(Strings, IterationBothDirectionsOneCursor) {
    strings list;
    for (const char* t : {"x", "y", "z"}) list.add(t);
    std::string forward, backward;
    list.rewind(0);
    while (const char* t = list.next()) forward += t;
    list.rewind(1);
    while (const char* t = list.next()) backward += t;
    EXPECT_EQ(forward, "xyz");
    EXPECT_EQ(backward, "zyx");
    EXPECT_EQ(list.next(), nullptr);
    EXPECT_EQ(list.rewind(2), 0);
    strings empty;
    empty.rewind(1);
    EXPECT_EQ(empty.next(), nullptr);
}

TEST(Strings, AddListPutsSeparatorBetweenOnlyAndFindIsExact) {
    strings src, dst;
    src.add("x");
    src.add("y");
    EXPECT_EQ(dst.add_list(&src, ", "), 1);
    EXPECT_EQ(dst.count(), 3);
    EXPECT_EQ(dst.to_linear(0), "x, y");
    EXPECT_EQ(dst.add_list(nullptr, ", "), 1);
    EXPECT_EQ(dst.find("x"), 1);
    EXPECT_EQ(dst.find("X"), 0);
    EXPECT_EQ(dst.find(nullptr), 0);
    strings limited(4);
    EXPECT_EQ(limited.add_list(&src, ", "), 0);  // "x" + ", " fits, "y" would reach 4
}

TEST(Mbufs, JoinKeepsBinaryBytesInOrderWithOptionalTerminator) {
    mbufs chain;
    EXPECT_EQ(chain.add("ab", 2), 1);
    EXPECT_EQ(chain.add("c\0d", 3), 1);
    EXPECT_EQ(chain.add(nullptr, 5), 1);
    EXPECT_EQ(chain.add("zz", 0), 1);
    EXPECT_EQ(chain.count(), 2);
    EXPECT_EQ(chain.size(), 5u);
    EXPECT_EQ(chain.to_linear(0, true), std::string("abc\0d\0", 6));
    EXPECT_EQ(chain.to_linear(1, false), std::string("c\0dab", 5));
}

TEST(Mbufs, LimitRefusesAndLogs) {
    kvtest::log_capture logged;
    mbufs chain(4);
    EXPECT_EQ(chain.add("abc", 3), 1);
    EXPECT_EQ(chain.add("d", 1), 0);
    EXPECT_EQ(chain.size(), 3u);
    EXPECT_TRUE(logged.has(kv::Errors,
                           "kvlib: mbufs::add new chunk (1 bytes) overcome limit (4 bytes) for list (current size 3 bytes)"));
}
