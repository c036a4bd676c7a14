#include "kv_mail.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kv_handles.h"
#include "kv_settings.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

const char* const kUnit = "kv_mail";

const char* or_text(const conf_string& value, const char* absent) { return value ? value->c_str() : absent; }
const char* or_text(const char* value, const char* absent) { return value != nullptr ? value : absent; }

// The string property slot for id and its name in messages, or nullptr.
conf_string* string_property(mail& m, int id, const char** name) {
    switch (id) {
        case MAIL_PROP_SUBJECT: *name = "subject"; return &m.subject;
        case MAIL_PROP_MESSAGE_ID: *name = "message_id"; return &m.message_id;
        case MAIL_PROP_REPLY_STRING: *name = "reply string"; return &m.reply_string;
        case MAIL_PROP_ORIG_RCPT: *name = "orig rcpt"; return &m.orig_rcpt;
        default: return nullptr;
    }
}

bool known_property(int id) { return id >= MAIL_PROP_SUBJECT && id <= MAIL_PROP_ORIG_RCPT; }

int32_t to_int32(long value) { return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value); }

}  // namespace

std::optional<std::string> normalize_address(const char* text) {
    if (text == nullptr) return std::nullopt;
    const char* open = strchr(text, '<');
    const char* close = strrchr(text, '>');
    if (open == nullptr || close == nullptr || close < open) return std::string(text);
    if (close == open + 1) return std::string("<>");
    return std::string(open + 1, close);
}

// ---- envelope ----

std::unique_ptr<envelope> e_create(const char* from) {
    auto env = std::make_unique<envelope>();
    if (from != nullptr && !e_set_from(*env, from)) return nullptr;
    return env;
}

int e_set_from(envelope& env, const char* address) {
    log(Debug, "mail: e_set_from( %p, %p[%s] )", static_cast<void*>(&env), static_cast<const void*>(address),
        or_text(address, "(null)"));
    std::optional<std::string> normalized = normalize_address(address);
    if (!normalized) {
        log(Errors, "%s (%s:%d) bad parameter was passed", "mail: e_set_from", kUnit, __LINE__);
        return MAIL_FAILED;
    }
    env.from = std::move(normalized);
    return MAIL_OK;
}

const char* e_get_from(const envelope& env) { return env.from ? env.from->c_str() : nullptr; }

int e_add_rcpt(envelope& env, const char* address) {
    log(Debug, "mail: e_add_rcpt( %p, %p[%s] )", static_cast<void*>(&env), static_cast<const void*>(address),
        or_text(address, "(null)"));
    std::optional<std::string> normalized = normalize_address(address);
    if (!normalized) {
        log(Errors, "%s (%s:%d) bad parameter was passed", "mail: e_add_rcpt", kUnit, __LINE__);
        return MAIL_FAILED;
    }
    if (env.rcpts_borrowed) {
        log(Errors, "mail: cannot add recipient %s - the recipients list is borrowed", normalized->c_str());
        return MAIL_FAILED;
    }
    if (env.rcpts == nullptr) {
        env.owned_rcpts = strings::create();
        env.rcpts = env.owned_rcpts.get();
    }
    return env.rcpts->add(*normalized);
}

strings* e_get_rcpts(const envelope& env) { return env.rcpts; }

int e_set_rcpts(envelope& env, strings* list) {
    env.owned_rcpts.reset();
    env.rcpts = list;
    env.rcpts_borrowed = list != nullptr;
    return MAIL_OK;
}

int e_rcpts_count(const envelope& env) { return env.rcpts != nullptr ? env.rcpts->count() : 0; }

int e_has_rcpt(const envelope& env, const char* address) {
    return env.rcpts != nullptr ? env.rcpts->find(address) : 0;
}

