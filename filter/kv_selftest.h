// kv_selftest: the configuration self-test (--check_only): a chain of tests over
// the daemon, the quarantine, the spool, the templates and mail submission.
#pragma once

#include "kv_settings.h"

namespace kv {

// 1 when every test passed, 0 after the first failing one.
int check_conf(const filter_config& config, int library_ready);

}  // namespace kv
