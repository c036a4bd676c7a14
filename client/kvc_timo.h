// kvc_timo: the clock and the arithmetic of time budgets.
//
// A budget is a number of milliseconds that a whole exchange may take: -1 means
// no limit, -2 means the budget is used up. Every transfer spends from it the
// time it took (timo_spend). Time is read from the monotonic clock, so a change
// of the system time neither extends nor cuts a running exchange.
#pragma once

#include <cstdint>

namespace kv {

constexpr int TIMO_INFINITE = -1;  // no limit
constexpr int TIMO_EXPIRED = -2;   // budget used up

struct timo_stamp {
    int64_t sec = 0;
    int64_t usec = 0;
};

timo_stamp timo_now();

// Time from start to end: whole milliseconds (seconds x 1000 + microseconds / 1000
// after borrowing a second when the microsecond difference is negative), or
// microseconds.
int64_t timo_elapsed_ms(const timo_stamp& start, const timo_stamp& end);
int64_t timo_elapsed_us(const timo_stamp& start, const timo_stamp& end);

// What is left of budget after elapsed milliseconds: TIMO_INFINITE stays, an
// elapsed time that reaches the budget (or is negative) gives TIMO_EXPIRED.
int timo_spend(int budget, int64_t elapsed);

// The poll timeout for a budget: no limit waits without limit, a used-up budget
// does not wait at all.
int timo_poll_timeout(int budget);

}  // namespace kv
