// kvc_mutex: named locks and the per-thread lookup of system error texts.
//
// A named lock is a real mutex (error-checking, so misuse is reported instead of
// hanging or corrupting it). mutex_lock/mutex_unlock answer non-zero on success
// and 0 on failure: a thread locking a lock it already holds, or unlocking one
// it does not hold, fails. A missing handle (none) means "no lock": locking and
// unlocking it succeed without doing anything. mutex_destroy answers 0 and
// leaves the handle empty, or non-zero and keeps the handle when the lock is
// held. A handle that is simply dropped destroys its mutex quietly. The name only
// identifies the lock in messages; nothing looks a lock up by its name.
//
// stdlib_error needs no lock: each thread gets its own text, which stays valid
// until that thread's next call.
#pragma once

#include <pthread.h>

#include <memory>
#include <string>

namespace kv {

class named_lock {
public:
    explicit named_lock(const char* name);
    ~named_lock();
    named_lock(const named_lock&) = delete;
    named_lock& operator=(const named_lock&) = delete;

    const std::string& name() const { return name_; }

private:
    friend int mutex_lock(named_lock* lock);
    friend int mutex_unlock(named_lock* lock);
    friend int mutex_destroy(std::unique_ptr<named_lock>& lock);
    friend std::unique_ptr<named_lock> mutex_create(const char* name);

    std::string name_;
    pthread_mutex_t mutex_;
    bool ready_ = false;  // the mutex was initialised
};
using lock_handle = std::unique_ptr<named_lock>;

// A new lock, or none when the system cannot make one.
lock_handle mutex_create(const char* name);
int mutex_lock(named_lock* lock);
int mutex_unlock(named_lock* lock);
// Destroys a lock nobody holds and leaves the handle empty; 0 on success (also
// for an empty handle).
int mutex_destroy(lock_handle& lock);

// The system's text for an error number, in a buffer of the calling thread.
const char* stdlib_error(int errnum);

}  // namespace kv
