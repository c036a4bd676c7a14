// Line ends across chunk boundaries: every split of a text gives the same result.
#include <gtest/gtest.h>

#include "kvm_lines.h"

namespace {

std::string lf_in_chunks(const std::string& text, size_t split) {
    kv::milter::line_state state;
    std::string out;
    kv::milter::to_lf(std::string_view(text).substr(0, split), state, out);
    kv::milter::to_lf(std::string_view(text).substr(split), state, out);
    kv::milter::to_lf_finish(state, out);
    return out;
}

std::string crlf_in_chunks(const std::string& text, size_t split) {
    kv::milter::line_state state;
    std::string out;
    kv::milter::to_crlf(std::string_view(text).substr(0, split), state, out);
    kv::milter::to_crlf(std::string_view(text).substr(split), state, out);
    return out;
}

TEST(MilterLines, EverySplitConvertsAlike) {
    const struct {
        std::string crlf, lf;
    } cases[] = {
        {"a\r\nb\r\n", "a\nb\n"},
        {"lone\rcr\r\n\r\n", "lone\rcr\n\n"},
        {"ends in cr\r", "ends in cr\r"},
        {"\r\r\n", "\r\n"},
        {"", ""},
    };
    for (const auto& c : cases) {
        for (size_t split = 0; split <= c.crlf.size(); ++split)
            EXPECT_EQ(lf_in_chunks(c.crlf, split), c.lf) << c.crlf << " split at " << split;
    }
    const struct {
        std::string lf, crlf;
    } back[] = {
        {"a\nb\n", "a\r\nb\r\n"},
        {"already\r\nmixed\n", "already\r\nmixed\r\n"},
        {"\n\n", "\r\n\r\n"},
    };
    for (const auto& c : back) {
        for (size_t split = 0; split <= c.lf.size(); ++split)
            EXPECT_EQ(crlf_in_chunks(c.lf, split), c.crlf) << c.lf << " split at " << split;
    }
}

}  // namespace
