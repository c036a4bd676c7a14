// kvc_addrlist: the ordered list of scanning-daemon addresses.
//
// The first entry is the primary daemon, the others are backups in order of
// preference. add() takes an IPC specification ("inet:", "local:", "default") or
// "pid:" with the path of a daemon's pid file: line 1 holds the pid, every
// further line one address, either an absolute socket path or "host:port". Each
// address becomes an entry with the given session timeout (seconds, <= 0: none).
// A pid file that does not exist is tolerated unless resolve-now is set: it
// stands for the placeholder "local:/nonexisten", which never connects.
//
// add answers 1 when at least one entry was added and nothing failed, else 0
// (entries added before a failure stay). The list owns its entries; next() hands
// out borrowed pointers that live as long as the list. Threads may walk the list
// with next() while another thread adds to it: the list's lock covers both, and
// an entry, once added, never changes or moves until the list goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kvc_ipc.h"
#include "kvc_mutex.h"

namespace kv {

struct addr_entry {
    int timeout = 0;
    int family = ipc::FAMILY_NONE;
    std::unique_ptr<ipc::address> address;
    size_t position = 0;  // index in its list
};

class addrlist {
public:
    // A new empty list with its lock, or none.
    static std::unique_ptr<addrlist> create();
    ~addrlist();

    [[nodiscard]] int add(const std::string& spec, int seconds, int resolve);
    // The entry after previous (the first for none), or none at the end.
    const addr_entry* next(const addr_entry* previous) const;

private:
    addrlist() = default;
    // The specifications named by a pid file, appended to specs; 1 / 0.
    int read_pidfile(const std::string& spec, int resolve, std::vector<std::string>& specs);

    lock_handle lock_;
    std::vector<std::unique_ptr<addr_entry>> entries_;
};

int addrlist_entry_family(const addr_entry* entry);
const ipc::address* addrlist_entry_address(const addr_entry* entry);
int addrlist_entry_timeout(const addr_entry* entry);

}  // namespace kv
