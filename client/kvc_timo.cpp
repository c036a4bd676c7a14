#include "kvc_timo.h"

#include <time.h>

namespace kv {

timo_stamp timo_now() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        // Whole seconds are still better than no clock at all.
        return timo_stamp{static_cast<int64_t>(time(nullptr)), 0};
    }
    return timo_stamp{static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_nsec / 1000)};
}

int64_t timo_elapsed_ms(const timo_stamp& start, const timo_stamp& end) {
    int64_t sec = end.sec - start.sec;
    int64_t usec = end.usec - start.usec;
    if (usec < 0) {
        sec -= 1;
        usec += 1000000;
    }
    return sec * 1000 + usec / 1000;
}

int64_t timo_elapsed_us(const timo_stamp& start, const timo_stamp& end) {
    return (end.sec - start.sec) * 1000000 + (end.usec - start.usec);
}

int timo_spend(int budget, int64_t elapsed) {
    if (budget == TIMO_INFINITE) return TIMO_INFINITE;
    if (budget < 0 || elapsed < 0 || elapsed >= budget) return TIMO_EXPIRED;
    return static_cast<int>(budget - elapsed);
}

int timo_poll_timeout(int budget) {
    if (budget == TIMO_INFINITE) return -1;
    return budget < 0 ? 0 : budget;
}

}  // namespace kv
