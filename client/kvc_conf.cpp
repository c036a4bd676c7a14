#include "kvc_conf.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <strings.h>
#include <sys/stat.h>

#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

constexpr int kNameMax = 255;

struct obsolete_section {
    const char* name;
    bool stop;
};
const obsolete_section kObsoleteSections[] = {
    {"Submitter", true},
    {"SendmailCommunication", true},
    {"MailbombNotifications", false},
};

struct obsolete_parameter {
    const char* section;
    const char* name;
    bool stop;
};
const obsolete_parameter kObsoleteParameters[] = {
    {"Scanning", "StripPrefix", false},     {"Scanning", "PathPrefix", false},
    {"Scanning", "IncludeViruses", false},  {"Scanning", "DenyOnOne", false},
    {"Scanning", "HeloInReceived", false},  {"Actions", "MailbombObject", false},
    {"Actions", "VirusReport", false},      {"Actions", "SpamFilterAlert", false},
    {"Actions", "Incureable", false},       {"Logging", "Location", true},
    {"Engine", "TrafficEqualPerHour", false}, {"Engine", "TrafficPerHour", false},
};

bool starts_with_nocase(const char* text, const char* word) {
    return strncasecmp(text, word, strlen(word)) == 0;
}

char* skip_blanks(char* p) {
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) ++p;
    return p;
}

bool is_name_char(char c) { return isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '.'; }

// The section name of a header line "[Name]...": the text after "[" up to "]".
std::string header_name(const char* line) {
    const char* start = line + 1;
    const char* end = strchr(start, ']');
    return end != nullptr ? std::string(start, end) : std::string(start);
}

enum class number_kind { signed_dec, unsigned_dec, octal };

// scanf-like conversion: leading blanks, optional sign, digits; text after the
// digits is ignored. Values that do not fit a 32-bit int are illegal.
bool convert_number(const char* value, number_kind kind, int* out) {
    const char* p = value;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int base = kind == number_kind::octal ? 8 : 10;
    if (!(isdigit(static_cast<unsigned char>(*p)) && (base == 10 || *p < '8'))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long magnitude = strtoull(p, &end, base);
    if (errno == ERANGE || end == p) return false;
    if (kind == number_kind::signed_dec) {
        if (negative ? magnitude > static_cast<unsigned long long>(INT_MAX) + 1 : magnitude > INT_MAX)
            return false;
        *out = negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
        return true;
    }
    // "%u" and "%o": a negated value wraps, and a result that is negative as a
    // signed 32-bit number is illegal for both.
    if (negative && magnitude != 0) return false;
    if (magnitude > INT_MAX) return false;
    *out = static_cast<int>(magnitude);
    return true;
}

bool convert_bool(const char* value, int* out) {
    std::string text(value);
    remove_quotes(text);
    const char* t = text.c_str();
    if (strcasecmp(t, "yes") == 0 || strcasecmp(t, "on") == 0 || strcasecmp(t, "true") == 0) {
        *out = 1;
        return true;
    }
    if (strcasecmp(t, "no") == 0 || strcasecmp(t, "off") == 0 || strcasecmp(t, "false") == 0) {
        *out = 0;
        return true;
    }
    return false;
}

bool bad_separator(char c) {
    return isalnum(static_cast<unsigned char>(c)) || isspace(static_cast<unsigned char>(c)) || c == '"' ||
           c == '#' || c == '_' || c == '\0';
}

void release_values(std::vector<conf_var>& vars) {
    for (conf_var& var : vars) {
        if (var.type == CONF_STRING && var.text != nullptr) var.text->reset();
        if (var.type == CONF_LIST && var.list != nullptr) var.list->reset();
    }
}

// Assigns the defaults in table order; -1 for a malformed table.
int assign_defaults(const char* section, std::vector<conf_var>& vars) {
    int index = 0;
    for (conf_var& var : vars) {
        ++index;
        if (var.name == nullptr) {
            log(Errors, "kvlib: read_section(%s): null name for %d variable passed", section, index);
            return -1;
        }
        bool has_dest = var.type == CONF_STRING ? (var.text != nullptr || var.buffer != nullptr)
                        : var.type == CONF_LIST ? var.list != nullptr
                                                : var.number != nullptr;
        if (var.type < CONF_INT || var.type > CONF_LIST) {
            log(Errors, "kvlib: read_section(%s): wrong type (%d) of value for %d variable passed", section, var.type,
                index);
            return -1;
        }
        if (!has_dest) {
            log(Errors, "kvlib: read_section(%s): null pointer to value for %d variable passed", section, index);
            return -1;
        }
        switch (var.type) {
        case CONF_LIST:
            if (var.text_default != nullptr) {
                log(Errors, "kvlib: read_section(%s): default value for string list currently not supported",
                    section);
                return -1;
            }
            var.list->reset();
            break;
        case CONF_STRING:
            if (var.text_default == nullptr) {
                log(Debug, "kvlib: read_section(%s): null default for %d variable passed", section, index);
                if (var.text != nullptr) var.text->reset();
                else var.buffer[0] = '\0';
                log(Debug, "kvlib: read_section(%s): for %s default = NULL, value = NULL", section, var.name);
                break;
            }
            if (var.text != nullptr) {
                *var.text = var.text_default;
            } else {
                int need = static_cast<int>(strlen(var.text_default)) + 1;
                if (need > var.buffer_length) {
                    log(Errors, "kvlib: read_section(%s): storage not enough (%d) for default (%d) for %d variable passed",
                        section, var.buffer_length, need, index);
                    return -1;
                }
                memcpy(var.buffer, var.text_default, static_cast<size_t>(need));
            }
            log(Debug, "kvlib: read_section(%s): for %s default = %s, value = %s", section, var.name, var.text_default,
                var.text != nullptr ? (*var.text)->c_str() : var.buffer);
            break;
        default:
            *var.number = var.number_default;
            log(Debug, "kvlib: read_section(%s): for %s default = %d, value = %d", section, var.name,
                var.number_default, *var.number);
            break;
        }
    }
    return 0;
}

bool convert_value(conf_var& var, const char* value, char list_separator) {
    switch (var.type) {
    case CONF_INT:
        return convert_number(value, number_kind::signed_dec, var.number);
    case CONF_UINT:
        return convert_number(value, number_kind::unsigned_dec, var.number);
    case CONF_OCTAL:
        return convert_number(value, number_kind::octal, var.number);
    case CONF_BOOL:
        return convert_bool(value, var.number);
    case CONF_STRING:
        return var.text != nullptr ? getstring(value, var.text) != 0
                                   : getstring(value, var.buffer, var.buffer_length) != 0;
    case CONF_LIST:
        return getstringlist(value, var.list, list_separator) != 0;
    }
    return false;
}

conf_observer& observer() {
    static conf_observer instance;
    return instance;
}

}  // namespace

