#include "kvd_request.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "kvc_fd.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_proto.h"
#include "kvc_result.h"
#include "kvc_version.h"
#include "kvd_scan.h"

namespace kvd {
namespace {

namespace ipc = kv::ipc;
namespace proto = kv::proto;

constexpr uint32_t TEXT_MAX = 4096;    // names and addresses
constexpr uint32_t LIST_MAX = 100000;  // recipients, list entries, stat pairs
constexpr size_t NOTE_MAX = 64 * 1024;  // what the record keeps of a request's lists
constexpr size_t PIECE = 64 * 1024;    // content is received in pieces of this size

// Reads an int length and that many bytes, refusing lengths above max before
// reading them.
bool read_bounded(ipc::channel& ch, uint32_t max, std::string& out, const char* what) {
    uint32_t length = 0;
    if (!proto::read_int(ch, length)) return false;
    if (length > max) {
        kv::log(kv::Errors, "kervald: %s of %u bytes refused (at most %u)", what, length, max);
        return false;
    }
    out.assign(length, '\0');
    return length == 0 || proto::read_buf(ch, length, out.data());
}

// A received text without the NULs a sender may have included.
std::string text_of(std::string text) {
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

bool read_count(ipc::channel& ch, uint32_t& count, const char* what) {
    if (!proto::read_int(ch, count)) return false;
    if (count > LIST_MAX) {
        kv::log(kv::Errors, "kervald: %u %s refused (at most %u)", count, what, LIST_MAX);
        return false;
    }
    return true;
}

std::string hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%#x", value);
    return text;
}

// Adds to a request's note while it is within NOTE_MAX; the rest is marked once.
void note_more(std::string& note, const std::string& text) {
    if (note.size() >= NOTE_MAX) return;
    note += text;
    if (note.size() >= NOTE_MAX) note += "...";
}

bool write_full(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t done = write(fd, data, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

// Reads size bytes of content off the channel into fd, or drops them when fd is
// -1. False when the channel failed; a failed write is kept in problem and the
// rest of the content is read and dropped.
bool receive_content(ipc::channel& ch, int fd, uint64_t size, std::string& problem) {
    std::string piece(static_cast<size_t>(std::min<uint64_t>(PIECE, size)), '\0');
    for (uint64_t done = 0; done < size;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), size - done));
        if (!proto::read_buf(ch, want, piece.data())) return false;
        done += want;
        if (fd >= 0 && problem.empty() && !write_full(fd, piece.data(), want)) {
            problem = kv::stdlib_error(errno);
            kv::log(kv::Errors, "kervald: cannot keep the received content - %s", problem.c_str());
        }
    }
    return true;
}

// An unnamed file in dir that goes away when it is closed.
kv::unique_fd temporary_file(const std::string& dir, std::string& problem) {
    kv::unique_fd fd(open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string path = dir + "/kervald.XXXXXX";
        fd.reset(mkostemp(path.data(), O_CLOEXEC));
        if (fd.valid()) unlink(path.c_str());
    }
    if (!fd.valid()) {
        problem = kv::stdlib_error(errno);
        kv::log(kv::Errors, "kervald: cannot create a temporary file in %s - %s", dir.c_str(), problem.c_str());
    }
    return fd;
}

// Scans length bytes at offset of fd with the engine, or with the built-in
// matcher when there is none (length < 0: the whole file of size bytes).
verdict scan_file(const engine* e, int fd, int64_t offset, int64_t length, int64_t size, uint32_t options,
                  const std::string& name) {
    if ((length < 0 ? size - offset : length) == 0) return clean_verdict();
    if (e != nullptr) return e->scan(fd, offset, length, name, (options & kv::KV_OPT_HEURISTIC) != 0);
    return builtin_scan(fd, offset, length < 0 ? size - offset : length, (options & kv::KV_OPT_CURE) != 0, name);
}

// A file named by the client: opened (for writing too when the built-in
// matcher is to cure it), never waiting on something that is not a regular file.
kv::unique_fd open_local(const engine* e, const std::string& path, uint32_t options, int64_t& size,
                         verdict& failure) {
    const bool writable = (options & kv::KV_OPT_CURE) && e == nullptr;
    kv::unique_fd file;
    if (path.find('\0') != std::string::npos) {
        failure = read_failure("the name holds a NUL byte");
        return file;
    }
    if (writable) {
        file.reset(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!file.valid() && errno != ENOENT) {
            kv::log(kv::Errors, "kervald: cannot open %s for curing - %s", path.c_str(), kv::stdlib_error(errno));
        }
    }
    if (!file.valid()) file.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        const int err = errno;
        kv::log(kv::Errors, "kervald: cannot open %s - %s", path.c_str(), kv::stdlib_error(err));
        failure = read_failure(kv::stdlib_error(err));
        return file;
    }
    struct stat info;
    if (fstat(file.get(), &info) != 0) {
        failure = read_failure(kv::stdlib_error(errno));
        file.reset();
    } else if (!S_ISREG(info.st_mode)) {
        kv::log(kv::Errors, "kervald: %s is not a regular file", path.c_str());
        failure = failure_verdict(kv::KV_NO_REGULAR_FILE, "not checked", "not a regular file");
        file.reset();
    } else {
        size = info.st_size;
    }
    return file;
}

