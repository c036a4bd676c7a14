// kv_selftest: the configuration self-test (--check_only): a chain of tests over
// the real paths of a message run: the daemon and its version, the quarantine
// settings, the spool (or quarantine) with a real scan of a test message that
// carries the EICAR test file, the notification templates, and the submission of
// a test mail to the administrator. The first failing test ends the chain.
#pragma once

#include <optional>
#include <string>

#include "kv_settings.h"

namespace kv {

// 1 when every test passed, 0 after the first failing one. library_ready 0: the
// self-test starts the client library itself (and cleans it up again).
int check_conf(const filter_config& config, int library_ready);

// Writes the test message into a new spool file and has the daemon scan it: the
// test file's path when the daemon found the test virus (the file stays), else
// nullopt (the file is removed).
std::optional<std::string> check_scan(const spool_settings& spool, bool expand, const char* prefix, unsigned strip);
// 0 passed, -1 failed.
int check_spool(const spool_settings& spool, bool expand, const char* prefix, unsigned strip);
int check_move(const spool_settings& spool, const spool_settings& quarantine, bool expand, const char* prefix,
               unsigned strip);
int check_file(const char* path);

// The test message in its two pieces (402 and 73 bytes).
std::string selftest_message_head();
std::string selftest_message_tail();

}  // namespace kv