void e_print(const envelope& env, int level) {
    if (level < Verbose) return;
    log(Verbose, "mail: --- print envelope info ---");
    if (env.from)
        log(Verbose, "mail: envelope: from=%s", env.from->c_str());
    else
        log(Verbose, "mail: envelope: from=absent");
    if (env.rcpts != nullptr) {
        log(Verbose, "mail: envelope: rcpts num = %d", env.rcpts->count());
        for (const std::string& rcpt : env.rcpts->items()) log(Verbose, "mail: envelope: to=%s", rcpt.c_str());
    } else {
        log(Verbose, "mail: envelope: recipient(s) is absent");
    }
}

// ---- mail record ----

std::unique_ptr<mail> mail_create(const char* path) {
    auto m = std::make_unique<mail>();
    if (path != nullptr) m->path = path;
    return m;
}

void mail_delete(std::unique_ptr<mail> m, bool unlink_file) {
    if (!m) return;
    log(Debug, "mail: detete (unlink = %d, path = %s)", unlink_file ? 1 : 0, or_text(m->path, "(null)"));
    if (m->path && unlink_file && !m->keep_file) {
        if (unlink(m->path->c_str()) == 0)
            log(Debug, "mail: file %s unlinked", m->path->c_str());
        else
            log(Errors, "mail: cannot unlink %s - %s", m->path->c_str(), stdlib_error(errno));
    }
}

const char* mail_get_path(const mail& m) { return m.path ? m.path->c_str() : nullptr; }
envelope& mail_get_envelope(mail& m) { return m.env; }
scanresult* mail_get_result(const mail& m) { return m.result.get(); }

int mail_set_result(mail& m, std::unique_ptr<scanresult> result) {
    m.result = std::move(result);
    return MAIL_OK;
}

void mail_keep_file(mail& m) { m.keep_file = true; }

const char* mail_get_property(const mail& m, int id) {
    const char* name = nullptr;
    const conf_string* slot = string_property(const_cast<mail&>(m), id, &name);
    return slot != nullptr && *slot ? (*slot)->c_str() : nullptr;
}

const int32_t* mail_get_int_property(const mail& m, int id) {
    if (id == MAIL_PROP_HEADERS_OFFSET) return &m.headers_offset;
    if (id == MAIL_PROP_HEADERS_LENGTH) return &m.headers_length;
    return nullptr;
}

int mail_set_property(mail& m, int id, const char* value) {
    if (!known_property(id)) return MAIL_OK;
    const char* name = nullptr;
    conf_string* slot = string_property(m, id, &name);
    if (slot == nullptr) {
        log(Errors, "mail: property %d takes a number, not a text", id);
        return MAIL_FAILED;
    }
    if (value == nullptr) {
        log(Debug, "mail: null value for %s property", name);
        return MAIL_OK;
    }
    if (*slot) log(Debug, "mail: free previous %s = %s", name, (*slot)->c_str());
    std::string stored(value);
    if (!stored.empty() && stored.back() == '\n') stored.pop_back();
    *slot = std::move(stored);
    log(Debug, "mail: %s = %s", name, (*slot)->c_str());
    return MAIL_OK;
}

int mail_set_property(mail& m, int id, const int32_t* value) {
    if (!known_property(id)) return MAIL_OK;
    if (id != MAIL_PROP_HEADERS_OFFSET && id != MAIL_PROP_HEADERS_LENGTH) {
        log(Errors, "mail: property %d takes a text, not a number", id);
        return MAIL_FAILED;
    }
    if (value == nullptr) return MAIL_FAILED;
    if (id == MAIL_PROP_HEADERS_OFFSET) {
        m.headers_offset = *value;
        log(Debug, "mail: headers offset = %d", *value);
    } else {
        m.headers_length = *value;
        log(Debug, "mail: headers length = %d", *value);
    }
    return MAIL_OK;
}

