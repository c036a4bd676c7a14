// The spool file of one message: LF line ends in the file, and the file gone
// at every end unless its path was handed on.
#include <gtest/gtest.h>

#include "kvm_spool.h"
#include "test_util.h"

namespace {

kv::spool_settings spool_in(const std::string& dir) {
    kv::spool_settings settings;
    settings.directory = dir;
    settings.prefix = "kv.";
    return settings;
}

TEST(MilterSpool, HeadersAndChunksBecomeTheSpoolFile) {
    kvtest::temp_dir dir;
    kv::milter::spool_file spool(spool_in(dir.path()));
    ASSERT_FALSE(spool.failed());
    spool.add_header("Subject", "two\r\n\tlines");
    spool.add_header("To", "a@example.test");
    spool.add_body("first\r");  // the pair split across chunks
    spool.add_body("\nsecond\r\n");
    ASSERT_TRUE(spool.finish());
    EXPECT_EQ(kvtest::read_file(spool.path()), "Subject: two\n\tlines\nTo: a@example.test\n\nfirst\nsecond\n");
}

TEST(MilterSpool, TheFileGoesUnlessHandedOn) {
    kvtest::temp_dir dir;
    std::string kept;
    {
        kv::milter::spool_file dropped(spool_in(dir.path()));
        dropped.add_body("aborted\r\n");
        ASSERT_EQ(kvtest::list_dir(dir.path()).size(), 1u);
    }
    EXPECT_TRUE(kvtest::list_dir(dir.path()).empty());
    {
        kv::milter::spool_file handed(spool_in(dir.path()));
        ASSERT_TRUE(handed.finish());
        kept = handed.release();
    }
    EXPECT_TRUE(kvtest::file_exists(kept));
}

TEST(MilterSpool, AFailureIsReportedAtTheEnd) {
    kvtest::temp_dir dir;
    kv::milter::spool_file missing(spool_in(dir / "absent"));
    EXPECT_TRUE(missing.failed());
    missing.add_body("lost\r\n");
    EXPECT_FALSE(missing.finish());
}

}  // namespace