void set_conf_observer(conf_observer observer_function) { observer() = std::move(observer_function); }

conf_var conf_int(const char* name, int* dest, int def) { return {name, CONF_INT, dest, nullptr, nullptr, 0, nullptr, def, nullptr}; }
conf_var conf_uint(const char* name, int* dest, int def) { return {name, CONF_UINT, dest, nullptr, nullptr, 0, nullptr, def, nullptr}; }
conf_var conf_bool(const char* name, int* dest, int def) { return {name, CONF_BOOL, dest, nullptr, nullptr, 0, nullptr, def, nullptr}; }
conf_var conf_octal(const char* name, int* dest, int def) { return {name, CONF_OCTAL, dest, nullptr, nullptr, 0, nullptr, def, nullptr}; }
conf_var conf_str(const char* name, conf_string* dest, const char* def) {
    return {name, CONF_STRING, nullptr, dest, nullptr, 0, nullptr, 0, def};
}
conf_var conf_buf(const char* name, char* buffer, int length, const char* def) {
    return {name, CONF_STRING, nullptr, nullptr, buffer, length, nullptr, 0, def};
}
conf_var conf_list(const char* name, std::unique_ptr<strings>* dest) {
    return {name, CONF_LIST, nullptr, nullptr, nullptr, 0, dest, 0, nullptr};
}

conf_line read_conf_line(FILE* stream, std::string& line, size_t limit) {
    line.clear();
    bool any = false;
    bool too_long = false;
    int c;
    while ((c = getc_unlocked(stream)) != EOF) {
        any = true;
        if (c == '\n') {
            line.push_back('\n');
            break;
        }
        if (line.size() < limit) line.push_back(static_cast<char>(c));
        else too_long = true;
    }
    if (!any) return conf_line::end;
    return too_long ? conf_line::too_long : conf_line::ok;
}

void strip_spaces(char* text) {
    if (text == nullptr) return;
    bool quoted = false;
    char* out = text;
    for (char* in = text; *in != '\0'; ++in) {
        if (*in == '"') quoted = !quoted;
        if (!quoted && isspace(static_cast<unsigned char>(*in))) continue;
        *out++ = *in;
    }
    *out = '\0';
}

void strip_spaces(std::string& text) {
    strip_spaces(text.data());
    text.resize(strlen(text.c_str()));
}

void remove_quotes(char* text) {
    if (text == nullptr) return;
    char* out = text;
    for (char* in = text; *in != '\0'; ++in)
        if (*in != '"') *out++ = *in;
    *out = '\0';
}

void remove_quotes(std::string& text) {
    remove_quotes(text.data());
    text.resize(strlen(text.c_str()));
}

