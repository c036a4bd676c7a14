#include "kv_mailutil.h"

#include <strings.h>

#include <cstring>
#include <string_view>

#include "kvc_log.h"

namespace kv {
namespace {

const char* const kUnit = "kv_mailutil";

int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

constexpr int kPad = -2;

// A decoded byte as it goes into the text: control characters (CR and LF among
// them) become blanks, so a subject cannot add header lines or body text to the
// notification it is shown in.
char shown_byte(int byte) { return byte < 0x20 || byte == 0x7F ? ' ' : static_cast<char>(byte); }

// Decodes one base64 word into out. room is what is still counted for the output.
bool decode_base64(std::string_view text, std::string& out, size_t room) {
    if ((text.size() + 3) / 4 * 3 > room) return false;
    bool valid = true;
    bool last_was_cr = false;  // the byte written just before, in this word
    auto emit = [&](int byte) {
        if (byte == 0x0D && last_was_cr) return;  // runs of CR collapse to one
        out.push_back(shown_byte(byte));
        last_was_cr = byte == 0x0D;
    };
    int group[4];
    int filled = 0;
    for (unsigned char c : text) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        int value = c == '=' ? kPad : base64_value(c);
        if (value == -1) {
            valid = false;
            continue;
        }
        group[filled++] = value;
        if (filled < 4) continue;
        filled = 0;
        if (group[0] == kPad || group[1] == kPad || (group[2] == kPad && group[3] != kPad)) {
            valid = false;
            break;
        }
        emit(((group[0] << 2) | (group[1] >> 4)) & 0xFF);
        if (group[2] == kPad) break;  // "xx==": one byte, the end
        emit(((group[1] << 4) | (group[2] >> 2)) & 0xFF);
        if (group[3] == kPad) break;  // "xxx=": two bytes, the end
        emit(((group[2] << 6) | group[3]) & 0xFF);
    }
    return valid;
}

int qp_hex(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower-case digits are not hexadecimal here
}

bool qp_printable(unsigned char c) {
    return (c >= 0x21 && c <= 0x3C) || c == 0x3E || (c >= 0x40 && c <= 0x5E) || (c >= 0x60 && c <= 0x7E) ||
           c >= 0xA0;
}

// Decodes one quoted-printable word into out.
bool decode_qp(std::string_view text, std::string& out) {
    bool valid = true;
    for (size_t k = 0; k < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[k]);
        if (c == '=') {
            if (k + 2 < text.size() && qp_hex(text[k + 1]) >= 0 && qp_hex(text[k + 2]) >= 0) {
                out.push_back(shown_byte(qp_hex(text[k + 1]) * 16 + qp_hex(text[k + 2])));
                k += 3;
                continue;
            }
            out.push_back('=');
            valid = false;
            ++k;
            continue;
        }
        if (c == '_')
            out.push_back(' ');
        else if (qp_printable(c))
            out.push_back(static_cast<char>(c));
        ++k;
    }
    return valid;
}

}  // namespace

std::optional<std::string> decode_subject(const char* subject, const char* template_charset) {
    if (subject == nullptr) return std::nullopt;
    const char* charset = template_charset != nullptr ? template_charset : "us-ascii";
    const std::string text(subject);
    const size_t n = text.size();
    const size_t output_size = 3 * n + 1;
    std::string out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        if (text[i] != '=') {
            out.push_back(text[i++]);
            continue;
        }
        if (i + 1 >= n) {
            out.push_back('=');
            break;
        }
        if (text[i + 1] != '?') {
            out.append(text, i, 2);
            i += 2;
            continue;
        }
        // =?charset?encoding?text?=
        const size_t charset_start = i + 2;
        const size_t charset_end = text.find('?', charset_start);
        if (charset_end == std::string::npos) {
            log(Debug, "decode_subject: 2nd ? not found in %s", text.c_str() + i);
            return std::nullopt;
        }
        const std::string word_charset = text.substr(charset_start, charset_end - charset_start);
        if (strncasecmp(charset, word_charset.c_str(), word_charset.size()) != 0) {
            log(Verbose, "decode_subject: template charset(%s) and message charset(%s) is different", charset,
                word_charset.c_str());
            return std::nullopt;
        }
        const char encoding = text[charset_end + 1];  // the terminating NUL at the end of the text
        if (encoding == '\0') {
            log(Verbose, "decode_subject: 3rd ? not found in %s", "");
            return std::nullopt;
        }
        const bool base64 = encoding == 'B' || encoding == 'b';
        if (!base64 && encoding != 'Q' && encoding != 'q') {
            log(Verbose, "decode_subject: invalid encoding %c specified", encoding);
            return std::nullopt;
        }
        if (text[charset_end + 2] != '?') {
            log(Verbose, "decode_subject: 3rd ? not found in %s", text.c_str() + charset_end + 2);
            return std::nullopt;
        }
        const size_t text_start = charset_end + 3;
        const size_t text_end = text.find('?', text_start);
        if (text_end == std::string::npos) {
            log(Verbose, "decode_subject: last ? not found in %s", text.c_str() + text_start);
            return std::nullopt;
        }
        if (text[text_end + 1] != '=') {
            // Not a closed word: it gives nothing, and the character after its
            // last "?" is skipped as well.
            i = text_end + 2;
            continue;
        }
        const std::string_view encoded(text.data() + text_start, text_end - text_start);
        if (base64) {
            if (!decode_base64(encoded, out, output_size - out.size())) {
                log(Verbose, "decode_subject: failed to decode base64");
                return std::nullopt;
            }
        } else if (!decode_qp(encoded, out)) {
            log(Verbose, "decode_subject: failed to decode qp");
            return std::nullopt;
        }
        i = text_end + 2;
    }
    return out;
}

int is_special(const mail& m, const char* sender, const char* recipient, const char* label) {
    if (sender == nullptr || recipient == nullptr) {
        log(Errors, "%s bad parameters (%d.%d) were passed (%s:%d)", "is_special", sender == nullptr ? 1 : 0,
            recipient == nullptr ? 1 : 0, kUnit, __LINE__);
        return 0;
    }
    const std::optional<std::string> from = normalize_address(sender);
    const std::optional<std::string> to = normalize_address(recipient);
    if (!from || !to) return 0;
    const envelope& env = m.env;
    const int one_rcpt = e_rcpts_count(env) == 1 ? 1 : 0;
    const int same_from = env.from && *env.from == *from ? 1 : 0;
    const int has_rcpt = e_has_rcpt(env, to->c_str()) ? 1 : 0;
    log(Verbose, "is_special(%s):  -> (%d.%d.%d)", label != nullptr ? label : "(null)", one_rcpt, same_from,
        has_rcpt);
    return one_rcpt && same_from && has_rcpt ? 1 : 0;
}

}  // namespace kv
