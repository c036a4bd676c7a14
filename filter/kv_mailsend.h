// kv_mailsend: hands one message to the mail system through the configured
// sendmail-compatible submission program.
//
// The program runs as `Sendmail [SendmailArgs] -i -bm -f<sender> -- <rcpts...>`
// (SendmailArgs is one argument, never split). Its standard input is always a
// finished file opened read-only: the message file from an offset, or, for a
// text, an anonymous in-memory file that holds the whole text before the
// program starts. So the program never sees a message cut short, even when this
// process is killed while it runs. mailsend answers MAILSEND_OK (1) only when the
// program exited with status 0, MAILSEND_FAILED (0) otherwise, after logging why.
//
// A submission program is never waited for without limit: one still running
// after `timeout` fails the submission and is killed and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>

#include "kv_mail.h"
#include "kv_settings.h"

namespace kv {

enum mailsend_result : int { MAILSEND_FAILED = 0, MAILSEND_OK = 1 };

// Exactly one of file (sent from offset to its end) and text (length bytes).
// A negative timeout stands for the [Mailer] Timeout.
[[nodiscard]] int mailsend(const envelope& env, const char* file, off_t offset, const char* text, size_t length,
                           const mailer_settings& mailer,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

}  // namespace kv
