#include "kvm_service.h"

#include <chrono>

#include "kv_util.h"
#include "kvc_lib.h"
#include "kvc_log.h"

namespace kv::milter {
namespace {

bool same_addresses(const daemon_settings& a, const daemon_settings& b) {
    if (!a.address || !b.address) return !a.address && !b.address;
    return a.address->items() == b.address->items() && a.timeout == b.timeout;
}

}  // namespace

std::shared_ptr<const runtime_config> service::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void service::install(std::shared_ptr<const runtime_config> config) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!config_ || !library_ready_ || !same_addresses(config_->filter.daemon, config->filter.daemon)) {
        // Requests in progress finish on the list they started with or fail cleanly.
        if (library_ready_) (void)cleanup();
        library_ready_ = init_lib(config->filter.daemon) != 0;
        if (!library_ready_) log(Errors, "milter: the daemon client library did not start");
    }
    config_ = std::move(config);
}

bool service::library_ready() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return library_ready_;
}

bool service::begin_message() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    ++messages_;
    return true;
}

void service::end_message() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (messages_ > 0) --messages_;
    if (messages_ == 0) idle_.notify_all();
}

int service::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

void service::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
}

bool service::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

bool service::wait_idle(int seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::seconds(seconds), [this] { return messages_ == 0; });
}

}  // namespace kv::milter
