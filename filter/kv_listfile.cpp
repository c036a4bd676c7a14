#include "kv_listfile.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "kvc_conf.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

const char* skip_blanks(const char* p) {
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// The line as shown in messages: without its line end.
std::string shown(const char* text) {
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

enum class header_result { ok, bad_token, bad_format, bad_number };

// "[version" + anything up to "=" + unsigned number (may be empty) + "]".
header_result parse_version_header(const char* text, unsigned long* version) {
    if (strncasecmp(text + 1, "version", 7) != 0) return header_result::bad_token;
    const char* equals = strchr(text + 8, '=');
    if (equals == nullptr) return header_result::bad_format;
    const char* close = strchr(equals + 1, ']');
    if (close == nullptr) return header_result::bad_format;
    std::string number(equals + 1, close);
    const char* p = number.c_str();
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') {
        *version = 0;
        return header_result::ok;
    }
    if (!isdigit(static_cast<unsigned char>(*p))) return header_result::bad_number;
    errno = 0;
    char* end = nullptr;
    unsigned long value = strtoul(p, &end, 10);
    if (errno == ERANGE || value == ULONG_MAX || *end != '\0') return header_result::bad_number;
    *version = value;
    return header_result::ok;
}

}  // namespace

compiled_regex::~compiled_regex() {
    if (compiled_) regfree(&regex_);
}

bool compiled_regex::compile(const std::string& pattern, bool ignore_case) {
    int flags = REG_EXTENDED | REG_NOSUB | (ignore_case ? REG_ICASE : 0);
    int rc = regcomp(&regex_, pattern.c_str(), flags);
    if (rc != 0) {
        char error[257];
        regerror(rc, &regex_, error, sizeof error);
        log(Errors, "cannot compile regular expression (%s) - %s", pattern.c_str(), error);
        return false;
    }
    compiled_ = true;
    return true;
}

bool compiled_regex::matches(const char* text) const {
    return compiled_ && text != nullptr && regexec(&regex_, text, 0, nullptr, 0) == 0;
}

bool take_keyword(const char*& p, const char* keyword) {
    const char* at = skip_blanks(p);
    size_t length = strlen(keyword);
    if (strncasecmp(at, keyword, length) != 0) return false;
    p = skip_blanks(at + length);
    return true;
}

std::string take_pattern(const char* p) {
    std::string pattern(skip_blanks(p));
    strip_spaces(pattern);
    return pattern;
}

void log_list_failure(const list_file_kind& kind, const char* path) { log(Errors, kind.failure, path); }

bool read_list_file(const char* path, int buffer_size, const char* prefix,
                    const std::function<bool(int line_number, const char* text, unsigned long version)>& rule) {
    struct stat info;
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        // A directory, device or pipe is no list; a device could feed lines forever.
        log(Errors, "%s cannot open file %s - %s", prefix, path, "not a regular file");
        return false;
    }
    FILE* stream = fopen(path, "r");
    if (stream == nullptr) {
        log(Errors, "%s cannot open file %s - %s", prefix, path, stdlib_error(errno));
        return false;
    }
    std::string buffer(static_cast<size_t>(buffer_size), '\0');
    bool ok = true;
    bool have_version = false;
    unsigned long version = 1;
    int line_number = 0;
    while (ok && fgets(buffer.data(), buffer_size, stream) != nullptr) {
        ++line_number;
        const char* text = skip_blanks(buffer.c_str());
        if (*text == '\0' || *text == '#') continue;
        if (!have_version) {
            have_version = true;
            if (*text == '[') {
                switch (parse_version_header(text, &version)) {
                case header_result::ok:
                    continue;
                case header_result::bad_token:
                    log(Errors, "%s parse version token - wrong line(%d) %s", prefix, line_number, shown(text).c_str());
                    break;
                case header_result::bad_format:
                    log(Errors, "%s parse version - wrong line(%d) %s", prefix, line_number, shown(text).c_str());
                    break;
                case header_result::bad_number:
                    log(Errors, "%s parse version number - wrong line(%d) %s", prefix, line_number,
                        shown(text).c_str());
                    break;
                }
                ok = false;
                break;
            }
        }
        ok = rule(line_number, text, version);
    }
    if (ok && ferror(stream)) {
        log(Errors, "%s cannot read file %s - %s", prefix, path, stdlib_error(errno));
        ok = false;
    }
    if (fclose(stream) != 0) {
        log(Errors, "cannot close %s - %s", path, stdlib_error(errno));
        ok = false;
    }
    return ok;
}

}  // namespace kv