std::string found_names(const verdict& v) {
    std::string names;
    for (const std::string& line : v.viruses) {
        names += ' ';
        names.append(line, 0, line.rfind(','));
    }
    return names;
}

struct outcome {
    answer reply;
    std::string note;
    uint64_t drain = 0;  // content bytes still to be read after the answer
};

// A scan request (command 1) after its command code.
bool serve_scan(ipc::channel& ch, const service& svc, const answer_settings& s, outcome& out) {
    uint32_t options = 0;
    uint32_t options2 = 0;
    if (!proto::read_int(ch, options)) return false;
    if ((options & kv::KV_OPT_EXTENDED) && !proto::read_int(ch, options2)) return false;
    std::string& note = out.note;
    note = "scan options=" + hex(options);
    if (options & kv::KV_OPT_EXTENDED) note += " options2=" + hex(options2);
    if (options & kv::KV_OPT_MAIL) {
        std::string sender;
        uint32_t count = 0;
        if (!read_bounded(ch, TEXT_MAX, sender, "sender") || !read_count(ch, count, "recipients")) return false;
        note += " sender=" + sender + " recipients=";
        std::string recipients;
        for (uint32_t i = 0; i < count; ++i) {
            std::string recipient;
            if (!read_bounded(ch, TEXT_MAX, recipient, "recipient")) return false;
            note_more(recipients, (i > 0 ? "," : "") + recipient);
        }
        note += recipients;
    }
    std::string name;
    uint32_t size = 0;
    if (!read_bounded(ch, TEXT_MAX, name, "object name") || !proto::read_int(ch, size)) return false;
    name = text_of(name);
    const bool local = size == 0 && !name.empty();
    // One engine for the whole request, even when a reload swaps in another meanwhile.
    const std::shared_ptr<const engine> e = svc.engines.get();
    verdict v;
    kv::unique_fd file;  // holds the scanned (and perhaps cured) file until the answer is sent
    if (size > svc.settings.max_content) {
        kv::log(kv::Errors, "kervald: content of %u bytes refused (at most %u)", size, svc.settings.max_content);
        v = failure_verdict(kv::KV_INVALID_CALL, "refused",
                            "content of " + std::to_string(size) + " bytes is more than the " +
                                std::to_string(svc.settings.max_content) + " bytes accepted");
        out.drain = size;
    } else if (local) {
        int64_t file_size = 0;
        file = open_local(e.get(), name, options, file_size, v);
        if (file.valid()) v = scan_file(e.get(), file.get(), 0, -1, file_size, options, name);
    } else {
        kv::log(kv::Verbose, "kervald: receiving %u bytes of content for %s", size, name.c_str());
        std::string problem;
        file = temporary_file(svc.settings.temporary_directory, problem);
        if (!receive_content(ch, file.get(), size, problem)) return false;
        if (!problem.empty()) {
            v = failure_verdict(kv::KV_WRITE_ERROR, "write error", problem);
        } else {
            v = scan_file(e.get(), file.get(), 0, -1, size, options, name);
        }
    }
    const uint32_t status = s.status.value_or(v.status);
    note += " name=" + name + " size=" + std::to_string(size) + " mode=" + (local ? "local" : "content") +
            " status=" + hex(status);
    kv::log(kv::Info, "kervald: scan of %s (%s mode, %u bytes): status %#x%s", name.c_str(),
            local ? "local" : "content", size, status, found_names(v).c_str());
    out.reply = scan_answer(s, options, local, name, std::move(v));
    if (out.reply.copy_fd >= 0) out.reply.copy_fd = file.release();  // closed by serve_connection
    return true;
}

