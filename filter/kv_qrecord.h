// kv_qrecord: the envelope record kept beside a quarantined message: whom it was
// from and for, the mail system's queue ID, when and why it was quarantined.
// The quarantine file holds only the message, so the record is the only copy of
// its envelope.
//
// The record of message file F is F + ".env", one "key value" line per field:
//
//   kerval-quarantine-record 1
//   sender <address>
//   rcpt <address>            (one line per recipient)
//   queue_id <id>
//   time <seconds since 1970>
//   verdict <word>
//   virus <name>              (one line per name)
//
// Values are written with every byte below 0x20, 0x7f and "%" as "%XX", so no
// address or virus name can start a line or hide a NUL; reading decodes them.
//
// write_quarantine_record writes the record atomically (a temporary file beside
// it, synced, renamed over the name, then the directory synced) with the
// message file's permission bits: QRECORD_OK, or QRECORD_FAILED after logging
// why, with nothing left behind. read_quarantine_record reads at most
// kQuarantineRecordMax bytes: QRECORD_OK, QRECORD_MISSING (no record: a file
// quarantined before records were kept), or QRECORD_BAD after logging why.
#pragma once

#include <string>
#include <vector>

namespace kv {

enum qrecord_result : int { QRECORD_FAILED = 0, QRECORD_OK = 1, QRECORD_MISSING = 2, QRECORD_BAD = 3 };

// Largest record read; far above any real envelope (recipients are limited by
// the mail system's recipient limit per delivery).
constexpr size_t kQuarantineRecordMax = 1024 * 1024;
constexpr const char* kQuarantineRecordSuffix = ".env";

struct quarantine_record {
    std::string sender;
    std::vector<std::string> recipients;
    std::string queue_id;
    long long time = 0;
    std::string verdict;
    std::vector<std::string> viruses;
};

std::string quarantine_record_path(const std::string& message_path);

[[nodiscard]] int write_quarantine_record(const std::string& message_path, const quarantine_record& record);
[[nodiscard]] int read_quarantine_record(const std::string& message_path, quarantine_record& record);

// The record as text and back (the file's content); parse answers false for a
// text that is not a record.
std::string format_quarantine_record(const quarantine_record& record);
bool parse_quarantine_record(const std::string& text, quarantine_record& record);

}  // namespace kv
