#include "kvc_lib.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>

#include "kvc_addrlist.h"
#include "kvc_fd.h"
#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_proto.h"

namespace kv {
namespace {

constexpr int LIB_MAJOR = 4;
constexpr int LIB_MINOR = 7;
constexpr size_t TRANSFER_PIECE = 4096;

// startup, add_address and cleanup take lifecycle for their whole run. Requests
// read initialized without a lock and take a reference to the address list under
// list_guard, so a clean-up never frees a list that a request is still walking.
struct lib_state {
    std::mutex lifecycle;
    std::atomic<bool> initialized{false};
    std::mutex list_guard;
    std::shared_ptr<addrlist> list;
};

// Never destroyed: a request may still be under way in another thread while the
// process exits.
lib_state& state() {
    static lib_state* s = new lib_state;
    return *s;
}

std::shared_ptr<addrlist> current_list() {
    lib_state& s = state();
    std::lock_guard<std::mutex> lock(s.list_guard);
    return s.list;
}

void set_list(std::shared_ptr<addrlist> list) {
    lib_state& s = state();
    std::shared_ptr<addrlist> previous;
    {
        std::lock_guard<std::mutex> lock(s.list_guard);
        previous = std::move(s.list);
        s.list = std::move(list);
    }
    // The old list goes (unless a request still holds it) outside the lock.
}

bool not_initialized(const char* prefix) {
    if (state().initialized) return false;
    log(Errors, "%s library is not initialized", prefix);
    return true;
}

// The code of a request that failed on the channel: a used-up budget is told
// apart from every other communication failure.
int comm_failure(const ipc::channel& ch) {
    return ch.last_code == ipc::IPC_TIMEOUT ? KV_ERR_TIMEOUT : KV_ERR_COMM;
}

// Gives a request up: says so at Debug, closes the channel and drops any partial
// result; answers code.
int abandon(const char* message, std::unique_ptr<ipc::channel>& ch, std::unique_ptr<scanresult>& result, int code) {
    log(Debug, "%s", message);
    if (ch) (void)close_daemon_channel(ch);
    result.reset();
    return code;
}

// The result of an empty object: nothing to send, nothing found.
int empty_object(uint32_t options, const char* name, uint32_t limit, std::unique_ptr<scanresult>& result) {
    result = scanresult_new();
    result->status = KV_CLEAN_COMPOSITE;
    if (options & KV_OPT_VIRUSES) result->viruses = strings::create(limit);
    if (options & KV_OPT_REPORT) {
        std::string text = std::string(name) + " - the size of the file is equal to zero, skipped\n";
        if (limit != 0) text.resize(std::min<size_t>(text.size(), limit >= 2 ? limit - 2 : 0));
        result->report = std::move(text);
    }
    return KV_OK;
}

// The head of a scan request (command 1) up to and including the content size.
std::string scan_header(uint32_t options, uint32_t options2, const std::string* sender, const strings* recipients,
                        std::string_view name, uint32_t size) {
    std::string header;
    proto::encode_int(header, static_cast<uint32_t>(KV_CMD_SCAN));
    proto::encode_int(header, options);
    if (options & KV_OPT_EXTENDED) proto::encode_int(header, options2);
    if (options & KV_OPT_MAIL) {
        proto::encode_bytestring(header, *sender);
        const std::vector<std::string> none;
        const std::vector<std::string>& items = recipients != nullptr ? recipients->items() : none;
        proto::encode_int(header, static_cast<uint32_t>(items.size()));
        for (const std::string& recipient : items) proto::encode_bytestring(header, recipient);
    }
    proto::encode_bytestring(header, name);
    proto::encode_int(header, size);
    return header;
}

// Reads exactly length bytes unless the file ends first; the count read, or -1.
ssize_t read_full(int fd, char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = read(fd, buffer + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// scanfile and scanmail; op is their name for the messages.
int scan_path(const char* op, std::string_view path, int local, uint32_t options, uint32_t options2,
              std::unique_ptr<scanresult>& result, uint32_t limit, const std::string* sender,
              const strings* recipients, std::string_view content_path, scan_route* route) {
    result.reset();
    if (!state().initialized) {
        log(Errors, "kvlib: %s: library is not initialized", op);
        return KV_ERR_NOT_INIT;
    }
    if (path.empty() || path.size() > KV_NAME_MAX) {
        log(Errors, "kvlib: %s: bad parameters", op);
        return KV_ERR_PARAM;
    }
    // Only scanmail sends an envelope, so only scanmail may announce one.
    options = sender != nullptr ? options | KV_OPT_MAIL : options & ~KV_OPT_MAIL;
    const std::string name(path);
    unique_fd file;
    std::unique_ptr<ipc::channel> ch = open_daemon_channel(local, (options & KV_OPT_NODELAY) ? 1 : 0);
    auto fail = [&](int code) { return abandon("kvlib: scanfile failed", ch, result, code); };
    if (!ch) {
        log(Debug, "kvlib: %s: cannot open scan session with kervald", op);
        return fail(KV_ERR_NO_DAEMON);
    }
    if (local && !ipc::is_local_mode(ch.get())) {
        log(Alerts, "kvlib: %s: cannot use <localscan> mode on backup kervald", op);
        local = 0;
    }
    if (route != nullptr) {
        ipc::address peer = ch->remote;
        ipc::address_text(ch->type, peer);
        route->address = peer.text;
        route->local = local != 0;
    }
    int64_t size = 0;
    if (!local) {
        // The content is read where this process sees the file.
        const std::string source(content_path.empty() ? path : content_path);
        file.reset(open(source.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file.valid()) {
            log(Errors, "kvlib: %s: cannot open file <%s> : %s", op, source.c_str(), stdlib_error(errno));
            return fail(KV_ERR_FILE);
        }
        size = file_size(file.get());
        if (size < 0) {
            log(Errors, "kvlib: %s: cannot determine file <%s> size", op, name.c_str());
            return fail(KV_ERR_FILE);
        }
        if (size > INT32_MAX) {
            log(Errors, "kvlib: %s: file <%s> is too big (%lld bytes)", op, name.c_str(), static_cast<long long>(size));
            return fail(KV_ERR_FILE);
        }
        if (size == 0) {
            int code = empty_object(options, name.c_str(), limit, result);
            file.reset();
            int closed = close_daemon_channel(ch);
            return code != KV_OK ? code : closed;
        }
    }
    const std::string header = scan_header(options, options2, sender, recipients, name, static_cast<uint32_t>(size));
    if (!proto::write_buf(*ch, header.size(), header.data())) return fail(comm_failure(*ch));

    char piece[TRANSFER_PIECE];
    for (int64_t left = size; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, TRANSFER_PIECE));
        ssize_t got = read_full(file.get(), piece, want);
        if (got != static_cast<ssize_t>(want)) {
            log(Errors, "kvlib: %s: cannot read %lld bytes from file <%s>", op, static_cast<long long>(size),
                name.c_str());
            return fail(KV_ERR_FILE);
        }
        if (!proto::write_buf(*ch, want, piece)) return fail(comm_failure(*ch));
        left -= static_cast<int64_t>(want);
    }
    int code = scan::daemon_answer(*ch, options, name.c_str(), result, limit, local);
    if (code != KV_OK) return fail(code);
    file.reset();
    return close_daemon_channel(ch);
}

}  // namespace

int startup(int version, const char* address, int seconds, int resolve) {
    const int major = (version >> 8) & 0xff;
    const int minor = version & 0xff;
    if (major != LIB_MAJOR) {
        log(Errors, "kvlib: startup: library major version (%d) and requested (%d) is different", LIB_MAJOR, major);
        return KV_ERR_PARAM;
    }
    if (minor != LIB_MINOR) {
        log(Alerts, "kvlib: startup: library minor version (%d) and requested (%d) is different", LIB_MINOR, minor);
    }
    lib_state& s = state();
    std::lock_guard<std::mutex> lifecycle(s.lifecycle);
    if (s.initialized) {
        log(Errors, "kvlib: startup: library already initialized");
        return KV_ERR_STATE;
    }
    if (address == nullptr || *address == '\0') {
        log(Errors, "kvlib: startup: daemon address not specified");
        return KV_ERR_PARAM;
    }
    if (ipc::init() != ipc::IPC_OK) {
        log(Verbose, "kvlib: startup: cannot initialize internal IPC system");
        return KV_ERR_COMM;
    }
    std::shared_ptr<addrlist> list = addrlist::create();
    if (!list) {
        log(Verbose, "kvlib: startup: cannot initialize internal IPC system");
        (void)ipc::done();
        return KV_ERR_ADDRLIST;
    }
    if (!list->add(address, seconds, resolve)) {
        log(Verbose, "kvlib: startup: cannot create IPC with specification <%s>", address);
        list.reset();
        (void)ipc::done();
        return KV_ERR_COMM;
    }
    set_list(std::move(list));
    s.initialized = true;
    return KV_OK;
}

int add_address(const std::string& address, int seconds, int resolve) {
    lib_state& s = state();
    std::lock_guard<std::mutex> lifecycle(s.lifecycle);
    // Requests walking the list meanwhile see the new entries or not; the list's
    // own lock keeps each walk whole.
    std::shared_ptr<addrlist> list = current_list();
    if (!list) {
        log(Errors, "kvlib: null args passed to addrlist_add routine");
        return KV_ERR_COMM;
    }
    return list->add(address, seconds, resolve) ? KV_OK : KV_ERR_COMM;
}

int cleanup() {
    lib_state& s = state();
    std::lock_guard<std::mutex> lifecycle(s.lifecycle);
    if (!s.initialized) {
        log(Errors, "kvlib: cleanup: library has not been initialized");
        return KV_ERR_STATE;
    }
    // New requests are refused from here on; those under way finish on the list
    // they hold and the channels they have.
    s.initialized = false;
    set_list(nullptr);
    if (ipc::done() != ipc::IPC_OK) {
        log(Verbose, "kvlib: cleanup: deinitialization of internal IPC system failed");
        return KV_ERR_COMM;
    }
    return KV_OK;
}

std::unique_ptr<ipc::channel> open_daemon_channel(int local_request, int nodelay) {
    // The reference keeps the list alive for this walk even if the library is
    // cleaned up meanwhile.
    const std::shared_ptr<addrlist> list = current_list();
    if (list) {
        bool first = true;
        for (const addr_entry* entry = list->next(nullptr); entry != nullptr; entry = list->next(entry)) {
            std::unique_ptr<ipc::channel> ch;
            const int local = first ? local_request : 0;
            first = false;
            if (ipc::make(addrlist_entry_family(entry), nullptr, addrlist_entry_address(entry),
                          addrlist_entry_timeout(entry), local, 1, ch) == ipc::IPC_OK &&
                ipc::connect(*ch) == ipc::IPC_OK) {
                if (nodelay) (void)ipc::set_nodelay(*ch, nodelay);
                return ch;
            }
            if (ch) (void)ipc::delete_channel(ch);
        }
    }
    log(Errors, "kvlib: cannot create connection with a Kerval daemon");
    return nullptr;
}

int close_daemon_channel(std::unique_ptr<ipc::channel>& ch) {
    if (ipc::delete_channel(ch) != ipc::IPC_OK) {
        log(Verbose, "kvlib: ipc-channel closing failed");
        return KV_ERR_COMM;
    }
    return KV_OK;
}

int get_version(int& major, int& minor) {
    if (not_initialized("kvlib:")) return KV_ERR_NOT_INIT;
    std::unique_ptr<ipc::channel> ch = open_daemon_channel(0, 1);
    if (!ch) return KV_ERR_NO_DAEMON;
    uint32_t version = 0;
    if (!proto::write_int(*ch, KV_CMD_VERSION) || !proto::read_int(*ch, version)) {
        const int code = comm_failure(*ch);
        (void)close_daemon_channel(ch);
        return code;
    }
    major = static_cast<int>(version / 100);
    minor = static_cast<int>(version % 100);
    return close_daemon_channel(ch);
}

int get_id_string(std::optional<std::string>& text) {
    if (not_initialized("kvlib:")) return KV_ERR_NOT_INIT;
    text.reset();
    std::unique_ptr<ipc::channel> ch = open_daemon_channel(0, 1);
    if (!ch) return KV_ERR_NO_DAEMON;
    if (!proto::write_int(*ch, KV_CMD_ID) || !proto::read_bytestring(*ch, text, true)) {
        text.reset();
        const int code = comm_failure(*ch);
        (void)close_daemon_channel(ch);
        return code;
    }
    return close_daemon_channel(ch);
}

int get_bases(std::optional<std::string>& text, int64_t& total) {
    if (not_initialized("kvlib:")) return KV_ERR_NOT_INIT;
    text.reset();
    total = 0;
    strings list;
    std::unique_ptr<ipc::channel> ch = open_daemon_channel(0, 1);
    if (!ch) return KV_ERR_NO_DAEMON;
    uint32_t count = 0;
    bool ok = proto::write_int(*ch, KV_CMD_BASES) && proto::read_int(*ch, count);
    for (uint32_t i = 0; ok && i < count; ++i) {
        std::optional<std::string> name;
        int32_t records = 0;
        ok = proto::read_bytestring(*ch, name, true) && proto::read_int(*ch, records);
        if (!ok) break;
        (void)list.add("Base ");
        (void)list.add(*name);
        (void)list.add(" contains ");
        (void)list.add_integer(records);
        (void)list.add(" records.\n");
        total += records;
    }
    if (!ok) {
        const int code = comm_failure(*ch);
        (void)close_daemon_channel(ch);
        return code;
    }
    text = list.to_linear(0);
    return close_daemon_channel(ch);
}

int scanmail(std::string_view path, int local, uint32_t options, uint32_t options2,
             std::unique_ptr<scanresult>& result, uint32_t report_limit, const std::string& sender,
             const strings* recipients, std::string_view content_path, scan_route* route) {
    return scan_path("scanmail", path, local, options, options2, result, report_limit, &sender, recipients,
                     content_path, route);
}

int scanfile(std::string_view path, int local, uint32_t options, uint32_t options2,
             std::unique_ptr<scanresult>& result, uint32_t report_limit) {
    return scan_path("scanfile", path, local, options, options2, result, report_limit, nullptr, nullptr, {},
                     nullptr);
}

int scanbuffer(const void* buffer, size_t size, uint32_t options, uint32_t options2,
               std::unique_ptr<scanresult>& result, uint32_t report_limit) {
    result.reset();
    if (buffer == nullptr) {
        log(Errors, "kvlib: scanbuffer: bad parameters (null pointer passed)");
        return KV_ERR_PARAM;
    }
    if (size > INT32_MAX) {
        log(Errors, "kvlib: scanbuffer: bad parameters (%zu bytes are too many)", size);
        return KV_ERR_PARAM;
    }
    if (not_initialized("kvlib: scanbuffer:")) return KV_ERR_NOT_INIT;
    if (size == 0) return empty_object(options, "MEMBLOCK", report_limit, result);
    options &= ~KV_OPT_MAIL;
    std::unique_ptr<ipc::channel> ch = open_daemon_channel(0, (options & KV_OPT_NODELAY) ? 1 : 0);
    if (!ch) return KV_ERR_NO_DAEMON;
    const std::string header = scan_header(options, options2, nullptr, nullptr, "", static_cast<uint32_t>(size));
    auto fail = [&](int code) { return abandon("kvlib: scanbuffer: ipc-operation failed", ch, result, code); };
    if (!proto::write_buf(*ch, header.size(), header.data()) || !proto::write_buf(*ch, size, buffer)) {
        return fail(comm_failure(*ch));
    }
    int code = scan::daemon_answer(*ch, options, "[MemoryBuffer]", result, report_limit, 0);
    if (code != KV_OK) return fail(code);
    return close_daemon_channel(ch);
}

int scancallback(const scan_reader& read, std::string_view name, int64_t total, uint32_t options, uint32_t options2,
                 std::unique_ptr<scanresult>& result, uint32_t report_limit) {
    result.reset();
    if (not_initialized("kvlib: scancallback:")) return KV_ERR_NOT_INIT;
    if (!read || name.size() > KV_NAME_MAX || total < 0 || total > INT32_MAX) {
        log(Errors, "kvlib: scancallback: bad parameters (%d.%d.%d) were passed", read ? 0 : 1,
            name.size() > KV_NAME_MAX ? 1 : 0, total < 0 || total > INT32_MAX ? 1 : 0);
        return KV_ERR_PARAM;
    }
    options &= ~KV_OPT_MAIL;
    std::unique_ptr<ipc::channel> ch = open_daemon_channel(0, (options & KV_OPT_NODELAY) ? 1 : 0);
    if (!ch) return KV_ERR_NO_DAEMON;
    auto fail = [&](int code) { return abandon("kvlib: scancallback: ipc-operation failed", ch, result, code); };
    const std::string header = scan_header(options, options2, nullptr, nullptr, name, static_cast<uint32_t>(total));
    if (!proto::write_buf(*ch, header.size(), header.data())) return fail(comm_failure(*ch));
    std::vector<char> piece(TRANSFER_PIECE);
    for (int64_t sent = 0; sent < total;) {
        // Never ask for more than is still due, so the request keeps its announced size.
        const size_t want = static_cast<size_t>(std::min<int64_t>(total - sent, TRANSFER_PIECE));
        const long got = read(piece.data(), want);
        if (got <= 0 || static_cast<size_t>(got) > want) {
            log(Errors, "kvlib: scancallback: read callback returned %ld after %lld of %lld bytes", got,
                static_cast<long long>(sent), static_cast<long long>(total));
            return fail(KV_ERR_COMM);
        }
        if (!proto::write_buf(*ch, static_cast<size_t>(got), piece.data())) return fail(comm_failure(*ch));
        sent += got;
    }
    const std::string object(name);
    int code = scan::daemon_answer(*ch, options, object.empty() ? nullptr : object.c_str(), result, report_limit, 0);
    if (code != KV_OK) return fail(code);
    return close_daemon_channel(ch);
}

int scanfilepart(std::string_view path, int32_t offset, int32_t length, uint32_t options, uint32_t options2,
                 std::unique_ptr<scanresult>& result, uint32_t report_limit) {
    result.reset();
    if (not_initialized("kvlib: scanfilepart:")) return KV_ERR_NOT_INIT;
    if (path.empty() || path.size() > KV_NAME_MAX) {
        log(Errors, "kvlib: scanfilepart: bad parameters");
        return KV_ERR_PARAM;
    }
    options &= ~KV_OPT_MAIL;
    std::unique_ptr<ipc::channel> ch = open_daemon_channel(1, (options & KV_OPT_NODELAY) ? 1 : 0);
    if (!ch) return KV_ERR_NO_DAEMON;
    auto fail = [&](int code) { return abandon("kvlib: scanfilepart: ipc-operation failed", ch, result, code); };
    if (!ipc::is_local_mode(ch.get())) {
        log(Errors, "kvlib: scanfilepart: cannot create session with local kervald");
        return fail(KV_ERR_COMM);
    }
    const std::string name(path);
    std::string request;
    proto::encode_int(request, static_cast<uint32_t>(KV_CMD_SCAN_PART));
    proto::encode_int(request, static_cast<uint32_t>(offset));
    proto::encode_int(request, static_cast<uint32_t>(length));
    proto::encode_int(request, options);
    if (options & KV_OPT_EXTENDED) proto::encode_int(request, options2);
    proto::encode_bytestring(request, name);
    if (!proto::write_buf(*ch, request.size(), request.data())) return fail(comm_failure(*ch));
    int code = scan::daemon_answer(*ch, options, name.c_str(), result, report_limit, 1);
    if (code != KV_OK) return fail(code);
    return close_daemon_channel(ch);
}

namespace scan {

int daemon_answer(ipc::channel& ch, uint32_t options, const char* name, std::unique_ptr<scanresult>& result,
                  uint32_t report_limit, int local) {
    result = scanresult_new();
    scanresult& r = *result;
    auto failed = [&] {
        result.reset();
        return comm_failure(ch);
    };
    // Every part is bounded before its bytes are read: the lists share one budget.
    uint64_t budget = proto::ANSWER_TEXT_MAX;
    const proto::list_limits limits{proto::ANSWER_LINE_MAX, &budget};
    if (!proto::read_int(ch, r.status)) return failed();
    if (options & KV_OPT_VIRUSES) {
        r.viruses = strings::create(report_limit);
        if (!proto::read_list(ch, [&](size_t n, const char* line) { return combiner::add(n, line, *r.viruses); },
                              limits)) {
            return failed();
        }
    }
    if ((options & KV_OPT_VIRUS_CATEGORIES) &&
        !proto::read_list(ch, [&](size_t n, const char* line) { return combiner::parse_viruses(n, line, r.categories); },
                          limits)) {
        return failed();
    }
    if ((options & KV_OPT_RULE) && !proto::read_bytestring(ch, r.rule, true, proto::ANSWER_LINE_MAX)) return failed();
    if (options & KV_OPT_REPORT) {
        r.report = proto::read_report(ch, report_limit, name, limits);
        if (!r.report) return failed();
    }
    if ((options & KV_OPT_STATISTICS) && !proto::read_stat(ch, r.stat)) return failed();
    if ((r.status & KV_MASK_CURED_DELETED) && (!local || (options & KV_OPT_CURE_LOCAL))) {
        log(Debug, "kvlib: scan::daemon_answer going to receive cured file");
        if (!proto::read_bytestring(ch, r.cured_file, false)) return failed();
        log(Verbose, "kvlib: scan::daemon_answer cured file length %ld",
            static_cast<long>(r.cured_file ? r.cured_file->size() : 0));
    }
    return KV_OK;
}

}  // namespace scan

int64_t file_size(int fd) {
    const off_t current = lseek(fd, 0, SEEK_CUR);
    if (current < 0) return -1;
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return -1;
    if (lseek(fd, current, SEEK_SET) < 0) return -1;
    return static_cast<int64_t>(end);
}

}  // namespace kv
