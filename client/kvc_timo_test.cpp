#include "kvc_timo.h"

#include <gtest/gtest.h>

using kv::timo_stamp;

TEST(Timo, ElapsedBorrowsASecondWhenMicrosecondsGoBackwards) {
    EXPECT_EQ(kv::timo_elapsed_ms(timo_stamp{10, 900000}, timo_stamp{12, 100000}), 1200);
    EXPECT_EQ(kv::timo_elapsed_ms(timo_stamp{10, 100}, timo_stamp{10, 1099}), 0);
    EXPECT_EQ(kv::timo_elapsed_ms(timo_stamp{10, 0}, timo_stamp{10, 1000}), 1);
    EXPECT_EQ(kv::timo_elapsed_us(timo_stamp{10, 900000}, timo_stamp{12, 100000}), 1200000);
}

TEST(Timo, SpendingABudget) {
    struct row {
        int budget;
        int64_t elapsed;
        int left;
    };
    const row rows[] = {
        {kv::TIMO_INFINITE, 5000, kv::TIMO_INFINITE},  // no limit stays
        {1000, 0, 1000},
        {1000, 999, 1},
        {1000, 1000, kv::TIMO_EXPIRED},  // reaching the budget uses it up
        {1000, 4000, kv::TIMO_EXPIRED},
        {1000, -1, kv::TIMO_EXPIRED},    // a clock that went backwards counts as used up
        {kv::TIMO_EXPIRED, 0, kv::TIMO_EXPIRED},
    };
    for (const row& r : rows) {
        EXPECT_EQ(kv::timo_spend(r.budget, r.elapsed), r.left) << r.budget << " - " << r.elapsed;
    }
}

TEST(Timo, PollTimeoutOfABudget) {
    EXPECT_EQ(kv::timo_poll_timeout(kv::TIMO_INFINITE), -1);
    EXPECT_EQ(kv::timo_poll_timeout(kv::TIMO_EXPIRED), 0);  // used up: never wait
    EXPECT_EQ(kv::timo_poll_timeout(250), 250);
}
