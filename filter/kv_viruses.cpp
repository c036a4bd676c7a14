#include "kv_viruses.h"

#include "kvc_conf.h"
#include "kvc_log.h"

namespace kv {
namespace {

bool take_flag(const char*& p, int* flag, int line_number) {
    if (take_keyword(p, "allow")) *flag = 1;
    else if (take_keyword(p, "deny")) *flag = 0;
    else {
        log(Errors, "virus: wrong line(%d)", line_number);
        return false;
    }
    return true;
}

bool parse_rule(viruses_list& list, const list_line& line) {
    if (line.version > 2) {
        log(Errors, "virus: wrong %lu version of file", line.version);
        return false;
    }
    virus_entry entry;
    const char* p = line.text;
    bool ok = take_flag(p, &entry.admin, line.number) && take_flag(p, &entry.sender, line.number) &&
              take_flag(p, &entry.rcpts, line.number) &&
              (line.version != 2 || take_flag(p, &entry.quarantine, line.number));
    if (ok) {
        entry.pattern = take_pattern(p);
        remove_quotes(entry.pattern);
        if (entry.pattern.empty()) {
            log(Errors, "virus: wrong line(%d)", line.number);
            ok = false;
        }
    }
    if (ok) {
        entry.regex = std::make_unique<compiled_regex>();
        ok = compile_rule_regex(*entry.regex, entry.pattern, true, line);
    }
    if (!ok) {
        std::string shown(line.text);
        while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
        log(Errors, "virus: wrong line %d : %s", line.number, shown.c_str());
        return false;
    }
    list.entries.push_back(std::move(entry));
    return true;
}

// The first entry whose expression matches the name, or nullptr.
const virus_entry* find_match(const viruses_list& list, const char* name) {
    for (const virus_entry& entry : list.entries) {
        log(Debug, "viruses: try match %s to %s", name, entry.pattern.c_str());
        if (entry.regex->matches(name)) return &entry;
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<viruses_list> viruses_load(const char* path, bool with_lock) {
    static const list_file_kind kind = {"virus:", "KvLib::VirusAddressesLocker", "virus: error loading viruses list from filename %s"};
    return load_list_file<viruses_list>(path, with_lock, kind, parse_rule);
}

int viruses_notify(const viruses_list* list, strings* names, int party) {
    if (list == nullptr || names == nullptr) return 1;
    int answer = 1;
    mutex_lock(list->lock.get());
    for (const std::string& name : names->items()) {
        const virus_entry* entry = find_match(*list, name.c_str());
        if (entry == nullptr) continue;
        log(Verbose, "viruses: entry %s matched by %s", name.c_str(), entry->pattern.c_str());
        answer = party == NOTIFY_SENDER ? entry->sender
                 : party == NOTIFY_RCPTS ? entry->rcpts
                 : party == NOTIFY_ADMIN ? entry->admin
                                         : 1;
        break;
    }
    mutex_unlock(list->lock.get());
    return answer;
}

int viruses_quarantine(const viruses_list* list, strings* names) {
    if (list == nullptr || names == nullptr) return 1;
    int answer = 1;
    mutex_lock(list->lock.get());
    for (const std::string& name : names->items()) {
        const virus_entry* entry = find_match(*list, name.c_str());
        if (entry != nullptr && entry->quarantine == 0) {
            answer = 0;
            break;
        }
    }
    mutex_unlock(list->lock.get());
    return answer;
}

void viruses_print(const viruses_list* list, int level) {
    if (list == nullptr || level < Verbose) return;
    auto word = [](int flag) { return flag ? "allow" : "deny"; };
    mutex_lock(list->lock.get());
    log(Verbose, "virus: --- print UnNotificableVirusesList: <matching> <admin> <sender> <rcpts> <quarantine> ---");
    for (const virus_entry& entry : list->entries) {
        log(Verbose, "virus: %s %s %s %s %s", entry.pattern.c_str(), word(entry.admin), word(entry.sender),
            word(entry.rcpts), word(entry.quarantine));
    }
    mutex_unlock(list->lock.get());
}

}  // namespace kv
