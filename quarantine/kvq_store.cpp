#include "kvq_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "kv_files.h"
#include "kv_handles.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The entry for name when it is a regular file; STORE_MISSING when it is not.
int load_entry(const std::string& directory, const std::string& name, qentry& entry) {
    entry = qentry{};
    entry.id = name;
    entry.path = directory + "/" + name;
    struct stat info;
    if (lstat(entry.path.c_str(), &info) != 0) {
        if (errno == ENOENT) return STORE_MISSING;
        log(Errors, "quarantine: cannot stat %s - %s", entry.path.c_str(), stdlib_error(errno));
        return STORE_ERROR;
    }
    if (!S_ISREG(info.st_mode)) return STORE_MISSING;
    entry.size = info.st_size;
    entry.time = static_cast<long long>(info.st_mtime);
    entry.record_state = read_quarantine_record(entry.path, entry.record);
    if (entry.record_state == QRECORD_OK) entry.time = entry.record.time;
    return STORE_OK;
}

}  // namespace

bool valid_id(const std::string& id) {
    if (id.empty() || id.size() > NAME_MAX || id[0] == '.') return false;
    for (unsigned char c : id)
        if (c <= 0x20 || c >= 0x7f || c == '/') return false;
    const std::string record_suffix = kQuarantineRecordSuffix;
    return !ends_with(id, record_suffix) && !ends_with(id, record_suffix + ".tmp");
}

int store_list(const std::string& directory, std::vector<qentry>& entries) {
    entries.clear();
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        log(Errors, "quarantine: cannot open directory %s - %s", directory.c_str(), stdlib_error(errno));
        return STORE_ERROR;
    }
    int result = STORE_OK;
    for (;;) {
        errno = 0;
        const dirent* item = readdir(dir);
        if (item == nullptr) {
            if (errno != 0) {
                log(Errors, "quarantine: cannot read directory %s - %s", directory.c_str(), stdlib_error(errno));
                result = STORE_ERROR;
            }
            break;
        }
        const std::string name = item->d_name;
        if (!valid_id(name)) continue;
        qentry entry;
        const int loaded = load_entry(directory, name, entry);
        if (loaded == STORE_OK) entries.push_back(std::move(entry));
        else if (loaded == STORE_ERROR) result = STORE_ERROR;
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const qentry& a, const qentry& b) {
        return a.time != b.time ? a.time < b.time : a.id < b.id;
    });
    return result;
}

int store_find(const std::string& directory, const std::string& id, qentry& entry) {
    if (!valid_id(id)) return STORE_BAD_ID;
    return load_entry(directory, id, entry);
}

int store_remove(const qentry& entry) {
    if (unlink(entry.path.c_str()) != 0) {
        log(Errors, "quarantine: cannot remove %s - %s", entry.path.c_str(), stdlib_error(errno));
        return STORE_ERROR;
    }
    const std::string record = quarantine_record_path(entry.path);
    if (unlink(record.c_str()) != 0 && errno != ENOENT) {
        log(Errors, "quarantine: cannot remove envelope record %s - %s", record.c_str(), stdlib_error(errno));
        return STORE_ERROR;
    }
    return STORE_OK;
}

int store_headers(const qentry& entry, std::string& headers, bool& cut) {
    headers.clear();
    cut = false;
    unique_fd fd(open(entry.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        log(Errors, "quarantine: cannot open %s - %s", entry.path.c_str(), stdlib_error(errno));
        return STORE_ERROR;
    }
    char buffer[kFilesChunk];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            log(Errors, "quarantine: cannot read %s - %s", entry.path.c_str(), stdlib_error(errno));
            return STORE_ERROR;
        }
        if (n == 0) break;
        headers.append(buffer, static_cast<size_t>(n));
        // The block ends at the first empty line, with or without CR.
        size_t end = std::string::npos;
        if (headers.rfind("\n", 0) == 0 || headers.rfind("\r\n", 0) == 0) end = 0;
        for (const char* blank : {"\n\n", "\n\r\n"}) {
            const size_t at = headers.find(blank);
            if (at != std::string::npos && (end == std::string::npos || at + 1 < end)) end = at + 1;
        }
        if (end != std::string::npos) {
            headers.resize(end);
            return STORE_OK;
        }
        if (headers.size() > kHeadersMax) {
            headers.resize(kHeadersMax);
            cut = true;
            return STORE_OK;
        }
    }
    return STORE_OK;
}

}  // namespace kv
