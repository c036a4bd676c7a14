#include "kv_addresses.h"

#include "kvc_conf.h"
#include "kvc_log.h"

namespace kv {
namespace {

const char* const kRoleWords[] = {"", "from", "to", "any"};

bool parse_rule(maddr_list& list, const list_line& line) {
    if (line.version != 1) {
        log(Errors, "maddr: wrong %lu version of file", line.version);
        return false;
    }
    maddr_entry entry;
    const char* p = line.text;
    if (take_keyword(p, "from")) entry.role = 1;
    else if (take_keyword(p, "to")) entry.role = 2;
    else if (take_keyword(p, "any")) entry.role = 3;
    else {
        log(Errors, "maddr: wrong line(%d)", line.number);
        return false;
    }
    entry.pattern = take_pattern(p);
    if (!entry.pattern.empty() && entry.pattern[0] == '!') {
        entry.inverted = 1;
        entry.pattern = take_pattern(entry.pattern.c_str() + 1);
    }
    remove_quotes(entry.pattern);
    if (entry.pattern.empty()) {
        log(Errors, "maddr: wrong line(%d)", line.number);
        return false;
    }
    entry.regex = std::make_unique<compiled_regex>();
    if (!compile_rule_regex(*entry.regex, entry.pattern, true, line)) return false;
    list.entries.push_back(std::move(entry));
    return true;
}

}  // namespace

std::unique_ptr<maddr_list> maddr_load(const char* path, bool with_lock) {
    static const list_file_kind kind = {"maddr:", "KvLib::MailAddressesLocker", "maddr: error load addresses list from filename %s"};
    return load_list_file<maddr_list>(path, with_lock, kind, parse_rule);
}

int maddr_check(const maddr_list* list, const char* address, int role) {
    if (list == nullptr || address == nullptr) return 1;
    int answer = 1;
    mutex_lock(list->lock.get());
    for (const maddr_entry& entry : list->entries) {
        bool matches = entry.regex->matches(address);
        if (matches && !entry.inverted) {
            log(Verbose, "maddr: address %s is matched to RE %s", address, entry.pattern.c_str());
        } else if (!matches && entry.inverted) {
            log(Verbose, "maddr: address %s is matched to inverse RE %s", address, entry.pattern.c_str());
        } else {
            continue;
        }
        // The first hit decides, whether or not its role is the one asked for.
        answer = (role & entry.role) == role ? 0 : 1;
        break;
    }
    mutex_unlock(list->lock.get());
    return answer;
}

void maddr_print(const maddr_list* list, int level) {
    if (list == nullptr || level < Verbose) return;
    mutex_lock(list->lock.get());
    log(Verbose, "maddr: --- print UnNotificableAddressesList: <matching> <role> ---");
    for (const maddr_entry& entry : list->entries) {
        log(Verbose, "maddr: %s%s %s", entry.inverted ? "not " : "", entry.pattern.c_str(), kRoleWords[entry.role]);
    }
    mutex_unlock(list->lock.get());
}

}  // namespace kv
