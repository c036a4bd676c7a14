// kv_users: the deny list, which decides address by address whether a message is
// scanned. users_check answers 1 (checkable: scan for this address) or 0.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kv_listfile.h"
#include "kvc_mutex.h"

namespace kv {

enum user_role : int { ROLE_FROM = 1, ROLE_TO = 2, ROLE_ANY = 3 };
enum user_compare : int { CMP_CREGEX = 0, CMP_REGEX = 1, CMP_EXACT = 2, CMP_SUBST = 3 };

struct user_entry {
    std::string pattern;
    int allow = 0;
    int role = ROLE_ANY;
    int compare = CMP_SUBST;
    std::unique_ptr<compiled_regex> regex;  // cregex and regex only
};

struct users_list {
    std::vector<user_entry> entries;  // file order
    lock_handle lock;                 // "KvLib::UsersLocker" when asked for
};

// The whole file or nothing: nullptr after logging why.
std::unique_ptr<users_list> users_load(const char* path, bool with_lock);
int users_check(const users_list* list, const char* address, int role, int deny_by_default);
void users_print(const users_list* list, int level);

}  // namespace kv
