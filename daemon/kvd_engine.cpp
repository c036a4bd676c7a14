#include "kvd_engine.h"

#include <clamav.h>
#include <dirent.h>
#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_result.h"

namespace kvd {
namespace {

// The extensions of the files the engine loads from a database directory.
const char* const kDatabaseExtensions[] = {
    "cvd", "cld", "cud", "db",  "hdb", "hdu", "hsb", "hsu", "mdb", "mdu", "msb", "msu", "ndb",  "ndu",  "ldb",
    "ldu", "sdb", "zmd", "rmd", "idb", "fp",  "sfp", "gdb", "pdb", "wdb", "cdb", "cat", "crb",  "cbc",  "ftm",
    "cfg", "ign", "ign2", "imp", "ioc", "yar", "yara", "pwdb"};

bool is_database_name(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    const std::string extension = name.substr(dot + 1);
    return std::any_of(std::begin(kDatabaseExtensions), std::end(kDatabaseExtensions),
                       [&](const char* known) { return strcasecmp(known, extension.c_str()) == 0; });
}

// The database files of a directory, sorted.
std::vector<std::string> database_files(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        if (is_database_name(entry->d_name)) names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// What the library said during one scan.
struct scan_messages {
    std::string first_error;
};
// The scan this thread runs, if any: the library calls back in the scanning thread.
thread_local scan_messages* current_scan = nullptr;

// The library's messages, logged; during a scan its errors are kept too,
// because it may answer "clean" after one.
void on_engine_message(enum cl_msg severity, const char*, const char* message, void*) {
    std::string text = message != nullptr ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const int level = severity >= CL_MSG_ERROR ? kv::Errors : severity >= CL_MSG_WARN ? kv::Verbose : kv::Debug;
    kv::log(level, "kervald: engine: %s", text.c_str());
    if (current_scan != nullptr && severity >= CL_MSG_ERROR && current_scan->first_error.empty()) {
        current_scan->first_error = text.empty() ? "unspecified engine error" : text;
    }
}

// Starts the library once per process; the result of that one start.
cl_error_t start_library() {
    static std::once_flag once;
    static cl_error_t result = CL_SUCCESS;
    std::call_once(once, [] {
        cl_set_clcb_msg(on_engine_message);
        result = cl_init(CL_INIT_DEFAULT);
    });
    return result;
}

// A part of a file, read through the engine's map callback.
struct file_part {
    int fd;
    int64_t offset;
    int64_t length;
};

off_t read_part(void* handle, void* buffer, size_t count, off_t offset) {
    const file_part& part = *static_cast<const file_part*>(handle);
    if (offset < 0 || offset >= part.length) return 0;
    count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), part.length - offset));
    ssize_t got;
    do {
        got = pread(part.fd, buffer, count, part.offset + offset);
    } while (got < 0 && errno == EINTR);
    return got;
}

// An engine failure as the scanning error (or, for its time limit, the
// skipped bit) the protocol has for it.
verdict engine_failure(cl_error_t code) {
    const std::string reason = cl_strerror(code);
    switch (code) {
    case CL_EMEM:
        return failure_verdict(kv::KV_NOMEMORY, "scan error", reason);
    case CL_ETIMEOUT:
        return failure_verdict(kv::KV_TIMEOUT, "not checked", reason);
    case CL_ECREAT:
    case CL_EWRITE:
    case CL_ETMPFILE:
    case CL_ETMPDIR:
    case CL_EUNLINK:
    case CL_EDUP:
        return failure_verdict(kv::KV_WRITE_ERROR, "scan error", reason);
    default:
        return failure_verdict(kv::KV_READ_ERROR, "scan error", reason);
    }
}

bool set_number(cl_engine* e, cl_engine_field field, long long value, const char* what, std::string& error) {
    const cl_error_t code = cl_engine_set_num(e, field, value);
    if (code != CL_SUCCESS) error = std::string("cannot set ") + what + " - " + cl_strerror(code);
    return code == CL_SUCCESS;
}

}  // namespace

engine::~engine() {
    if (handle_ != nullptr) cl_engine_free(handle_);
}

