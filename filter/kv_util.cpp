#include "kv_util.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>

#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {

int set_check_user(const char* user) {
    if (user == nullptr) {
        log(Verbose, "conf: no user specified - filter would use current account (uid=%d, gid=%d)",
            static_cast<int>(getuid()), static_cast<int>(getgid()));
        return 1;
    }
    errno = 0;
    struct passwd* account = getpwnam(user);
    if (account == nullptr) {
        log(Errors, "conf: non-existing user account %s specified", user);
        return 0;
    }
    if (setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0) {
        log(Errors, "conf: cannot set uid or gid - %s", stdlib_error(errno));
        return 0;
    }
    log(Verbose, "conf: filter would use %s account (uid=%d, gid=%d)", user, static_cast<int>(getuid()),
        static_cast<int>(getgid()));
    return 1;
}

}  // namespace kv
