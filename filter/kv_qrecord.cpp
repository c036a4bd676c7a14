#include "kv_qrecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kv_files.h"
#include "kv_handles.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

constexpr const char* kMagic = "kerval-quarantine-record 1";

std::string escape(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7f || c == '%') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool unescape(const std::string& value, std::string& out) {
    out.clear();
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        const int high = i + 1 < value.size() ? hex_digit(value[i + 1]) : -1;
        const int low = i + 2 < value.size() ? hex_digit(value[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string quarantine_record_path(const std::string& message_path) { return message_path + kQuarantineRecordSuffix; }

std::string format_quarantine_record(const quarantine_record& record) {
    std::string text = std::string(kMagic) + "\n";
    text += "sender " + escape(record.sender) + "\n";
    for (const std::string& rcpt : record.recipients) text += "rcpt " + escape(rcpt) + "\n";
    text += "queue_id " + escape(record.queue_id) + "\n";
    text += "time " + std::to_string(record.time) + "\n";
    text += "verdict " + escape(record.verdict) + "\n";
    for (const std::string& virus : record.viruses) text += "virus " + escape(virus) + "\n";
    return text;
}

bool parse_quarantine_record(const std::string& text, quarantine_record& record) {
    record = quarantine_record{};
    size_t start = 0;
    bool first = true;
    bool have_time = false;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) return false;  // every line ends with "\n"
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            if (line != kMagic) return false;
            first = false;
            continue;
        }
        const size_t space = line.find(' ');
        if (space == std::string::npos) return false;
        const std::string key = line.substr(0, space);
        std::string value;
        if (!unescape(line.substr(space + 1), value)) return false;
        if (key == "sender") {
            record.sender = value;
        } else if (key == "rcpt") {
            record.recipients.push_back(value);
        } else if (key == "queue_id") {
            record.queue_id = value;
        } else if (key == "time") {
            char* stop = nullptr;
            errno = 0;
            const long long seconds = strtoll(value.c_str(), &stop, 10);
            if (value.empty() || *stop != '\0' || errno != 0) return false;
            record.time = seconds;
            have_time = true;
        } else if (key == "verdict") {
            record.verdict = value;
        } else if (key == "virus") {
            record.viruses.push_back(value);
        }
        // Other keys belong to later versions of the record: skipped.
    }
    return !first && have_time;
}

int write_quarantine_record(const std::string& message_path, const quarantine_record& record) {
    const std::string path = quarantine_record_path(message_path);
    const std::string temp = path + ".tmp";
    struct stat info;
    const mode_t mode = stat(message_path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0600;
    // A temporary file left by a run that was killed here belongs to this message only.
    (void)unlink(temp.c_str());
    unique_fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        log(Errors, "quarantine: cannot create envelope record %s - %s", temp.c_str(), stdlib_error(errno));
        return QRECORD_FAILED;
    }
    const std::string text = format_quarantine_record(record);
    const char* step = nullptr;
    if (!write_all(fd.get(), text.data(), text.size())) step = "write";
    else if (fchmod(fd.get(), mode) != 0) step = "chmod";
    else if (fsync(fd.get()) != 0) step = "sync";
    else if (fd.close() != 0) step = "close";
    else if (rename(temp.c_str(), path.c_str()) != 0) step = "rename";
    if (step != nullptr) {
        log(Errors, "quarantine: cannot %s envelope record %s - %s", step, path.c_str(), stdlib_error(errno));
        (void)unlink(temp.c_str());
        return QRECORD_FAILED;
    }
    const std::string directory = directory_of(path);
    unique_fd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || fsync(dir.get()) != 0) {
        log(Errors, "quarantine: cannot sync directory %s after envelope record %s - %s", directory.c_str(),
            path.c_str(), stdlib_error(errno));
        (void)unlink(path.c_str());
        return QRECORD_FAILED;
    }
    return QRECORD_OK;
}

int read_quarantine_record(const std::string& message_path, quarantine_record& record) {
    record = quarantine_record{};
    const std::string path = quarantine_record_path(message_path);
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT) return QRECORD_MISSING;
        log(Errors, "quarantine: cannot open envelope record %s - %s", path.c_str(), stdlib_error(errno));
        return QRECORD_BAD;
    }
    std::string text;
    char buffer[kFilesChunk];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            log(Errors, "quarantine: cannot read envelope record %s - %s", path.c_str(), stdlib_error(errno));
            return QRECORD_BAD;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > kQuarantineRecordMax) {
            log(Errors, "quarantine: envelope record %s is larger than %zu bytes", path.c_str(),
                kQuarantineRecordMax);
            return QRECORD_BAD;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    if (!parse_quarantine_record(text, record)) {
        log(Errors, "quarantine: envelope record %s is malformed", path.c_str());
        record = quarantine_record{};
        return QRECORD_BAD;
    }
    return QRECORD_OK;
}

}  // namespace kv
