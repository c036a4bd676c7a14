#include "kv_report.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <strings.h>

#include "kv_files.h"
#include "kv_mailutil.h"
#include "kvc_conf.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

// A header value as the sender wrote it, made safe to place inside a
// notification's own header: control characters become blanks, so a bare CR
// cannot start a line of the sender's choosing. The CR that ended the line stays.
std::string header_text(const char* value) {
    std::string text = value;
    const size_t end = !text.empty() && text.back() == '\r' ? text.size() - 1 : text.size();
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) text[i] = ' ';
    }
    return text;
}

// A message without a blank line is all header: a notification carries at most
// this much of it, so that its text stays small whatever the message's size.
constexpr int32_t kMaxHeaderBlock = 64 * 1024;

struct category_heading {
    int index;
    const char* heading;
};
// Modifications come before suspicious objects here.
const category_heading kHeadings[] = {
    {CAT_KNOWN, "Known virus(es):"},
    {CAT_MODIFICATIONS, "Modification(s) of known virus(es):"},
    {CAT_SUSPICIOUS, "Possible infection(s):"},
    {CAT_ADWARE, "Advertising software (adware):"},
    {CAT_DIALERS, "Dialer(s):"},
    {CAT_JOKES, "Joke(s) or hoax(es):"},
    {CAT_RISKWARE, "Potentially dangerous software (riskware):"},
    {CAT_HACKTOOLS, "Intrusion tool(s) (hacktool(s)):"},
};

// The report under construction; every append failure ends the report.
class report_builder {
public:
    report_builder(const mail& m, const char* archive, const actions_settings& actions)
        : mail_(m), archive_(archive), actions_(actions), result_(mail_get_result(m)) {}

    bool add(const std::string& text) { return add(text.c_str()); }
    bool add(const char* text) {
        if (out_.add(text)) return true;
        log(Errors, "report: cannot add string <%s> to report", text);
        return false;
    }
    // Adds text unless it is empty or missing.
    bool add_value(const char* text) { return text == nullptr || *text == '\0' || add(text); }

    bool piece(const char* text);
    void set_charset(const char* piece);
    std::optional<std::string> join() { return out_.to_linear(0); }

private:
    bool macro(const char* at, size_t* consumed);
    bool virus_list();
    bool recipients(const char* failure);
    bool full_headers();

    const mail& mail_;
    const char* archive_;
    const actions_settings& actions_;
    scanresult* result_;
    strings out_;
    conf_string charset_;
};

// The value of the first charset parameter on a template line ("charset=koi8-r"
// or charset="koi8-r", the name in any case, not part of a longer name), or none.
std::optional<std::string> charset_parameter(const char* line) {
    static const char kName[] = "charset=";
    const size_t name_length = sizeof kName - 1;
    for (const char* p = line; *p != '\0'; ++p) {
        if (strncasecmp(p, kName, name_length) != 0) continue;
        if (p > line && (isalnum(static_cast<unsigned char>(p[-1])) || p[-1] == '-' || p[-1] == '_')) continue;
        const char* value = p + name_length;
        const char* end = value;
        if (*value == '"') {
            end = strchr(++value, '"');
            if (end == nullptr) end = value + strlen(value);
        } else {
            while (*end != '\0' && *end != ';' && *end != '"' && !isspace(static_cast<unsigned char>(*end))) ++end;
        }
        std::string text(value, end);
        while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        if (!text.empty()) return text;
    }
    return std::nullopt;
}

void report_builder::set_charset(const char* line) {
    std::optional<std::string> charset = charset_parameter(line);
    if (charset) charset_ = std::move(charset);
}

bool report_builder::virus_list() {
    bool first = true;
    for (const category_heading& category : kHeadings) {
        strings* names = result_->categories[category.index].get();
        if (names == nullptr) continue;
        std::string block = first ? "" : "\n";
        block += category.heading;
        block += "\n";
        bool ok = out_.add(block) != 0;
        bool first_name = true;
        for (const std::string& name : names->items()) {
            ok = ok && (first_name || out_.add("\n")) && out_.add(name);
            first_name = false;
        }
        if (!ok) {
            log(Errors, "report: cannot add <%s> virus(es) list to report", category.heading);
            return false;
        }
        first = false;
    }
    return first || add("\n");
}

bool report_builder::recipients(const char* failure) {
    if (out_.add_list(e_get_rcpts(mail_.env), ", ")) return true;
    log(Errors, "%s", failure);
    return false;
}

bool report_builder::full_headers() {
    int32_t offset = mail_.headers_offset;
    int32_t length = mail_.headers_length;
    log(Debug, "mail: create report: headers off=%d len=%d", offset, length);
    if (length <= 0) return add("No headers present in original mail\n");
    if (length > kMaxHeaderBlock) {
        log(Info, "report: headers of %d bytes cut to %d bytes", length, kMaxHeaderBlock);
        length = kMaxHeaderBlock;
    }
    std::string headers;
    const char* source = archive_ != nullptr ? archive_ : mail_get_path(mail_);
    if (source == nullptr || !read_message_part(source, offset, headers, static_cast<size_t>(length))) {
        log(Errors, "report: cannot read headers to report");
        return false;
    }
    return add_value(headers.c_str());
}