namespace {

// One header line as the parser sees it: its first bytes (enough for the name
// and kHeaderValueMax bytes of value) and its full length. A line is one line
// whatever its length; only its kept bytes are held in memory.
struct header_line {
    std::string kept;
    size_t length = 0;
    bool cut = false;
};

constexpr size_t kHeaderLineKeep = 1024 + kHeaderValueMax;  // name, ":" and the kept value
constexpr size_t kHeaderReadBlock = 64 * 1024;

// Reads header lines from a stream in blocks; position() is the exact number of
// bytes consumed, so every offset and length stays right.
class header_reader {
public:
    explicit header_reader(FILE* stream) : stream_(stream), block_(kHeaderReadBlock) {}

    // The next line (with its "\n" when it has one); false at the end of the file.
    bool next(header_line& line) {
        line.kept.clear();
        line.length = 0;
        line.cut = false;
        while (true) {
            if (at_ == filled_ && !fill()) return line.length > 0;
            const char* begin = block_.data() + at_;
            const char* newline = static_cast<const char*>(memchr(begin, '\n', filled_ - at_));
            const size_t take = newline != nullptr ? static_cast<size_t>(newline - begin) + 1 : filled_ - at_;
            const size_t keep = std::min(take, kHeaderLineKeep - std::min(kHeaderLineKeep, line.kept.size()));
            line.kept.append(begin, keep);
            line.cut = line.cut || keep < take;
            line.length += take;
            at_ += take;
            position_ += take;
            if (newline != nullptr) return true;
        }
    }
    long position() const { return position_; }

private:
    bool fill() {
        filled_ = fread(block_.data(), 1, block_.size(), stream_);
        at_ = 0;
        return filled_ > 0;
    }

    FILE* stream_;
    std::vector<char> block_;
    size_t filled_ = 0;
    size_t at_ = 0;
    long position_ = 0;
};

bool is_empty_line(const header_line& line) {
    return (line.length == 1 && line.kept == "\n") || (line.length == 2 && line.kept == "\r\n");
}

}  // namespace

int mail_parse_headers(mail& m) {
    if (!m.path) {
        log(Errors, "%s (%s:%d) bad parameter was passed", "mail: parse headers", kUnit, __LINE__);
        return MAIL_FAILED;
    }
    const char* path = m.path->c_str();
    unique_file file(fopen(path, "r"));
    if (!file) {
        log(Errors, "mail: cannot open mailfile %s - %s", path, stdlib_error(errno));
        return MAIL_FAILED;
    }
    header_reader reader(file.get());
    header_line line;
    int result = MAIL_OK;
    bool any_line = false;
    bool block_ended = false;
    // Sets a header's value (the text after its first ':', at most
    // kHeaderValueMax bytes of it), when it has one.
    auto take = [&](int id) {
        const size_t colon = line.kept.find(':');
        if (colon == std::string::npos) return;
        std::string value = line.kept.substr(colon + 1, kHeaderValueMax);
        if (line.cut || value.size() < line.kept.size() - colon - 1) {
            log(Verbose, "mail: header line of %zu bytes: its value is cut to %zu bytes", line.length, value.size());
        }
        if (!mail_set_property(m, id, value.c_str())) result = MAIL_FAILED;
    };
    while (result == MAIL_OK && reader.next(line)) {
        if (!any_line) {
            any_line = true;
            const int32_t zero = 0;
            (void)mail_set_property(m, MAIL_PROP_HEADERS_OFFSET, &zero);
        }
        log(Debug, "mail: parse headerline: %s", line.kept.c_str());
        if (is_empty_line(line)) {
            block_ended = true;
            const int32_t length = to_int32(reader.position() - m.headers_offset);
            (void)mail_set_property(m, MAIL_PROP_HEADERS_LENGTH, &length);
            break;
        }
        const char* text = line.kept.c_str();
        if (strncasecmp(text, "X-Original-To", 13) == 0)
            take(MAIL_PROP_ORIG_RCPT);
        else if (strncasecmp(text, "Subject", 7) == 0)
            take(MAIL_PROP_SUBJECT);
        else if (strncasecmp(text, "Message-ID", 10) == 0)
            take(MAIL_PROP_MESSAGE_ID);
    }
    if (ferror(file.get())) {
        log(Errors, "mail: cannot read mailfile %s - %s", path, stdlib_error(errno));
        result = MAIL_FAILED;
    }
    if (!any_line) {
        log(Debug, "mail: parse envelope error (s=%d.r=%d.h=%d)", m.subject ? 1 : 0, m.orig_rcpt ? 1 : 0,
            static_cast<int>(m.headers_length));
        result = MAIL_FAILED;
    } else if (!block_ended && result == MAIL_OK) {
        log(Debug, "mail: message seems to have empty body");
        const long length = reader.position() - m.headers_offset - 1;
        const int32_t stored = to_int32(length < 1 ? 1 : length);
        (void)mail_set_property(m, MAIL_PROP_HEADERS_LENGTH, &stored);
    }
    if (file.close() != 0) {
        log(Errors, "mail: cannot close mailfile %s - %s", path, stdlib_error(errno));
        result = MAIL_FAILED;
    }
    return result;
}

