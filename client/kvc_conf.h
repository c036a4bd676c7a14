// kvc_conf: reader for sectioned configuration files.
//
// read_conf walks a file and hands each "[Section]" it knows to that task's reader
// callback, which usually calls read_section with a table of typed variables:
// read_section assigns the defaults, converts "Name = Value" lines up to the next
// section header and stores them. Obsolete sections and parameters either warn or
// stop the reading. Results: read_conf and read_section 0 / -1, the helpers 1 / 0;
// every failure is logged once where it is found. On failure read_conf calls the
// cleanup callback of every section already read.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvc_strings.h"

namespace kv {

// An owned configuration text, or none.
using conf_string = std::optional<std::string>;

// The longest line of a configuration or list file, without its line end. A
// longer line is an error, never read as several lines.
constexpr size_t kConfLineMax = 64 * 1024;

enum class conf_line : int { ok, end, too_long };
// Reads one whole line into line (its "\n" kept, NUL bytes included) and
// answers ok; end when nothing is left. A line longer than limit is consumed to
// its end, line keeps its first limit bytes, and the answer is too_long. A read
// error ends the line as end of file does; the caller checks ferror.
conf_line read_conf_line(FILE* stream, std::string& line, size_t limit = kConfLineMax);

enum conf_type : int {
    CONF_INT = 1,     // signed integer, "%d"
    CONF_UINT = 2,    // non-negative integer, "%u"
    CONF_BOOL = 3,    // yes/on/true, no/off/false
    CONF_STRING = 4,  // text, double quotes removed
    CONF_OCTAL = 5,   // octal integer, "%o"
    CONF_LIST = 6,    // texts separated by the list separator
};

struct conf_var {
    const char* name = nullptr;
    int type = 0;
    int* number = nullptr;                     // CONF_INT, CONF_UINT, CONF_BOOL, CONF_OCTAL
    conf_string* text = nullptr;               // CONF_STRING, owned copy
    char* buffer = nullptr;                    // CONF_STRING into a fixed buffer of
    int buffer_length = 0;                     //   buffer_length bytes
    std::unique_ptr<strings>* list = nullptr;  // CONF_LIST
    int number_default = 0;
    const char* text_default = nullptr;        // none when nullptr; not allowed for lists
};

conf_var conf_int(const char* name, int* dest, int def);
conf_var conf_uint(const char* name, int* dest, int def);
conf_var conf_bool(const char* name, int* dest, int def);
conf_var conf_octal(const char* name, int* dest, int def);
conf_var conf_str(const char* name, conf_string* dest, const char* def = nullptr);
conf_var conf_buf(const char* name, char* buffer, int length, const char* def = nullptr);
conf_var conf_list(const char* name, std::unique_ptr<strings>* dest);

struct conf_task {
    const char* name;
    // Reads the section's lines from the stream; 1 = valid, 0 = invalid (after
    // releasing what it stored). line is the number of the next line to read.
    std::function<int(FILE* stream, int& line, const char* section)> reader;
    // Releases what the reader stored.
    std::function<void(const char* section)> cleanup;
    bool optional = false;
    bool found = false;
};

int read_conf(const char* path, std::vector<conf_task>& tasks);
void release_sections(std::vector<conf_task>& tasks);
int read_section(FILE* stream, int& line, const char* section, std::vector<conf_var>& vars,
                 char separator = '=', char list_separator = ',');

// Called by read_section with the section's name and its table before anything
// is read, so that a caller can list every key a section reader knows (the
// configuration reference is checked against that list). Set it before any
// reading starts; nullptr removes it.
using conf_observer = std::function<void(const char* section, const std::vector<conf_var>& vars)>;
void set_conf_observer(conf_observer observer);

int getstring(const char* value, conf_string* dest);
int getstring(const char* value, char* buffer, int length);
int getstringlist(const char* value, std::unique_ptr<strings>* dest, char list_separator);

// Removes every white-space character outside double quotes (quotes stay).
void strip_spaces(char* text);
void strip_spaces(std::string& text);
// Removes every double quote.
void remove_quotes(char* text);
void remove_quotes(std::string& text);

struct conf_word {
    const char* word;
    int number;
};
// The first table word that begins with text (any case) gives its number.
int lookup_word(const char* text, const std::vector<conf_word>& table, int* dest);

}  // namespace kv
