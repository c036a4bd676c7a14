#include "kv_listfile.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include <re2/re2.h>

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

namespace {

// Room for one compiled expression; a pattern that needs more is refused.
constexpr int64_t kRegexMaxMem = 1 << 20;

// GNU extensions the engine lacks; a pattern using one is refused rather than
// read with another meaning.
bool uses_unsupported_anchor(const std::string& pattern) {
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != '\\') continue;
        const char next = pattern[++i];
        if (next == '<' || next == '>' || next == '`' || next == '\'') return true;
    }
    return false;
}

}  // namespace

compiled_regex::compiled_regex() = default;
compiled_regex::~compiled_regex() = default;

bool compiled_regex::compile(const std::string& pattern, bool ignore_case) {
    regex_.reset();
    if (uses_unsupported_anchor(pattern)) {
        log(Errors, "cannot compile regular expression (%s) - %s", pattern.c_str(),
            "\\<, \\>, \\` and \\' are not supported");
        return false;
    }
    RE2::Options options;
    options.set_posix_syntax(true);  // extended POSIX syntax
    options.set_longest_match(true);
    options.set_encoding(RE2::Options::EncodingLatin1);  // one byte, one character
    options.set_case_sensitive(!ignore_case);
    options.set_perl_classes(true);  // \w \s and their kin, as GNU allows them
    options.set_word_boundary(true);  // \b \B
    options.set_one_line(true);       // ^ and $ at the ends of the text only
    options.set_dot_nl(true);         // "." matches any character
    options.set_never_capture(true);
    options.set_max_mem(kRegexMaxMem);
    options.set_log_errors(false);
    auto regex = std::make_unique<RE2>(pattern, options);
    if (!regex->ok()) {
        std::string error = regex->error();
        if (error.size() > 256) error.resize(256);
        log(Errors, "cannot compile regular expression (%s) - %s", pattern.c_str(), error.c_str());
        return false;
    }
    regex_ = std::move(regex);
    return true;
}

bool compiled_regex::matches(const char* text) const {
    return regex_ && text != nullptr && RE2::PartialMatch(text, *regex_);
}

bool compile_rule_regex(compiled_regex& regex, const std::string& pattern, bool ignore_case, const list_line& line) {
    if (regex.compile(pattern, ignore_case)) return true;
    log(Errors, "%s regular expression refused in line %d of %s", line.prefix, line.number, line.path);
    return false;
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

bool read_list_file(const char* path, const char* prefix, const std::function<bool(const list_line& line)>& rule) {
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
    // Whole lines: a piece of a long line (the tail of a comment) is never read
    // as a rule of its own.
    std::string buffer;
    bool ok = true;
    bool have_version = false;
    unsigned long version = 1;
    int line_number = 0;
    for (conf_line got; ok && (got = read_conf_line(stream, buffer)) != conf_line::end;) {
        ++line_number;
        if (got == conf_line::too_long) {
            log(Errors, "%s line %d of %s is longer than %d bytes", prefix, line_number, path,
                static_cast<int>(kConfLineMax));
            ok = false;
            break;
        }
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
        ok = rule(list_line{path, prefix, line_number, text, version});
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
