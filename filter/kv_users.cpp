#include "kv_users.h"

#include <cstring>

#include "kvc_conf.h"
#include "kvc_log.h"

namespace kv {
namespace {

const char* const kRoleWords[] = {"", "from", "to", "any"};
const char* const kCompareWords[] = {"cregex", "regex", "exact", "subst"};

bool parse_rule(users_list& list, const list_line& line) {
    if (line.version != 1 && line.version != 2) {
        log(Errors, "users: wrong %lu version of file", line.version);
        return false;
    }
    user_entry entry;
    const char* p = line.text;
    if (take_keyword(p, "allow")) entry.allow = 1;
    else if (take_keyword(p, "deny")) entry.allow = 0;
    else {
        log(Errors, "users: wrong line(%d)", line.number);
        return false;
    }
    if (line.version == 2) {
        if (take_keyword(p, "from")) entry.role = ROLE_FROM;
        else if (take_keyword(p, "to")) entry.role = ROLE_TO;
        else if (take_keyword(p, "any")) entry.role = ROLE_ANY;
        else {
            log(Errors, "users: wrong line(%d)", line.number);
            return false;
        }
        if (take_keyword(p, "exact")) entry.compare = CMP_EXACT;
        else if (take_keyword(p, "subst")) entry.compare = CMP_SUBST;
        else if (take_keyword(p, "regex")) entry.compare = CMP_REGEX;
        else if (take_keyword(p, "cregex")) entry.compare = CMP_CREGEX;
        else {
            log(Errors, "users: wrong line(%d)", line.number);
            return false;
        }
    }
    entry.pattern = take_pattern(p);
    remove_quotes(entry.pattern);
    if (entry.pattern.empty()) {
        log(Errors, "users: wrong line(%d)", line.number);
        return false;
    }
    if (entry.compare == CMP_REGEX || entry.compare == CMP_CREGEX) {
        entry.regex = std::make_unique<compiled_regex>();
        if (!compile_rule_regex(*entry.regex, entry.pattern, entry.compare == CMP_REGEX, line)) return false;
    }
    list.entries.push_back(std::move(entry));
    return true;
}

bool entry_matches(const user_entry& entry, const char* address) {
    switch (entry.compare) {
    case CMP_EXACT:
        if (strcmp(address, entry.pattern.c_str()) != 0) return false;
        log(Verbose, "users: address %s equal to %s", address, entry.pattern.c_str());
        return true;
    case CMP_SUBST:
        if (strstr(address, entry.pattern.c_str()) == nullptr) return false;
        log(Verbose, "users: address %s is substring for %s", address, entry.pattern.c_str());
        return true;
    default:
        if (!entry.regex || !entry.regex->matches(address)) return false;
        log(Verbose, "users: address %s is appropriated for RE %s", address, entry.pattern.c_str());
        return true;
    }
}

}  // namespace

std::unique_ptr<users_list> users_load(const char* path, bool with_lock) {
    static const list_file_kind kind = {"users:", "KvLib::UsersLocker", "users: error load users list from filename %s"};
    return load_list_file<users_list>(path, with_lock, kind, parse_rule);
}

int users_check(const users_list* list, const char* address, int role, int deny_by_default) {
    int answer = deny_by_default ? 0 : 1;
    if (list == nullptr || address == nullptr) return answer;
    mutex_lock(list->lock.get());
    for (const user_entry& entry : list->entries) {
        if ((entry.role & role) == 0) continue;
        if (entry_matches(entry, address)) {
            answer = entry.allow;
            break;
        }
    }
    mutex_unlock(list->lock.get());
    return answer;
}

void users_print(const users_list* list, int level) {
    if (list == nullptr || level < Verbose) return;
    mutex_lock(list->lock.get());
    log(Verbose, "users: --- print DenyList: <on/off> <where> <cmp> <user> ---");
    for (const user_entry& entry : list->entries) {
        log(Verbose, "users: %s %s %s %s", entry.allow ? "allow" : "deny", kRoleWords[entry.role],
            kCompareWords[entry.compare], entry.pattern.c_str());
    }
    mutex_unlock(list->lock.get());
}

}  // namespace kv
