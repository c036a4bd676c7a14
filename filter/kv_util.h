// kv_util: preparing the process before a message is handled: the switch to
// another account for a configuration check. Results 1 / 0 after logging why.
#pragma once

namespace kv {

// Switches group then user to the named account; with nullptr only reports the
// current account.
int set_check_user(const char* user);

}  // namespace kv
