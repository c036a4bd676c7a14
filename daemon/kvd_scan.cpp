#include "kvd_scan.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "kvc_lib.h"
#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_proto.h"
#include "kvc_result.h"

namespace kvd {
namespace {

constexpr size_t PIECE = 64 * 1024;
// The longest cured copy the protocol can carry.
constexpr int64_t COPY_MAX = kv::proto::BYTESTRING_MAX;
const char* const kVirus = "EICAR-Test-File";

std::string with_name(std::string line, const std::string& name) {
    const std::string shown = name.empty() ? "object" : name;
    for (size_t at = line.find("{name}"); at != std::string::npos; at = line.find("{name}", at + shown.size())) {
        line.replace(at, 6, shown);
    }
    return line;
}

// The name part of a "name,LETTER" line (the whole line when it has no comma).
std::string virus_name(const std::string& line) {
    const size_t comma = line.rfind(',');
    return comma == std::string::npos ? line : line.substr(0, comma);
}

ssize_t pread_full(int fd, char* buffer, size_t length, int64_t offset) {
    size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, buffer + done, length - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// The offsets of the non-overlapping occurrences of needle in the part of the
// file, read in pieces that keep the last needle-length bytes for the next one.
bool find_all(int fd, int64_t offset, int64_t length, const std::string& needle, std::vector<int64_t>& found,
              std::string& problem) {
    std::string window;
    int64_t window_start = offset;  // file offset of window[0]
    size_t from = 0;                // where in the window the next match may begin
    std::string piece(PIECE, '\0');
    for (int64_t done = 0; done < length;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(PIECE, length - done));
        const ssize_t got = pread_full(fd, piece.data(), want, offset + done);
        if (got < 0) {
            problem = kv::stdlib_error(errno);
            return false;
        }
        if (static_cast<size_t>(got) < want) {
            problem = "file shrank";
            return false;
        }
        done += got;
        window.append(piece, 0, static_cast<size_t>(got));
        for (size_t at = window.find(needle, from); at != std::string::npos; at = window.find(needle, from)) {
            found.push_back(window_start + static_cast<int64_t>(at));
            from = at + needle.size();
        }
        size_t keep_from = window.size() >= needle.size() ? window.size() - (needle.size() - 1) : 0;
        keep_from = std::max(keep_from, std::min(from, window.size()));
        window.erase(0, keep_from);
        window_start += static_cast<int64_t>(keep_from);
        from = from > keep_from ? from - keep_from : 0;
    }
    return true;
}

}  // namespace

std::string eicar() {
    std::string text = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$";
    text += "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    return text;
}

verdict builtin_scan(int fd, int64_t offset, int64_t length, bool cure, const std::string& name) {
    if (cure && length > COPY_MAX) return read_failure("too big for a cured copy");
    const std::string needle = eicar();
    std::vector<int64_t> found;
    std::string problem;
    if (!find_all(fd, offset, length, needle, found, problem)) {
        kv::log(kv::Errors, "kervald: cannot read %s - %s", name.c_str(), problem.c_str());
        return read_failure(problem);
    }
    if (found.empty()) return clean_verdict();
    const int count = static_cast<int>(std::min<size_t>(found.size(), INT32_MAX));
    verdict v;
    v.status = kv::KV_KNOWN_VIRUS;
    v.viruses = {std::string(kVirus) + ",K"};
    v.report = {"{name} infected: " + std::string(kVirus) + "\n"};
    v.stats = {{kv::KV_KNOWN_VIRUS, count}};
    if (!cure) return v;
    const std::string blanks(needle.size(), ' ');
    for (int64_t at : found) {
        if (pwrite(fd, blanks.data(), blanks.size(), at) != static_cast<ssize_t>(blanks.size())) {
            kv::log(kv::Errors, "kervald: cannot cure %s - %s", name.c_str(), kv::stdlib_error(errno));
            v.status |= kv::KV_WRITE_ERROR;
            return v;
        }
    }
    v.status |= kv::KV_CURED;
    v.report.push_back("{name} cured\n");
    v.stats.push_back({kv::KV_CURED, count});
    v.cured_fd = fd;
    v.cured_offset = offset;
    v.cured_length = length;
    return v;
}

uint64_t answer::size() const {
    if (!with_copy) return head.size();
    return head.size() + 4 + static_cast<uint64_t>(copy_fd >= 0 ? copy_length : static_cast<int64_t>(copy_text.size()));
}

answer scan_answer(const answer_settings& s, uint32_t options, bool local, const std::string& name, verdict v) {
    if (s.status) v.status = *s.status;
    if (s.viruses) v.viruses = *s.viruses;
    if (s.report) v.report = *s.report;
    if (s.stats) v.stats = *s.stats;
    namespace proto = kv::proto;
    answer a;
    std::string& out = a.head;
    proto::encode_int(out, v.status);
    if (options & kv::KV_OPT_VIRUSES) {
        std::vector<std::string> names;
        for (const std::string& line : v.viruses) names.push_back(virus_name(line));
        proto::encode_list(out, names, false);
    }
    if (options & kv::KV_OPT_VIRUS_CATEGORIES) proto::encode_list(out, v.viruses, false);
    if (options & kv::KV_OPT_RULE) proto::encode_bytestring(out, s.rule.value_or(""));
    if (options & kv::KV_OPT_REPORT) {
        std::vector<std::string> lines;
        for (const std::string& line : v.report) lines.push_back(with_name(line, name));
        proto::encode_list(out, lines, false);
    }
    if (options & kv::KV_OPT_STATISTICS) proto::encode_stat(out, v.stats);
    a.with_copy = (v.status & kv::KV_MASK_CURED_DELETED) && (!local || (options & kv::KV_OPT_CURE_LOCAL));
    if (!a.with_copy) return a;
    if (s.cured || v.cured_fd < 0) {
        a.copy_text = s.cured.value_or("");
    } else {
        a.copy_fd = v.cured_fd;
        a.copy_offset = v.cured_offset;
        a.copy_length = v.cured_length;
    }
    const uint64_t copy_size = a.size() - a.head.size() - 4;
    a.announced = s.cured_length.value_or(static_cast<uint32_t>(copy_size));
    return a;
}

bool send_answer(kv::ipc::channel& ch, const answer& a, uint64_t limit) {
    // Sends bytes while the limit lasts; false only when the channel failed.
    auto emit = [&](const char* data, size_t length) {
        length = static_cast<size_t>(std::min<uint64_t>(length, limit));
        limit -= length;
        return length == 0 || kv::proto::write_buf(ch, length, data);
    };
    if (!emit(a.head.data(), a.head.size())) return false;
    if (!a.with_copy) return true;
    std::string length;
    kv::proto::encode_int(length, a.announced);
    if (!emit(length.data(), length.size())) return false;
    if (a.copy_fd < 0) return emit(a.copy_text.data(), a.copy_text.size());
    std::string piece(PIECE, '\0');
    for (int64_t done = 0; done < a.copy_length && limit > 0;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(PIECE, a.copy_length - done));
        const ssize_t got = pread_full(a.copy_fd, piece.data(), want, a.copy_offset + done);
        if (got != static_cast<ssize_t>(want)) {
            kv::log(kv::Errors, "kervald: cannot read the cured copy - %s",
                    got < 0 ? kv::stdlib_error(errno) : "file shrank");
            return false;
        }
        if (!emit(piece.data(), want)) return false;
        done += got;
    }
    return true;
}

}  // namespace kvd
