#include "kvc_addrlist.h"

#include <errno.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "kvc_conf.h"
#include "kvc_log.h"

namespace kv {
namespace {

// Pid-file lines hold at most this many characters (plus the line end).
constexpr size_t PIDFILE_LINE_MAX = 253;
const char* const kPlaceholder = "local:/nonexisten";

struct file_closer {
    void operator()(FILE* file) const { fclose(file); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

enum class line_status { ok, end, too_long };

// One line without its line end.
line_status read_line(FILE* file, std::string& line) {
    char buffer[PIDFILE_LINE_MAX + 3];
    if (fgets(buffer, sizeof buffer, file) == nullptr) return line_status::end;
    line = buffer;
    const bool ended = !line.empty() && line.back() == '\n';
    if (ended) line.pop_back();
    if (line.size() > PIDFILE_LINE_MAX) {
        // Skip the rest of the overlong line.
        while (!ended && fgets(buffer, sizeof buffer, file) != nullptr && strchr(buffer, '\n') == nullptr) {
        }
        return line_status::too_long;
    }
    return line_status::ok;
}

}  // namespace

std::unique_ptr<addrlist> addrlist::create() {
    std::unique_ptr<addrlist> list(new addrlist());
    list->lock_ = mutex_create("KvLib::AddressListLocker");
    if (!list->lock_) return nullptr;
    return list;
}

addrlist::~addrlist() {
    if (!mutex_lock(lock_.get())) {
        log(Errors, "kvlib: FATAL ERROR: cannot lock address list");
        return;
    }
    entries_.clear();
    if (!mutex_unlock(lock_.get())) log(Errors, "kvlib: FATAL ERROR: cannot lock address list");
    (void)mutex_destroy(lock_);
}

int addrlist::read_pidfile(const std::string& spec, int resolve, std::vector<std::string>& specs) {
    const size_t colon = spec.find(':');
    if (colon == std::string::npos) {
        log(Errors, "kvlib: pid: address format separator %c not found in %s", ':', spec.c_str());
        return 0;
    }
    const std::string path = spec.substr(colon + 1);
    file_ptr file(fopen(path.c_str(), "r"));
    if (!file) {
        if (errno == ENOENT && !resolve) {
            log(Errors, "kvlib: cannot open daemon pidfile %s - no such file, set ipc address to /nonexisten",
                path.c_str());
            specs.emplace_back(kPlaceholder);
            return 1;
        }
        log(Errors, "kvlib: cannot open daemon pidfile %s - %s", path.c_str(), stdlib_error(errno));
        return 0;
    }
    std::string line;
    line_status status = read_line(file.get(), line);
    if (status == line_status::end) {
        log(Errors, "kvlib: cannot read line %d from daemon pidfile %s", 1, path.c_str());
        return 0;
    }
    int pid = 0;
    if (status == line_status::too_long || sscanf(line.c_str(), "%d", &pid) != 1) {
        log(Errors, "kvlib: cannot read PID from daemon pidfile %s", path.c_str());
        return 0;
    }
    log(Verbose, "kvlib: daemon pid = %d", pid);

    for (int number = 2;; ++number) {
        status = read_line(file.get(), line);
        if (status == line_status::end) {
            if (number == 2) {
                log(Errors, "kvlib: cannot read line %d from daemon pidfile %s", 2, path.c_str());
                return 0;
            }
            return 1;
        }
        if (status == line_status::too_long) {
            log(Errors, "kvlib: read pidfile: line %d of %s is longer than %d characters", number, path.c_str(),
                static_cast<int>(PIDFILE_LINE_MAX));
            return 0;
        }
        if (!line.empty() && line[0] == '/') {
            strip_spaces(line);
            specs.push_back("local:" + line);
            continue;
        }
        const size_t separator = line.rfind(':');
        if (separator == std::string::npos) {
            log(Errors, "kvlib: read pidfile: cannot parse inet-address in %s from pidfile", line.c_str());
            return 0;
        }
        std::string host = line.substr(0, separator);
        std::string port = line.substr(separator + 1);
        strip_spaces(host);
        strip_spaces(port);
        specs.push_back("inet:" + port + "@" + host);
    }
}

int addrlist::add(const std::string& spec, int seconds, int resolve) {
    std::vector<std::string> specs;
    log(Verbose, "kvlib: set timeout for each scanning session with %s to %d seconds", spec.c_str(), seconds);
    if (strncasecmp(spec.c_str(), "pid:", 4) != 0) {
        log(Debug, "kvlib: dont match to pid: prefix for pidfile addressing");
        specs.push_back(spec);
    } else if (!read_pidfile(spec, resolve, specs)) {
        return 0;
    }

    bool added = false;
    for (const std::string& one : specs) {
        auto entry = std::make_unique<addr_entry>();
        entry->address = ipc::parse_address(one, resolve, entry->family);
        if (!entry->address) return 0;
        entry->timeout = seconds;
        if (!mutex_lock(lock_.get())) {
            log(Errors, "kvlib: FATAL ERROR: cannot lock address list");
            return 0;
        }
        entry->position = entries_.size();
        entries_.push_back(std::move(entry));
        added = true;
        if (!mutex_unlock(lock_.get())) {
            log(Errors, "kvlib: FATAL ERROR: cannot unlock address list");
            return 0;
        }
        log(Debug, "kvlib: address %s added to list", one.c_str());
    }
    return added ? 1 : 0;
}

const addr_entry* addrlist::next(const addr_entry* previous) const {
    if (!mutex_lock(lock_.get())) {
        log(Errors, "kvlib: FATAL ERROR: cannot lock address list");
        return nullptr;
    }
    const size_t index = previous == nullptr ? 0 : previous->position + 1;
    const addr_entry* entry = index < entries_.size() ? entries_[index].get() : nullptr;
    if (!mutex_unlock(lock_.get())) {
        log(Errors, "kvlib: FATAL ERROR: cannot lock address list");
        return nullptr;
    }
    return entry;
}

int addrlist_entry_family(const addr_entry* entry) { return entry != nullptr ? entry->family : ipc::FAMILY_NONE; }

const ipc::address* addrlist_entry_address(const addr_entry* entry) {
    return entry != nullptr ? entry->address.get() : nullptr;
}

int addrlist_entry_timeout(const addr_entry* entry) { return entry != nullptr ? entry->timeout : 0; }

}  // namespace kv
