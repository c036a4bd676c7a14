#include "kvc_mutex.h"

#include <errno.h>

#include <cstring>

namespace kv {
namespace {

constexpr size_t ERROR_TEXT_MAX = 256;

// strerror_r comes in two shapes: the POSIX one fills the buffer and answers 0,
// the GNU one answers a text that may or may not be the buffer.
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) {
    return result != nullptr ? result : "Unknown error";
}

}  // namespace

named_lock::named_lock(const char* name) : name_(name != nullptr ? name : ""), mutex_{} {}

named_lock::~named_lock() {
    if (ready_) pthread_mutex_destroy(&mutex_);
}

lock_handle mutex_create(const char* name) {
    auto lock = std::make_unique<named_lock>(name);
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return nullptr;
    const bool made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                      pthread_mutex_init(&lock->mutex_, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!made) return nullptr;
    lock->ready_ = true;
    return lock;
}

int mutex_lock(named_lock* lock) {
    if (lock == nullptr) return 1;
    return lock->ready_ && pthread_mutex_lock(&lock->mutex_) == 0 ? 1 : 0;
}

int mutex_unlock(named_lock* lock) {
    if (lock == nullptr) return 1;
    return lock->ready_ && pthread_mutex_unlock(&lock->mutex_) == 0 ? 1 : 0;
}

int mutex_destroy(lock_handle& lock) {
    if (!lock) return 0;
    if (lock->ready_) {
        // A lock somebody holds stays: freeing it would pull it away from under them.
        const int busy = pthread_mutex_trylock(&lock->mutex_);
        if (busy != 0) return busy;
        pthread_mutex_unlock(&lock->mutex_);
        const int destroyed = pthread_mutex_destroy(&lock->mutex_);
        if (destroyed != 0) return destroyed;
        lock->ready_ = false;
    }
    lock.reset();
    return 0;
}

const char* stdlib_error(int errnum) {
    thread_local char buffer[ERROR_TEXT_MAX];
    const int saved = errno;
    buffer[0] = '\0';
    const char* text = error_text(strerror_r(errnum, buffer, sizeof buffer), buffer);
    errno = saved;
    return text;
}

}  // namespace kv
