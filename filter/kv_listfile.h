// kv_listfile: what the three list files (deny list, unnotifiable viruses and
// unnotifiable addresses) share: whole-line reading, comments, the optional
// "[version=N]" header, case-insensitive keyword prefixes, the pattern clean-up,
// and compiled regular expressions.
//
// The expressions are POSIX extended syntax, searched anywhere in the text, one
// byte one character. They are compiled by RE2, so that a match costs time
// linear in the text and a compiled expression bounded memory whatever the
// pattern: a pattern RE2 cannot compile within those bounds, or one that uses a
// feature it lacks (back-references, \< and \>), is refused, and so is the file.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kvc_mutex.h"

namespace re2 {
class RE2;
}

namespace kv {

// A compiled extended regular expression; freed with its holder.
class compiled_regex {
public:
    compiled_regex();
    compiled_regex(const compiled_regex&) = delete;
    compiled_regex& operator=(const compiled_regex&) = delete;
    ~compiled_regex();
    // Logs "cannot compile regular expression (%s) - %s" on failure.
    bool compile(const std::string& pattern, bool ignore_case);
    bool matches(const char* text) const;

private:
    std::unique_ptr<re2::RE2> regex_;
};

// Takes the keyword (any case) at *p and moves p past it and the blanks after it.
bool take_keyword(const char*& p, const char* keyword);

// The rest of a rule line as a pattern: leading blanks skipped, unquoted white
// space removed. Quotes are removed by the caller (after an optional "!").
std::string take_pattern(const char* p);

// One rule line of a list file: where it is, its text (from its first non-blank
// character, line end included) and the file's version.
struct list_line {
    const char* path;
    const char* prefix;  // message prefix, "users:"
    int number;
    const char* text;
    unsigned long version;
};

// Compiles a rule's pattern; a refused one is logged with the file and the line.
bool compile_rule_regex(compiled_regex& regex, const std::string& pattern, bool ignore_case, const list_line& line);

// Reads a list file line by line, skipping blanks and comments and handling the
// version header. rule parses one rule line and answers false after logging
// why. A line longer than kConfLineMax is refused. Answers false on any failure.
bool read_list_file(const char* path, const char* prefix, const std::function<bool(const list_line& line)>& rule);

// What tells one list file apart from the others.
struct list_file_kind {
    const char* prefix;     // message prefix, "users:"
    const char* lock_name;  // "KvLib::UsersLocker"
    const char* failure;    // logged with the path when the file is refused
};

void log_list_failure(const list_file_kind& kind, const char* path);

// A list (entries in file order, optional lock) loaded from path: the whole file
// or nothing. parse_rule appends one entry per rule line or answers false.
template <class List>
std::unique_ptr<List> load_list_file(const char* path, bool with_lock, const list_file_kind& kind,
                                     bool (*parse_rule)(List&, const list_line&)) {
    if (path == nullptr) return nullptr;
    auto list = std::make_unique<List>();
    if (with_lock) list->lock = mutex_create(kind.lock_name);
    bool ok = read_list_file(path, kind.prefix, [&](const list_line& line) { return parse_rule(*list, line); });
    if (!ok) {
        log_list_failure(kind, path);
        return nullptr;
    }
    return list;
}

}  // namespace kv
