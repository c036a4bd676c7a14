#include "kv_mailsend.h"

#include <fcntl.h>
#include <signal.h>

#include <string>
#include <vector>

#include "kv_dfork.h"
#include "kv_files.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

const char* const kUnit = "kv_mailsend";
const char* const kChildName = "submitter";

// While it lives, a write to a pipe whose reader has gone fails with EPIPE
// instead of ending the process.
class sigpipe_ignored {
public:
    sigpipe_ignored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        active_ = sigaction(SIGPIPE, &ignore, &old_) == 0;
    }
    ~sigpipe_ignored() {
        if (active_) sigaction(SIGPIPE, &old_, nullptr);
    }
    sigpipe_ignored(const sigpipe_ignored&) = delete;
    sigpipe_ignored& operator=(const sigpipe_ignored&) = delete;

private:
    struct sigaction old_ {};
    bool active_ = false;
};

}  // namespace

int mailsend(const envelope& env, const char* file, off_t offset, const char* text, size_t length,
             const mailer_settings& mailer, std::chrono::milliseconds timeout) {
    const int no_sender = env.from ? 0 : 1;
    const int no_rcpts = e_rcpts_count(env) > 0 ? 0 : 1;
    const int no_source = file == nullptr && text == nullptr ? 1 : 0;
    if (no_sender || no_rcpts || no_source) {
        log(Errors, "%s bad parameters (%d.%d.%d.%d) were passed (%s:%d)", "mailsend: send message", 0, no_sender,
            no_rcpts, no_source, kUnit, __LINE__);
        return MAILSEND_FAILED;
    }
    if (file != nullptr && text != nullptr) {
        log(Errors, "mailsend: you cannot send file and text in one call");
        return MAILSEND_FAILED;
    }
    log(Verbose, "mailsend: send message with follow envelope");
    e_print(env, Verbose);

    const char* program = mailer.sendmail ? mailer.sendmail->c_str() : nullptr;
    std::vector<std::string> argv;
    argv.emplace_back(program != nullptr ? program : "");
    // One argument, never split; an empty one would end the options early.
    if (mailer.sendmail_args && !mailer.sendmail_args->empty()) {
        log(Debug, "mailsend: add arguments = %s", mailer.sendmail_args->c_str());
        argv.push_back(*mailer.sendmail_args);
    }
    argv.emplace_back("-i");
    argv.emplace_back("-bm");
    argv.push_back("-f" + *env.from);
    argv.emplace_back("--");
    for (const std::string& rcpt : e_get_rcpts(env)->items()) argv.push_back(rcpt);

    child_process child = starter_start(program, argv);
    if (!child.started()) {
        log(Errors, "mailsend: cannot run submitter %s", program != nullptr ? program : "(none)");
        return MAILSEND_FAILED;
    }

    bool written = false;
    {
        sigpipe_ignored no_sigpipe;
        // Non-blocking, so that a program that stops reading fails the write after
        // `timeout` instead of holding the filter forever.
        int flags = fcntl(child.input(), F_GETFL);
        if (flags >= 0) fcntl(child.input(), F_SETFL, flags | O_NONBLOCK);
        if (file != nullptr) {
            written = write_message_to_fd(file, offset, 0, child.input(), timeout);
            if (!written) log(Errors, "mailsend: cannot write message from file %s to submitter %s", file, program);
        } else {
            written = write_all(child.input(), text, length, timeout);
            if (!written) log(Errors, "mailsend: cannot write message to submitter %s", program);
        }
    }
    if (written && child.close_input() != 0) {
        log(Errors, "mailsend: cannot close the input of submitter %s - %s", program, stdlib_error(errno));
        written = false;
    }
    if (!written) {
        if (child.kill_and_wait(kChildName) < 0) log(Errors, "mailsend: wait for submitter failed");
        return MAILSEND_FAILED;
    }

    int waited = child.wait_for(timeout, kChildName);
    if (waited == STARTER_RUNNING) {
        log(Errors, "mailsend: submitter %s[%d] still running after %lld ms - killed", program,
            static_cast<int>(child.pid()), static_cast<long long>(timeout.count()));
        (void)child.kill_and_wait(kChildName);
        return MAILSEND_FAILED;
    }
    if (waited < 0) {
        log(Errors, "mailsend: wait for submitter failed");
        return MAILSEND_FAILED;
    }
    return MAILSEND_OK;
}

}  // namespace kv