// Tries the macro names at the text after a "$"; consumed is the length of the
// name and its closing "$" when one matched (0 otherwise).
bool report_builder::macro(const char* at, size_t* consumed) {
    auto is = [&](const char* name) {
        size_t length = strlen(name);
        if (strncmp(at, name, length) != 0 || at[length] != '$') return false;
        *consumed = length + 1;
        return true;
    };
    *consumed = 0;
    if (result_ != nullptr && is("REPORT")) {
        log(Info, "report: NOTE: obsolete macros $REPORT$ used, please use $DAEMON_REPORT$, $VIRUS_LIST$ and $SCAN_STAT$ instead");
        if (result_->report && !(add("= Kerval detailed report:\n") && add_value(result_->report->c_str()) && add("\n")))
            return false;
        if (!(add("= Following virus(es)/malware has been found:\n") && virus_list())) return false;
        std::optional<std::string> stat = scanresult_stat_text(&result_->stat);
        return !stat || (add("= Scanning statistic:\n") && add_value(stat->c_str()));
    }
    if (result_ != nullptr && is("DAEMON_REPORT")) return add_value(scanresult_get_report(result_));
    if (result_ != nullptr && is("VIRUS_LIST")) return virus_list();
    if (result_ != nullptr && is("SCAN_STAT")) {
        std::optional<std::string> stat = scanresult_stat_text(&result_->stat);
        return !stat || add_value(stat->c_str());
    }
    if (actions_.admin_mail && is("POSTMASTER")) return add_value(actions_.admin_mail->c_str());
    if (scanresult_get_rule(result_) != nullptr && is("RULE_NAME")) return add_value(scanresult_get_rule(result_));
    if (actions_.filter_mail && is("FILTER_MAIL")) return add_value(actions_.filter_mail->c_str());
    if (is("SENDER")) return add_value(e_get_from(mail_.env));
    if (is("RCPTS")) return recipients("report: cannot add recipient(s) list to report");
    if (is("ORIGINAL_RCPTS")) {
        const char* original = mail_get_property(mail_, MAIL_PROP_ORIG_RCPT);
        if (original != nullptr && *original != '\0') return add(original);
        return recipients("report: cannot add orecipient(s) list to report");
    }
    if (is("SECURE_RCPTS")) {
        if (e_rcpts_count(mail_.env) >= 2) return add("\"Recipients of original message\" <#@[]>");
        if (out_.add_list(e_get_rcpts(mail_.env), ", ")) return true;
        log(Errors, "report: cannot add recipient to report");
        return false;
    }
    if (is("SUBJECT")) {
        const char* subject = mail_get_property(mail_, MAIL_PROP_SUBJECT);
        if (subject == nullptr) return add("[unknown-subject]");
        std::optional<std::string> decoded = decode_subject(subject, charset_ ? charset_->c_str() : nullptr);
        return add_value(header_text(decoded ? decoded->c_str() : subject).c_str());
    }
    if (is("MSGID")) {
        const char* id = mail_get_property(mail_, MAIL_PROP_MESSAGE_ID);
        return id == nullptr ? add("[unknown-id]") : add_value(header_text(id).c_str());
    }
    if (is("FULLHEADERS")) return full_headers();
    if (is("ARCHIVE_RECORD")) {
        if (archive_ == nullptr) return add("file was not created");
        const char* slash = strrchr(archive_, '/');
        return add_value(slash != nullptr ? slash + 1 : archive_);
    }
    return true;
}

bool report_builder::piece(const char* text) {
    set_charset(text);
    const char* p = text;
    while (const char* dollar = strchr(p, '$')) {
        if (dollar > p && !add(std::string(p, dollar))) return false;
        size_t consumed = 0;
        if (!macro(dollar + 1, &consumed)) return false;
        if (consumed == 0) {
            if (!add("$")) return false;
            p = dollar + 1;
        } else {
            p = dollar + 1 + consumed;
        }
    }
    return add_value(p);
}

}  // namespace

std::optional<std::string> create_report(const mail& m, const char* template_path, const char* archive,
                                         const actions_settings& actions) {
    if (template_path == nullptr) {
        log(Errors, "report: null input parameter (%d:%d:%d)", 0, 1, 0);
        return std::nullopt;
    }
    FILE* stream = fopen(template_path, "r");
    if (stream == nullptr) {
        log(Errors, "report: cannot open template %s - %s", template_path, stdlib_error(errno));
        return std::nullopt;
    }
    report_builder report(m, archive, actions);
    // Whole lines, so that a macro or a charset parameter is found wherever it
    // falls; a line past the limit fails the report rather than being cut.
    std::string line;
    bool ok = true;
    int line_number = 0;
    for (conf_line got; ok && (got = read_conf_line(stream, line)) != conf_line::end;) {
        ++line_number;
        if (got == conf_line::too_long) {
            log(Errors, "report: line %d of template %s is longer than %d bytes", line_number, template_path,
                static_cast<int>(kConfLineMax));
            ok = false;
            break;
        }
        ok = report.piece(line.c_str());
    }
    if (ok && ferror(stream)) {
        log(Errors, "report: cannot read template %s - %s", template_path, stdlib_error(errno));
        ok = false;
    }
    if (fclose(stream) != 0) log(Errors, "report: cannot close file %s - %s", template_path, stdlib_error(errno));
    return ok ? report.join() : std::nullopt;
}

}  // namespace kv