// A part scan (command 5) after its command code.
bool serve_part(ipc::channel& ch, const service& svc, const answer_settings& s, outcome& out) {
    int32_t offset = 0;
    int32_t length = 0;
    uint32_t options = 0;
    uint32_t options2 = 0;
    std::string name;
    if (!proto::read_int(ch, offset) || !proto::read_int(ch, length) || !proto::read_int(ch, options)) return false;
    if ((options & kv::KV_OPT_EXTENDED) && !proto::read_int(ch, options2)) return false;
    if (!read_bounded(ch, TEXT_MAX, name, "object name")) return false;
    name = text_of(name);
    const std::shared_ptr<const engine> e = svc.engines.get();
    verdict v;
    int64_t size = 0;
    kv::unique_fd file = open_local(e.get(), name, options, size, v);
    if (file.valid()) {
        if (offset < 0 || offset > size) {
            v = read_failure("bad size or offset");
        } else {
            const int64_t part = length < 0 || offset + int64_t{length} > size ? size - offset : length;
            v = scan_file(e.get(), file.get(), offset, part, size, options, name);
        }
    }
    const uint32_t status = s.status.value_or(v.status);
    out.note = "part options=" + hex(options) + (options & kv::KV_OPT_EXTENDED ? " options2=" + hex(options2) : "") +
               " offset=" + std::to_string(offset) + " length=" + std::to_string(length) + " name=" + name +
               " status=" + hex(status);
    kv::log(kv::Info, "kervald: part scan of %s (%d bytes at %d): status %#x%s", name.c_str(), length, offset, status,
            found_names(v).c_str());
    out.reply = scan_answer(s, options, true, name, std::move(v));
    if (out.reply.copy_fd >= 0) out.reply.copy_fd = file.release();
    return true;
}

// The statistics agent's exchange: two ints, a stat block, the known viruses
// and the modifications; the answer is one int.
bool serve_agent(ipc::channel& ch, const answer_settings& s, outcome& out) {
    int32_t first = 0;
    int32_t second = 0;
    uint32_t pairs = 0;
    if (!proto::read_int(ch, first) || !proto::read_int(ch, second) || !read_count(ch, pairs, "stat pairs")) {
        return false;
    }
    std::string& note = out.note;
    note = "agent " + std::to_string(first) + " " + std::to_string(second) + "\n";
    for (uint32_t i = 0; i < pairs; ++i) {
        uint32_t mask = 0;
        int32_t number = 0;
        if (!proto::read_int(ch, mask) || !proto::read_int(ch, number)) return false;
        note_more(note, "stat " + hex(mask) + " " + std::to_string(number) + "\n");
    }
    for (const char* kind : {"known", "modification"}) {
        uint32_t count = 0;
        if (!read_count(ch, count, "list entries")) return false;
        for (uint32_t i = 0; i < count; ++i) {
            std::string entry;
            if (!read_bounded(ch, TEXT_MAX, entry, "list entry")) return false;
            note_more(note, std::string(kind) + " " + text_of(entry) + "\n");
        }
    }
    note += "answer " + std::to_string(s.agent_answer);
    kv::log(kv::Info, "kervald: statistics received, answering %d", s.agent_answer);
    proto::encode_int(out.reply.head, static_cast<uint32_t>(s.agent_answer));
    return true;
}

