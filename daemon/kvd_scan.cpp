#include "kvd_scan.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "kvc_fd.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_result.h"

namespace kvd {
namespace {

constexpr int64_t LOCAL_FILE_MAX = 256 << 20;
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

}  // namespace

std::string eicar() {
    std::string text = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$";
    text += "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    return text;
}

verdict scan_content(std::string& content, bool cure) {
    const std::string needle = eicar();
    verdict v;
    int found = 0;
    for (size_t at = content.find(needle); at != std::string::npos; at = content.find(needle, at + needle.size())) {
        ++found;
        if (cure) content.replace(at, needle.size(), std::string(needle.size(), ' '));
    }
    if (found == 0) {
        v.report = {"{name} ok\n"};
        return v;
    }
    v.status = kv::KV_KNOWN_VIRUS;
    v.viruses = {std::string(kVirus) + ",K"};
    v.report = {"{name} infected: " + std::string(kVirus) + "\n"};
    v.stats = {{kv::KV_KNOWN_VIRUS, found}};
    if (cure) {
        v.status |= kv::KV_CURED;
        v.report.push_back("{name} cured\n");
        v.stats.push_back({kv::KV_CURED, found});
        v.cured = content;
    }
    return v;
}

verdict read_failure(const std::string& reason) {
    verdict v;
    v.status = kv::KV_READ_ERROR;
    v.report = {"{name} read error: " + reason + "\n"};
    v.stats = {{kv::KV_READ_ERROR, 1}};
    return v;
}

verdict scan_local(const std::string& path, int64_t offset, int64_t length, bool cure) {
    kv::unique_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        const int err = errno;
        kv::log(kv::Errors, "kervald: cannot open %s - %s", path.c_str(), kv::stdlib_error(err));
        return read_failure(kv::stdlib_error(err));
    }
    const int64_t size = kv::file_size(file.get());
    if (size < 0 || offset < 0 || offset > size) return read_failure("bad size or offset");
    if (length < 0 || offset + length > size) length = size - offset;
    if (length > LOCAL_FILE_MAX) return read_failure("file too big for the stand-in");
    std::string content(static_cast<size_t>(length), '\0');
    size_t done = 0;
    while (done < content.size()) {
        ssize_t got = pread(file.get(), content.data() + done, content.size() - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return read_failure(got < 0 ? kv::stdlib_error(errno) : "file shrank");
        done += static_cast<size_t>(got);
    }
    file.reset();
    verdict v = scan_content(content, cure);
    if (v.status & kv::KV_CURED) {
        kv::unique_fd out(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        const bool written = out.valid() && pwrite(out.get(), content.data(), content.size(), offset) ==
                                                static_cast<ssize_t>(content.size());
        if (!written || out.close() != 0) {
            kv::log(kv::Errors, "kervald: cannot cure %s - %s", path.c_str(), kv::stdlib_error(errno));
            v.status = (v.status & ~kv::KV_CURED) | kv::KV_WRITE_ERROR;
        }
    }
    return v;
}

std::string scan_answer(const answer_settings& s, uint32_t options, bool local, const std::string& name, verdict v) {
    if (s.status) v.status = *s.status;
    if (s.viruses) v.viruses = *s.viruses;
    if (s.report) v.report = *s.report;
    if (s.stats) v.stats = *s.stats;
    if (s.cured) v.cured = *s.cured;
    namespace proto = kv::proto;
    std::string out;
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
    if ((v.status & kv::KV_MASK_CURED_DELETED) && (!local || (options & kv::KV_OPT_CURE_LOCAL))) {
        proto::encode_int(out, s.cured_length.value_or(static_cast<uint32_t>(v.cured.size())));
        out += v.cured;
    }
    return out;
}

}  // namespace kvd
