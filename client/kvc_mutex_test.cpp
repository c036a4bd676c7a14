#include "kvc_mutex.h"

#include <errno.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(MutexThreads, ContendingThreadsNeverShareTheLock) {
    kv::lock_handle lock = kv::mutex_create("KvLib::Test");
    ASSERT_TRUE(lock);
    EXPECT_EQ(lock->name(), "KvLib::Test");
    constexpr int ROUNDS = 20000;
    long counter = 0;  // guarded by the lock only
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};
    std::barrier both_ready(2);
    auto work = [&] {
        both_ready.arrive_and_wait();
        for (int i = 0; i < ROUNDS; ++i) {
            if (!kv::mutex_lock(lock.get())) {
                ++failures;
                continue;
            }
            if (inside.fetch_add(1) != 0) ++overlaps;
            // A read and a write apart, with room for the other thread in between.
            const long value = counter;
            std::this_thread::yield();
            counter = value + 1;
            inside.fetch_sub(1);
            if (!kv::mutex_unlock(lock.get())) ++failures;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2L * ROUNDS);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(kv::mutex_destroy(lock), 0);
    EXPECT_FALSE(lock);
}

// Deliberate misuse: ThreadSanitizer reports the foreign unlock (as it should), so
// this test stays out of the *Threads suites, the ones run under it.
TEST(Mutex, MisuseFailsInsteadOfHanging) {
    kv::lock_handle lock = kv::mutex_create("KvLib::Test");
    ASSERT_TRUE(lock);
    EXPECT_EQ(kv::mutex_unlock(lock.get()), 0);  // not held
    ASSERT_NE(kv::mutex_lock(lock.get()), 0);
    EXPECT_EQ(kv::mutex_lock(lock.get()), 0);    // held by this very thread

    // Another thread can neither release it nor destroy it.
    int unlocked = -1;
    int destroyed = -1;
    std::thread other([&] {
        unlocked = kv::mutex_unlock(lock.get());
        destroyed = kv::mutex_destroy(lock);
    });
    other.join();
    EXPECT_EQ(unlocked, 0);
    EXPECT_NE(destroyed, 0);
    ASSERT_TRUE(lock);  // still there for its holder

    EXPECT_NE(kv::mutex_destroy(lock), 0);  // not even by its holder while held
    EXPECT_NE(kv::mutex_unlock(lock.get()), 0);
    EXPECT_EQ(kv::mutex_destroy(lock), 0);
    EXPECT_FALSE(lock);
    EXPECT_EQ(kv::mutex_destroy(lock), 0);  // nothing left to destroy
}

TEST(Mutex, NoHandleMeansNoLock) {
    EXPECT_NE(kv::mutex_lock(nullptr), 0);
    EXPECT_NE(kv::mutex_lock(nullptr), 0);
    EXPECT_NE(kv::mutex_unlock(nullptr), 0);
}

TEST(MutexThreads, EachThreadKeepsItsOwnErrorText) {
    constexpr int THREADS = 8;
    // Unknown numbers are the ones whose text is built in a buffer.
    std::vector<std::string> seen(THREADS);
    std::vector<std::string> kept(THREADS);
    std::barrier all_looked_up(THREADS);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([&, i] {
            errno = 0;
            const char* text = kv::stdlib_error(100000 + i);
            seen[i] = text;
            EXPECT_EQ(errno, 0);              // the caller's errno survives
            all_looked_up.arrive_and_wait();  // every other thread has looked up its own number
            kept[i] = text;
        });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < THREADS; ++i) {
        EXPECT_EQ(seen[i], "Unknown error " + std::to_string(100000 + i));
        EXPECT_EQ(kept[i], seen[i]);
    }
    EXPECT_STREQ(kv::stdlib_error(ENOENT), "No such file or directory");
}