// The answers to the three queries.
bool serve_query(int32_t command, const service& svc, const answer_settings& s, outcome& out) {
    const std::shared_ptr<const engine> e = svc.engines.get();
    std::string& answer = out.reply.head;
    switch (command) {
    case kv::KV_CMD_VERSION:
        proto::encode_int(answer, s.version);
        out.note = "version";
        return true;
    case kv::KV_CMD_ID: {
        std::string own = "kervald " KV_VERSION " (";
        if (e) {
            own += engine_version();
            own += ", " + std::to_string(e->signatures()) + " signatures)";
        } else {
            own += "built-in EICAR test file matcher)";
        }
        proto::encode_bytestring(answer, s.id.value_or(own));
        out.note = "id";
        return true;
    }
    case kv::KV_CMD_BASES: {
        const std::vector<std::pair<std::string, int32_t>> builtin = {{"builtin-eicar", 1}};
        const auto& bases = s.bases ? *s.bases : e ? e->bases() : builtin;
        proto::encode_int(answer, static_cast<uint32_t>(bases.size()));
        for (const auto& [name, records] : bases) {
            proto::encode_bytestring(answer, name);
            proto::encode_int(answer, static_cast<uint32_t>(records));
        }
        out.note = "bases";
        return true;
    }
    default:
        kv::log(kv::Errors, "kervald: unknown command %d", command);
        return false;
    }
}

}  // namespace

void service::record(const std::string& text) {
    if (settings.record.empty()) return;
    std::lock_guard<std::mutex> hold(record_lock_);
    kv::unique_fd file(open(settings.record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!file.valid() || !write_full(file.get(), text.data(), text.size()) || file.close() != 0) {
        kv::log(kv::Errors, "kervald: cannot record the request in %s - %s", settings.record.c_str(),
                kv::stdlib_error(errno));
    }
}

void serve_connection(ipc::channel& ch, service& svc) {
    kv::log(kv::Verbose, "kervald: serving a connection from %s", ch.remote.text.c_str());
    answer_settings s = svc.settings.answers;
    if (!svc.settings.control.empty()) apply_control_file(s, svc.settings.control);
    outcome out;
    bool ok = false;
    if (svc.settings.agent) {
        ok = serve_agent(ch, s, out);
    } else {
        int32_t command = 0;
        if (!proto::read_int(ch, command)) {
            kv::log(kv::Info, "kervald: connection from %s closed without a request", ch.remote.text.c_str());
            return;
        }
        if (command == kv::KV_CMD_SCAN) {
            ok = serve_scan(ch, svc, s, out);
        } else if (command == kv::KV_CMD_SCAN_PART) {
            ok = serve_part(ch, svc, s, out);
        } else if (!serve_query(command, svc, s, out)) {
            return;
        } else {
            ok = true;
        }
    }
    // The cured copy's file, when the answer is sent from one.
    kv::unique_fd copy(out.reply.copy_fd);
    if (!ok) {
        if (ch.last_code == ipc::IPC_TIMEOUT) {
            kv::log(kv::Errors, "kervald: connection from %s timed out in the middle of a request - closed",
                    ch.remote.text.c_str());
        } else {
            kv::log(kv::Errors, "kervald: incomplete or refused request - connection closed");
        }
        return;
    }
    svc.record(svc.settings.agent ? out.note + "\n"
                                  : out.note + " answer=" + std::to_string(out.reply.size()) + "\n");
    if (s.delay) std::this_thread::sleep_for(std::chrono::milliseconds(*s.delay));
    if (s.stall) {
        kv::log(kv::Info, "kervald: stalling: no answer until the client gives up");
        char byte = 0;
        size_t one = 1;
        while (ipc::recv(ch, &byte, one) == ipc::IPC_OK) one = 1;
        return;
    }
    uint64_t limit = out.reply.size();
    if (s.close_after && *s.close_after < limit) {
        limit = *s.close_after;
        kv::log(kv::Info, "kervald: closing after %llu of %llu answer bytes", static_cast<unsigned long long>(limit),
                static_cast<unsigned long long>(out.reply.size()));
    }
    if (!send_answer(ch, out.reply, limit)) {
        kv::log(kv::Errors, "kervald: cannot send the answer");
        return;
    }
    std::string ignored;
    if (out.drain > 0 && !receive_content(ch, -1, out.drain, ignored)) {
        kv::log(kv::Verbose, "kervald: the refused content did not arrive whole");
    }
}

}  // namespace kvd