int lookup_word(const char* text, const std::vector<conf_word>& table, int* dest) {
    if (text == nullptr || dest == nullptr) return 0;
    size_t length = strlen(text);
    for (const conf_word& entry : table) {
        if (strncasecmp(entry.word, text, length) == 0) {
            *dest = entry.number;
            return 1;
        }
    }
    return 0;
}

int getstring(const char* value, conf_string* dest) {
    if (value == nullptr || dest == nullptr) return 0;
    std::string text(value);
    remove_quotes(text);
    *dest = std::move(text);
    return 1;
}

int getstring(const char* value, char* buffer, int length) {
    if (value == nullptr || buffer == nullptr) return 0;
    std::string text(value);
    remove_quotes(text);
    if (static_cast<long>(text.size()) >= length) {
        log(Errors, "kvlib: getstring: storage not enough (%d) for value (%d)", length, static_cast<int>(text.size()));
        return 0;
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    return 1;
}

int getstringlist(const char* value, std::unique_ptr<strings>* dest, char list_separator) {
    if (value == nullptr || dest == nullptr) return 0;
    auto list = strings::create();
    const char* piece = value;
    while (true) {
        const char* end = strchr(piece, list_separator);
        std::string raw = end != nullptr ? std::string(piece, end) : std::string(piece);
        conf_string text;
        getstring(raw.c_str(), &text);
        if (!list->add(*text)) {
            log(Errors, "kvlib: getstringlist: cannot add %s to list", text->c_str());
            return 0;
        }
        if (end == nullptr) break;
        piece = end + 1;
    }
    *dest = std::move(list);
    return 1;
}

int read_section(FILE* stream, int& line, const char* section, std::vector<conf_var>& vars, char separator,
                 char list_separator) {
    if (section == nullptr) section = "";
    if (observer()) observer()(section, vars);
    if (stream == nullptr) {
        log(Errors, "kvlib: read_section(%s): null stream passed", section);
        return -1;
    }
    if (bad_separator(separator) || bad_separator(list_separator)) {
        log(Errors, "kvlib: read_section(%s): invalid separator (%c) passed", section,
            bad_separator(separator) ? separator : list_separator);
        return -1;
    }
    if (assign_defaults(section, vars) != 0) {
        release_values(vars);
        return -1;
    }
    log(Debug, "kvlib: read_section(%s): format string = <%%%d[A-Za-z_.]%c>", section, kNameMax, separator);

    std::string text;
    while (true) {
        long position = ftell(stream);
        const conf_line got = read_conf_line(stream, text);
        if (got == conf_line::end) return 0;
        if (got == conf_line::too_long) {
            log(Errors, "kvlib: read_section(%s): line %d is longer than %d bytes", section, line,
                static_cast<int>(kConfLineMax));
            release_values(vars);
            return -1;
        }
        char* p = skip_blanks(text.data());
        if (*p == '\0' || *p == '#') {
            ++line;
            continue;
        }
        strip_spaces(p);
        if (*p == '[') {
            if (position < 0) {
                log(Errors, "kvlib: read_section(%s): invalid saved offset %ld", section, position);
                release_values(vars);
                return -1;
            }
            if (fseek(stream, position, SEEK_SET) != 0) {
                log(Errors, "kvlib: read_section(%s): cannot rewind file stream on %ld offset - %s", section, position,
                    stdlib_error(errno));
                release_values(vars);
                return -1;
            }
            return 0;
        }
        int this_line = line++;
        size_t name_length = 0;
        while (name_length < kNameMax && is_name_char(p[name_length])) ++name_length;
        if (name_length == 0) {
            log(Errors, "kvlib: read_section(%s): illegal line %d", section, this_line);
            release_values(vars);
            return -1;
        }
        if (p[name_length] != separator) {
            log(Errors, "kvlib: read_section(%s): no separator (%c) in line %d", section, separator, this_line);
            release_values(vars);
            return -1;
        }
        std::string name(p, name_length);
        const char* value = p + name_length + 1;

        for (const obsolete_parameter& obsolete : kObsoleteParameters) {
            if (!starts_with_nocase(section, obsolete.section) || !starts_with_nocase(name.c_str(), obsolete.name))
                continue;
            if (obsolete.stop) {
                log(Errors, "kvlib: read_section(%s): parameter %s is obsolete - stop parsing, please read documentation",
                    section, name.c_str());
                release_values(vars);
                return -1;
            }
            log(Alerts, "kvlib: read_section(%s): parameter %s is obsolete - continue, but please read documentation",
                section, name.c_str());
            break;
        }

        conf_var* var = nullptr;
        for (conf_var& candidate : vars) {
            if (strcasecmp(candidate.name, name.c_str()) == 0) {
                var = &candidate;
                break;
            }
        }
        if (var == nullptr) {
            log(Verbose, "kvlib: read_section(%s): unknown variable %s in line %d", section, name.c_str(), this_line);
            continue;
        }
        if (!convert_value(*var, value, list_separator)) {
            log(Errors, "kvlib: read_section(%s): illegal value in line %d", section, this_line);
            release_values(vars);
            return -1;
        }
    }
}

void release_sections(std::vector<conf_task>& tasks) {
    for (conf_task& task : tasks) {
        if (!task.found) continue;
        if (task.cleanup) task.cleanup(task.name);
        task.found = false;
    }
}

int read_conf(const char* path, std::vector<conf_task>& tasks) {
    if (path == nullptr) {
        log(Errors, "kvlib: read_conf: null filename passed");
        return -1;
    }
    struct stat info;
    if (stat(path, &info) != 0) {
        log(Errors, "kvlib: read_conf(%s): %s", path, stdlib_error(errno));
        return -1;
    }
    if (S_ISDIR(info.st_mode)) {
        log(Errors, "kvlib: read_conf(%s): full pathname should be specified, not directory only", path);
        return -1;
    }
    // A device or a pipe could feed endless lines: only regular files are read.
    if (!S_ISREG(info.st_mode)) {
        log(Errors, "kvlib: read_conf(%s): not a regular file", path);
        return -1;
    }
    FILE* stream = fopen(path, "r");
    if (stream == nullptr) {
        log(Errors, "kvlib: read_conf(%s): cannot open - %s", path, stdlib_error(errno));
        return -1;
    }
    auto fail = [&]() {
        release_sections(tasks);
        fclose(stream);
        return -1;
    };

    // Every line must fit before any is parsed: the rest of a cut line could be
    // read as a setting of its own.
    std::string text;
    int line = 0;
    for (conf_line got; (got = read_conf_line(stream, text)) != conf_line::end;) {
        ++line;
        if (got == conf_line::too_long) {
            log(Errors, "kvlib: read_conf(%s): line %d is longer than %d bytes", path, line,
                static_cast<int>(kConfLineMax));
            return fail();
        }
    }
    if (ferror(stream) || fseek(stream, 0, SEEK_SET) != 0) {
        log(Errors, "kvlib: read_conf(%s): error at reading file - %s", path, stdlib_error(errno));
        return fail();
    }

    line = 1;
    long position = ftell(stream);
    while (read_conf_line(stream, text) != conf_line::end) {
        char* p = skip_blanks(text.data());
        if (*p != '[') {
            ++line;
            position = ftell(stream);
            continue;
        }
        strip_spaces(p);
        std::string header = header_name(p);
        bool stop = false;
        for (const obsolete_section& obsolete : kObsoleteSections) {
            if (!starts_with_nocase(header.c_str(), obsolete.name)) continue;
            if (obsolete.stop) {
                log(Errors, "kvlib: read_conf(%s): section %s is obsolete - stop parsing, please read documentation",
                    path, header.c_str());
                stop = true;
            } else {
                log(Alerts, "kvlib: read_conf(%s): section %s is obsolete - continue, but please read documentation",
                    path, header.c_str());
            }
            break;
        }
        if (stop) return fail();

        conf_task* task = nullptr;
        for (conf_task& candidate : tasks) {
            if (candidate.name != nullptr && starts_with_nocase(header.c_str(), candidate.name)) {
                task = &candidate;
                break;
            }
        }
        ++line;
        if (task == nullptr) {
            log(Info, "kvlib: read_conf(%s): unknown section %s", path, header.c_str());
            position = ftell(stream);
            continue;
        }
        if (!task->reader || task->reader(stream, line, task->name) == 0) {
            log(Info, "kvlib: read_conf(%s): error in section [%s]", path, task->name);
            return fail();
        }
        task->found = true;
        long now = ftell(stream);
        // A reader that put back the header it was called for would loop forever.
        if (now == position) {
            log(Info, "kvlib: read_conf(%s): error in section [%s]", path, task->name);
            return fail();
        }
        position = now;
    }
    if (ferror(stream)) {
        log(Errors, "kvlib: read_conf(%s): error at reading file - %s", path, stdlib_error(errno));
        return fail();
    }
    if (fclose(stream) != 0) {
        log(Errors, "kvlib: read_conf(%s): cannot close file - %s", path, stdlib_error(errno));
        release_sections(tasks);
        return -1;
    }
    for (conf_task& task : tasks) {
        if (task.name != nullptr && !task.found && !task.optional) {
            log(Errors, "kvlib: read_conf(%s): section [%s] missed", path, task.name);
            release_sections(tasks);
            return -1;
        }
    }
    log(Info, "kvlib: read_conf(%s): successfully loaded", path);
    return 0;
}

}  // namespace kv
