// kv_mailsend: hands one message to the mail system through the configured
// sendmail-compatible submission program.
//
// The program runs as `Sendmail [SendmailArgs] -i -bm -f<sender> -- <rcpts...>`
// (SendmailArgs is one argument, never split) with the message on its standard
// input: the rest of a file from an offset, or a text. mailsend answers
// MAILSEND_OK (1) only when the whole message was written and the program exited
// with status 0, MAILSEND_FAILED (0) otherwise, after logging why.
//
// A submission program is never waited for without limit: a write that makes no
// progress for `timeout` (a program that does not read its input), or a program
// still running `timeout` after its input was closed, fails the submission; the
// program is then killed and reaped. When the write fails the program is killed
// before its input is closed, so it never submits a message cut short.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>

#include "kv_mail.h"
#include "kv_settings.h"

namespace kv {

enum mailsend_result : int { MAILSEND_FAILED = 0, MAILSEND_OK = 1 };

constexpr std::chrono::milliseconds kSubmitTimeout{5 * 60 * 1000};

// Exactly one of file (sent from offset to its end) and text (length bytes).
[[nodiscard]] int mailsend(const envelope& env, const char* file, off_t offset, const char* text, size_t length,
                           const mailer_settings& mailer, std::chrono::milliseconds timeout = kSubmitTimeout);

}  // namespace kv
