// kvd_pool: a fixed number of worker threads that serve accepted connections.
//
// The accept loop hands a connection over only while a worker is idle (idle()),
// so the pool never queues more than it can serve at once and further
// connections wait in the listen backlog. A worker serves its connection,
// closes it, and calls the on_idle hook, which wakes the accept loop. drain lets
// every worker finish the connection it has and ends the threads. start answers
// false (with the reason logged) when the threads cannot be created.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kvc_ipc.h"

namespace kvd {

class worker_pool {
public:
    using serve_fn = std::function<void(kv::ipc::channel&)>;

    worker_pool(serve_fn serve, std::function<void()> on_idle);
    ~worker_pool();
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

    [[nodiscard]] bool start(size_t workers);
    bool idle() const;
    // Only while idle().
    void submit(std::unique_ptr<kv::ipc::channel> ch);
    // Waits for the connections in hand, then ends the workers.
    void drain();

private:
    void work();

    serve_fn serve_;
    std::function<void()> on_idle_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::unique_ptr<kv::ipc::channel>> waiting_;
    size_t busy_ = 0;  // connections handed over and not yet closed
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace kvd
