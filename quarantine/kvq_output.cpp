#include "kvq_output.h"

#include <ctime>

#include "kvc_format.h"

namespace kv {
namespace {

const char* const kUnknown = "(unknown)";

bool known(const qentry& entry) { return entry.record_state == QRECORD_OK; }

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += separator;
        out += printable(item);
    }
    return out;
}

std::string json_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out += ',';
        out += json_string(items[i]);
    }
    return out + "]";
}

// Length of the valid UTF-8 sequence at text[i], or 0.
size_t utf8_length(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    unsigned int code = 0;
    if (c >= 0xc2 && c <= 0xdf) length = 2, code = c & 0x1f;
    else if (c >= 0xe0 && c <= 0xef) length = 3, code = c & 0x0f;
    else if (c >= 0xf0 && c <= 0xf4) length = 4, code = c & 0x07;
    else return 0;
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3f);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff)) ||
        (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

}  // namespace

std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) out += format_text("\\x%02X", c);
        else out += static_cast<char>(c);
    }
    return out;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            out += format_text("\\u%04X", c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t length = utf8_length(text, i)) {
            out.append(text, i, length);
            i += length;
        } else {
            out += format_text("\\u%04X", c);
            ++i;
        }
    }
    return out + "\"";
}

std::string utc_time(long long seconds) {
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts;
    char text[32];
    if (gmtime_r(&when, &parts) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return std::to_string(seconds);
    return text;
}

std::string list_text(const std::vector<qentry>& entries) {
    std::string out = "TIME\tSENDER\tRECIPIENTS\tVERDICT\tSIZE\tID\n";
    for (const qentry& e : entries) {
        out += utc_time(e.time) + "\t";
        out += (known(e) ? printable(e.record.sender) : kUnknown) + std::string("\t");
        out += (known(e) ? joined(e.record.recipients, ",") : kUnknown) + std::string("\t");
        out += (known(e) ? printable(e.record.verdict) : kUnknown) + std::string("\t");
        out += std::to_string(static_cast<long long>(e.size)) + "\t" + printable(e.id) + "\n";
    }
    return out;
}

std::string list_json(const std::vector<qentry>& entries) {
    std::string out = "[";
    for (size_t i = 0; i < entries.size(); ++i) {
        const qentry& e = entries[i];
        const bool k = known(e);
        out += i ? ",\n" : "\n";
        out += "{\"id\":" + json_string(e.id);
        out += ",\"time\":" + std::to_string(e.time);
        out += ",\"sender\":" + (k ? json_string(e.record.sender) : "null");
        out += ",\"recipients\":" + (k ? json_array(e.record.recipients) : "null");
        out += ",\"queue_id\":" + (k ? json_string(e.record.queue_id) : "null");
        out += ",\"verdict\":" + (k ? json_string(e.record.verdict) : "null");
        out += ",\"viruses\":" + (k ? json_array(e.record.viruses) : "null");
        out += ",\"size\":" + std::to_string(static_cast<long long>(e.size));
        out += std::string(",\"record\":") +
               (k ? "\"ok\"" : e.record_state == QRECORD_MISSING ? "\"missing\"" : "\"broken\"") + "}";
    }
    return out + (entries.empty() ? "]\n" : "\n]\n");
}

std::string show_text(const qentry& e, const std::string& headers) {
    const bool k = known(e);
    std::string out = "Id: " + printable(e.id) + "\n";
    out += "Time: " + utc_time(e.time) + "\n";
    out += "Size: " + std::to_string(static_cast<long long>(e.size)) + "\n";
    if (!k) {
        out += std::string("Envelope: ") +
               (e.record_state == QRECORD_MISSING ? "no record (quarantined before records were kept)"
                                                  : "the record cannot be read") +
               "\n";
    } else {
        out += "Sender: " + printable(e.record.sender) + "\n";
        for (const std::string& rcpt : e.record.recipients) out += "Recipient: " + printable(rcpt) + "\n";
        out += "Queue-ID: " + (e.record.queue_id.empty() ? std::string(kUnknown) : printable(e.record.queue_id)) + "\n";
        out += "Verdict: " + printable(e.record.verdict) + "\n";
        for (const std::string& virus : e.record.viruses) out += "Virus: " + printable(virus) + "\n";
    }
    return out + "\n" + headers;
}

}  // namespace kv
