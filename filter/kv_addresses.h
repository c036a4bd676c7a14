// kv_addresses: the unnotifiable addresses list: address patterns (optionally
// inverted) for which no notification is sent, per role. maddr_check answers
// 1 (notify) or 0 (do not notify); without a list 1.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kv_listfile.h"
#include "kvc_mutex.h"

namespace kv {

struct maddr_entry {
    std::string pattern;
    int role = 3;  // 1 from, 2 to, 3 any
    int inverted = 0;
    std::unique_ptr<compiled_regex> regex;
};

struct maddr_list {
    std::vector<maddr_entry> entries;
    lock_handle lock;  // "KvLib::MailAddressesLocker" when asked for
};

std::unique_ptr<maddr_list> maddr_load(const char* path, bool with_lock);
int maddr_check(const maddr_list* list, const char* address, int role);
void maddr_print(const maddr_list* list, int level);

}  // namespace kv
