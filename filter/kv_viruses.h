// kv_viruses: the unnotifiable viruses list: per virus-name pattern, whether the
// administrator, the sender and the recipients are notified and whether the
// message may be quarantined. Without a list every answer is 1.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kv_listfile.h"
#include "kvc_mutex.h"
#include "kvc_strings.h"

namespace kv {

// Notification kinds (also the party of viruses_notify).
enum notify_kind : int { NOTIFY_SENDER = 0, NOTIFY_RCPTS = 1, NOTIFY_ADMIN = 2 };

struct virus_entry {
    std::string pattern;
    int admin = 1;
    int sender = 1;
    int rcpts = 1;
    int quarantine = 1;
    std::unique_ptr<compiled_regex> regex;
};

struct viruses_list {
    std::vector<virus_entry> entries;
    lock_handle lock;  // "KvLib::VirusAddressesLocker" when asked for
};

std::unique_ptr<viruses_list> viruses_load(const char* path, bool with_lock);
int viruses_notify(const viruses_list* list, strings* names, int party);
int viruses_quarantine(const viruses_list* list, strings* names);
void viruses_print(const viruses_list* list, int level);

}  // namespace kv