std::shared_ptr<const engine> engine::load(const engine_settings& s, std::string& error) {
    const cl_error_t started = start_library();
    if (started != CL_SUCCESS) {
        error = std::string("cannot start the engine library - ") + cl_strerror(started);
        return nullptr;
    }
    struct stat info;
    if (stat(s.directory.c_str(), &info) != 0) {
        error = kv::stdlib_error(errno);
        return nullptr;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = "not a directory";
        return nullptr;
    }
    const std::vector<std::string> files = database_files(s.directory);
    if (files.empty()) {
        error = "no signature databases there";
        return nullptr;
    }
    std::shared_ptr<engine> e(new engine());
    e->handle_ = cl_engine_new();
    if (e->handle_ == nullptr) {
        error = "cannot create an engine";
        return nullptr;
    }
    const engine_limits& l = s.limits;
    const uint64_t max_signed = LLONG_MAX;
    if (!set_number(e->handle_, CL_ENGINE_MAX_FILESIZE, static_cast<long long>(std::min(l.max_file_size, max_signed)),
                    "the largest file size", error) ||
        !set_number(e->handle_, CL_ENGINE_MAX_SCANSIZE, static_cast<long long>(std::min(l.max_scan_size, max_signed)),
                    "the scan size", error) ||
        !set_number(e->handle_, CL_ENGINE_MAX_RECURSION, l.max_recursion, "the recursion depth", error) ||
        !set_number(e->handle_, CL_ENGINE_MAX_FILES, l.max_files, "the files per archive", error) ||
        !set_number(e->handle_, CL_ENGINE_MAX_SCANTIME, static_cast<long long>(l.max_scan_time) * 1000, "the scan time",
                    error)) {
        return nullptr;
    }
    if (!s.temporary_directory.empty()) {
        const cl_error_t code = cl_engine_set_str(e->handle_, CL_ENGINE_TMPDIR, s.temporary_directory.c_str());
        if (code != CL_SUCCESS) {
            error = std::string("cannot set the temporary directory - ") + cl_strerror(code);
            return nullptr;
        }
    }
    cl_error_t code = cl_load(s.directory.c_str(), e->handle_, &e->signatures_, CL_DB_STDOPT | CL_DB_PUA);
    if (code == CL_SUCCESS) code = cl_engine_compile(e->handle_);
    if (code != CL_SUCCESS) {
        error = cl_strerror(code);
        return nullptr;
    }
    for (const std::string& name : files) {
        unsigned count = 0;
        if (cl_countsigs((s.directory + "/" + name).c_str(), CL_COUNTSIGS_ALL, &count) != CL_SUCCESS) count = 0;
        e->bases_.emplace_back(name, static_cast<int32_t>(std::min<unsigned>(count, INT32_MAX)));
    }
    return e;
}

verdict engine::scan(int fd, int64_t offset, int64_t length, const std::string& name, bool heuristics) const {
    cl_scan_options options{};
    options.general = CL_SCAN_GENERAL_HEURISTICS;
    options.parse = ~0u;
    options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX | CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE |
                        CL_SCAN_HEURISTIC_ENCRYPTED_DOC;
    if (heuristics) {
        options.heuristic |= CL_SCAN_HEURISTIC_BROKEN | CL_SCAN_HEURISTIC_MACROS |
                             CL_SCAN_HEURISTIC_PHISHING_SSL_MISMATCH | CL_SCAN_HEURISTIC_PHISHING_CLOAK |
                             CL_SCAN_HEURISTIC_PARTITION_INTXN | CL_SCAN_HEURISTIC_BROKEN_MEDIA;
    }
    const char* found = nullptr;
    unsigned long scanned = 0;
    scan_messages messages;
    current_scan = &messages;
    cl_error_t code;
    if (length < 0) {
        code = cl_scandesc(fd, name.c_str(), &found, &scanned, handle_, &options);
    } else {
        file_part part{fd, offset, length};
        cl_fmap_t* map = cl_fmap_open_handle(&part, 0, static_cast<size_t>(length), read_part, 1);
        code = map != nullptr ? cl_scanmap_callback(map, name.c_str(), &found, &scanned, handle_, &options, nullptr)
                              : CL_EMEM;
        if (map != nullptr) cl_fmap_close(map);
    }
    current_scan = nullptr;
    if (code == CL_VIRUS) return finding_verdict(found != nullptr ? found : "Unnamed");
    if (code == CL_CLEAN && messages.first_error.empty()) return clean_verdict();
    // An error the library only reported still means the object was not scanned.
    const std::string reason = code != CL_CLEAN ? cl_strerror(code) : messages.first_error;
    kv::log(kv::Errors, "kervald: the engine failed on %s - %s", name.c_str(), reason.c_str());
    return code != CL_CLEAN ? engine_failure(code) : failure_verdict(kv::KV_READ_ERROR, "scan error", reason);
}

bool holds_databases(const std::string& directory) { return !database_files(directory).empty(); }

std::string engine_version() { return std::string("libclamav ") + cl_retver(); }

std::shared_ptr<const engine> engine_slot::get() const {
    std::lock_guard<std::mutex> hold(lock_);
    return engine_;
}

void engine_slot::set(std::shared_ptr<const engine> e) {
    std::shared_ptr<const engine> old;
    {
        std::lock_guard<std::mutex> hold(lock_);
        old = std::move(engine_);
        engine_ = std::move(e);
    }
    // The old engine, if nobody scans with it any more, is freed here, outside the lock.
}

}  // namespace kvd
