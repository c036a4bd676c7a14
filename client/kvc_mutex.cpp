#include "kvc_mutex.h"

#include <cstring>

#include "kvc_log.h"

namespace kv {
namespace {

lock_handle& stdlib_lock() {
    static lock_handle lock;
    return lock;
}

}  // namespace

lock_handle mutex_create(const char* name) {
    return std::make_unique<named_lock>(named_lock{name != nullptr ? name : ""});
}

// Single-threaded: a lock is always free. A missing handle is "no lock" and
// succeeds as well, which is what stdlib_error relies on before log_init.
int mutex_lock(named_lock*) { return 1; }
int mutex_unlock(named_lock*) { return 1; }

int mutex_destroy(lock_handle& lock) {
    lock.reset();
    return 0;
}

void stdlib_error_lock_init() {
    if (!stdlib_lock()) stdlib_lock() = mutex_create("KvLib::StdlibError");
}

void stdlib_error_lock_destroy() {
    if (stdlib_lock()) mutex_destroy(stdlib_lock());
}

const char* stdlib_error(int errnum) {
    named_lock* lock = stdlib_lock().get();
    if (!mutex_lock(lock)) {
        log(Errors, "kvlib: stdlib_error: cannot lock mutex");
        return "error get stdlib error string";
    }
    const char* text = strerror(errnum);
    if (!mutex_unlock(lock)) log(Errors, "kvlib: stdlib_error: cannot unlock mutex");
    return text;
}

}  // namespace kv
