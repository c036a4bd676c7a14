#include "kv_mailsend.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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

// The text as a finished, unnamed file read from its start.
unique_fd text_file(const char* text, size_t length) {
    unique_fd fd(memfd_create("kerval-mail", MFD_CLOEXEC));
    if (!fd.valid()) {
        log(Errors, "mailsend: cannot create a file for the message - %s", stdlib_error(errno));
        return fd;
    }
    if (!write_all(fd.get(), text, length) || lseek(fd.get(), 0, SEEK_SET) != 0) {
        log(Errors, "mailsend: cannot store the message for the submitter - %s", stdlib_error(errno));
        fd.reset();
    }
    return fd;
}

// The message file opened read-only at offset.
unique_fd message_file(const char* file, off_t offset) {
    unique_fd fd(open(file, O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || lseek(fd.get(), offset, SEEK_SET) != offset) {
        log(Errors, "mailsend: cannot open message file %s - %s", file, stdlib_error(errno));
        fd.reset();
    }
    return fd;
}

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

    if (timeout.count() < 0) timeout = std::chrono::seconds(mailer.timeout > 0 ? mailer.timeout : 300);
    unique_fd input = file != nullptr ? message_file(file, offset) : text_file(text, length);
    if (!input.valid()) return MAILSEND_FAILED;
    child_process child = starter_start(program, argv, input.get());
    input.reset();
    if (!child.started()) {
        log(Errors, "mailsend: cannot run submitter %s", program != nullptr ? program : "(none)");
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
