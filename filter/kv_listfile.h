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

}  // namespace kv
