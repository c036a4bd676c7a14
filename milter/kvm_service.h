// kvm_service: the state the milter's sessions share: the configuration in
// force (swapped whole by a reload, so a message keeps the one it started
// with), whether the daemon client library is started, the number of messages
// in progress, and whether the milter is stopping.
//
// Threads: every operation may be called from any thread.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "kvm_settings.h"

namespace kv::milter {

class service {
public:
    std::shared_ptr<const runtime_config> config() const;
    // Installs a new configuration (and starts the client library on its
    // daemon addresses when they differ from the old ones); the old one lives
    // on for the messages that hold it.
    void install(std::shared_ptr<const runtime_config> config);
    bool library_ready() const;

    // A message begins (false when the milter is stopping: refuse it) or ends.
    bool begin_message();
    void end_message();
    int messages() const;

    void stop();
    bool stopping() const;
    // Waits until no message is in progress; false when seconds passed first.
    bool wait_idle(int seconds);

private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::shared_ptr<const runtime_config> config_;
    bool library_ready_ = false;
    int messages_ = 0;
    bool stopping_ = false;
};

}  // namespace kv::milter
