// kv_listfile: what the three list files (deny list, unnotifiable viruses and
// unnotifiable addresses) share: line reading with a fixed buffer, comments, the
// optional "[version=N]" header, case-insensitive keyword prefixes, the pattern
// clean-up, and compiled POSIX regular expressions.
#pragma once

#include <regex.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kvc_mutex.h"

namespace kv {

// A compiled extended regular expression (REG_NOSUB); freed with its holder.
class compiled_regex {
public:
    compiled_regex() = default;
    compiled_regex(const compiled_regex&) = delete;
    compiled_regex& operator=(const compiled_regex&) = delete;
    ~compiled_regex();
    // Logs "cannot compile regular expression (%s) - %s" on failure.
    bool compile(const std::string& pattern, bool ignore_case);
    bool matches(const char* text) const;

private:
    regex_t regex_{};
    bool compiled_ = false;
};

// Takes the keyword (any case) at *p and moves p past it and the blanks after it.
bool take_keyword(const char*& p, const char* keyword);

// The rest of a rule line as a pattern: leading blanks skipped, unquoted white
// space removed. Quotes are removed by the caller (after an optional "!").
std::string take_pattern(const char* p);


// Reads a list file line by line with a buffer of buffer_size bytes, skipping
// blanks and comments and handling the version header. rule(line_number, text,
// version) parses one rule line (text starts at its first non-blank character)
// and answers false after logging why. Answers false on any failure.
bool read_list_file(const char* path, int buffer_size, const char* prefix,
                    const std::function<bool(int line_number, const char* text, unsigned long version)>& rule);

// What tells one list file apart from the others.
struct list_file_kind {
    int buffer_size;
    const char* prefix;     // message prefix, "users:"
    const char* lock_name;  // "KvLib::UsersLocker"
    const char* failure;    // logged with the path when the file is refused
};

void log_list_failure(const list_file_kind& kind, const char* path);

// A list (entries in file order, optional lock) loaded from path: the whole file
// or nothing. parse_rule appends one entry per rule line or answers false.
template <class List>
std::unique_ptr<List> load_list_file(const char* path, bool with_lock, const list_file_kind& kind,
                                     bool (*parse_rule)(List&, int, const char*, unsigned long)) {
    if (path == nullptr) return nullptr;
    auto list = std::make_unique<List>();
    if (with_lock) list->lock = mutex_create(kind.lock_name);
    bool ok = read_list_file(path, kind.buffer_size, kind.prefix,
                             [&](int line_number, const char* text, unsigned long version) {
                                 return parse_rule(*list, line_number, text, version);
                             });
    if (!ok) {
        log_list_failure(kind, path);
        return nullptr;
    }
    return list;
}

}  // namespace kv