int mail_need_scan(const mail& m, const users_list* list, int mode, int deny_by_default) {
    if (list == nullptr) return MAIL_SCAN;
    if (mode < DENY_BY_ALL || mode > DENY_BY_ALL_RCPTS) {
        log(Errors, "mail: deny mode = %d is unknown", mode);
        return MAIL_SCAN;
    }
    bool sender_uncheckable = false;
    if (mode != DENY_BY_ONE_RCPT && mode != DENY_BY_ALL_RCPTS) {
        const char* from = e_get_from(m.env);
        if (!users_check(list, from, ROLE_FROM, deny_by_default)) {
            sender_uncheckable = true;
            if (mode == DENY_BY_ONE || mode == DENY_BY_SENDER) {
                log(Info, "mail: sender %s is uncheckable - need to skip scanning (by deny mode)",
                    or_text(from, "(null)"));
                return MAIL_SKIP;
            }
        } else if (mode != DENY_BY_ONE) {
            log(Verbose, "mail: sender %s is checkable - need scan (by deny mode)", or_text(from, "(null)"));
            return MAIL_SCAN;
        }
    }
    const strings* rcpts = e_get_rcpts(m.env);
    if (rcpts != nullptr) {
        if (mode == DENY_BY_ALL || mode == DENY_BY_ALL_RCPTS) {
            for (const std::string& rcpt : rcpts->items()) {
                if (users_check(list, rcpt.c_str(), ROLE_TO, deny_by_default)) {
                    log(Verbose, "mail: rcpt %s is checkable - need scan (by deny mode)", rcpt.c_str());
                    return MAIL_SCAN;
                }
            }
            log(Info, "mail: all %s are uncheckable - need to skip scanning (by deny mode)",
                sender_uncheckable ? "addreses" : "rcpts");
            return MAIL_SKIP;
        }
        for (const std::string& rcpt : rcpts->items()) {
            if (!users_check(list, rcpt.c_str(), ROLE_TO, deny_by_default)) {
                log(Info, "mail: rcpt %s is uncheckable - need to skip scanning (by deny mode)", rcpt.c_str());
                return MAIL_SKIP;
            }
        }
        log(Verbose, "mail: one of rcpt is checkable - need scan (by deny mode)");
        return MAIL_SCAN;
    }
    return deny_by_default && sender_uncheckable ? MAIL_SKIP : MAIL_SCAN;
}

void mail_print(const mail& m, int level) {
    if (level < Verbose) return;
    e_print(m.env, level);
    log(Verbose, "mail: --- print mail info ---");
    log(Verbose, "mail: Subject: %s", or_text(m.subject, "unknown"));
    log(Verbose, "mail: MessageID: %s", or_text(m.message_id, "unknown"));
    log(Verbose, "mail: Headers offset: %ld", static_cast<long>(m.headers_offset));
    log(Verbose, "mail: Headers length: %ld", static_cast<long>(m.headers_length));
    log(Verbose, "mail: Original recipient: %s", or_text(m.orig_rcpt, "unknown"));
}

}  // namespace kv
