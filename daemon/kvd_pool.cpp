#include "kvd_pool.h"

#include <new>
#include <system_error>

#include "kvc_log.h"

namespace kvd {

worker_pool::worker_pool(serve_fn serve, std::function<void()> on_idle)
    : serve_(std::move(serve)), on_idle_(std::move(on_idle)) {}

worker_pool::~worker_pool() { drain(); }

bool worker_pool::start(size_t workers) {
    try {
        while (threads_.size() < workers) threads_.emplace_back([this] { work(); });
    } catch (const std::system_error& e) {
        kv::log(kv::Errors, "kervald: cannot start worker %zu of %zu - %s", threads_.size() + 1, workers, e.what());
        drain();
        return false;
    }
    return true;
}

bool worker_pool::idle() const {
    std::lock_guard<std::mutex> hold(lock_);
    return !stopping_ && busy_ < threads_.size();
}

void worker_pool::submit(std::unique_ptr<kv::ipc::channel> ch) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++busy_;
        waiting_.push_back(std::move(ch));
    }
    wake_.notify_one();
}

void worker_pool::drain() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    threads_.clear();
}

void worker_pool::work() {
    for (;;) {
        std::unique_ptr<kv::ipc::channel> ch;
        {
            std::unique_lock<std::mutex> hold(lock_);
            // Connections already handed over are served even when stopping.
            wake_.wait(hold, [this] { return stopping_ || !waiting_.empty(); });
            if (waiting_.empty()) return;
            ch = std::move(waiting_.front());
            waiting_.pop_front();
        }
        try {
            serve_(*ch);
        } catch (const std::bad_alloc&) {
            kv::log(kv::Errors, "kervald: out of memory while serving %s - connection closed", ch->remote.text.c_str());
        }
        if (kv::ipc::delete_channel(ch) != kv::ipc::IPC_OK) {
            kv::log(kv::Verbose, "kervald: closing a connection failed");
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            --busy_;
        }
        if (on_idle_) on_idle_();
    }
}

}  // namespace kvd
