// kvc_mutex: named locks and the locked lookup of system error texts.
//
// The program runs in one thread, so the locks never wait; they keep the
// operations and result conventions a threaded user of the library would rely on:
// mutex_lock/mutex_unlock answer non-zero on success, mutex_destroy 0.
#pragma once

#include <memory>
#include <string>

namespace kv {

struct named_lock {
    std::string name;
};
using lock_handle = std::unique_ptr<named_lock>;

lock_handle mutex_create(const char* name);
int mutex_lock(named_lock* lock);
int mutex_unlock(named_lock* lock);
// Destroys the lock and leaves the handle empty; 0 on success.
int mutex_destroy(lock_handle& lock);

// The system's text for an error number, looked up under "KvLib::StdlibError".
const char* stdlib_error(int errnum);

// Creates the "KvLib::StdlibError" lock on the first call (from log_init).
void stdlib_error_lock_init();
// Destroys it (library clean-up); the next log_init creates it again.
void stdlib_error_lock_destroy();

}  // namespace kv
