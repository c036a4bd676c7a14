// kv_mail: the record of the one message a run handles (mail) and its SMTP
// envelope (envelope).
//
// The envelope holds the normalised sender and a strings list of normalised
// recipients; the list is owned, or borrowed when attached with e_set_rcpts (the
// envelope then never frees or changes it). The mail record owns its envelope,
// its spool path, its scan result and its string properties. mail_parse_headers
// reads the header block of the spool file; mail_need_scan applies the deny list;
// mail_delete releases the record and removes the spool file unless told not to
// or the file was kept (moved into the quarantine).
//
// Results: MAIL_OK (1) / MAIL_FAILED (0); mail_need_scan answers MAIL_SCAN (1) or
// MAIL_SKIP (0). Every failure is logged once, here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kv_users.h"
#include "kvc_conf.h"
#include "kvc_result.h"
#include "kvc_strings.h"

namespace kv {

enum mail_result : int { MAIL_FAILED = 0, MAIL_OK = 1 };
enum mail_scan_decision : int { MAIL_SKIP = 0, MAIL_SCAN = 1 };

// The header parser keeps at most this many bytes of a header's value (the text
// after its ":"); the rest of a longer line is only counted. A line of any length
// is one header line.
constexpr size_t kHeaderValueMax = 4096;

// The text between the first "<" and the last ">" when "<" comes first ("<>"
// when nothing lies between them), otherwise the whole text; nullopt for none.
std::optional<std::string> normalize_address(const char* text);

// ---- envelope ----

struct envelope {
    conf_string from;                      // normalised, or none
    std::unique_ptr<strings> owned_rcpts;  // the list when it is the envelope's own
    strings* rcpts = nullptr;              // the recipients list (owned or borrowed), or none
    bool rcpts_borrowed = false;
};

// A new envelope; with an address, e_set_from is applied (nullptr if it fails).
std::unique_ptr<envelope> e_create(const char* from = nullptr);
// Replaces the sender by the normalised address.
[[nodiscard]] int e_set_from(envelope& env, const char* address);
const char* e_get_from(const envelope& env);
// Appends the normalised address (an empty one adds nothing and answers 1);
// refused (0) when the list is borrowed.
[[nodiscard]] int e_add_rcpt(envelope& env, const char* address);
strings* e_get_rcpts(const envelope& env);
// Attaches list as borrowed (it must outlive the envelope); an owned list is freed.
int e_set_rcpts(envelope& env, strings* list);
int e_rcpts_count(const envelope& env);
// Exact, case-sensitive match among the recipients.
int e_has_rcpt(const envelope& env, const char* address);
// Logs the envelope at Verbose when level is Verbose or more.
void e_print(const envelope& env, int level);

// ---- mail record ----

enum mail_property : int {
    MAIL_PROP_SUBJECT = 0,
    MAIL_PROP_HEADERS_OFFSET = 1,
    MAIL_PROP_HEADERS_LENGTH = 2,
    MAIL_PROP_MESSAGE_ID = 3,
    MAIL_PROP_REPLY_STRING = 4,
    MAIL_PROP_ORIG_RCPT = 5,
};

struct mail {
    envelope env;
    conf_string path;                   // the spool file
    std::unique_ptr<scanresult> result;
    conf_string subject;                // text after "Subject:", leading blanks and "\r" kept
    int32_t headers_offset = 0;
    int32_t headers_length = 0;         // bytes of the header block, blank line included
    conf_string message_id;
    conf_string reply_string;           // set by the scan flow for a rejected message
    conf_string orig_rcpt;              // from "X-Original-To"
    bool keep_file = false;             // the spool file was moved away: never unlink it
    std::string queue_id;               // the mail system's queue ID, empty when not known
};

// A new record for the spool path (none: no path), with an empty envelope.
std::unique_ptr<mail> mail_create(const char* path);
// Unlinks the spool file when unlink_file is set and the file was not kept, then
// frees the record.
void mail_delete(std::unique_ptr<mail> m, bool unlink_file);

const char* mail_get_path(const mail& m);
envelope& mail_get_envelope(mail& m);
scanresult* mail_get_result(const mail& m);
// Replaces (and deletes) the previous result; 1.
int mail_set_result(mail& m, std::unique_ptr<scanresult> result);
void mail_keep_file(mail& m);

// String properties (SUBJECT, MESSAGE_ID, REPLY_STRING, ORIG_RCPT): the text or
// nullptr; the two number ids and unknown ids give nullptr.
const char* mail_get_property(const mail& m, int id);
// HEADERS_OFFSET and HEADERS_LENGTH; nullptr for the other ids.
const int32_t* mail_get_int_property(const mail& m, int id);
// A string property: stores a copy without one trailing "\n"; a null value keeps
// the old one. Ids above 5 change nothing. 1, or 0 for a number id.
[[nodiscard]] int mail_set_property(mail& m, int id, const char* value);
// A number property (HEADERS_OFFSET, HEADERS_LENGTH); 0 for a null value or a
// string id.
[[nodiscard]] int mail_set_property(mail& m, int id, const int32_t* value);

// Reads the header block of the spool file: subject, message id, original
// recipient, headers offset and length. Only sets properties, never clears them.
[[nodiscard]] int mail_parse_headers(mail& m);

// Whether the message is to be scanned under the deny list (none: always),
// the deny mode (DENY_BY_*) and the deny-by-default flag.
[[nodiscard]] int mail_need_scan(const mail& m, const users_list* list, int mode, int deny_by_default);

// Logs the envelope and the record at Verbose when level is Verbose or more.
void mail_print(const mail& m, int level);

}  // namespace kv
