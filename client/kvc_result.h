// kvc_result: one scanning daemon answer (scanresult), the daemon's status bits
// with their texts, and the statistics record with its printing.
//
// A scanresult owns everything in it. The free functions accept a missing result
// and then answer the documented fallback values.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kvc_strings.h"

namespace kv {

// Result status bits.
constexpr uint32_t KV_READ_ERROR = 0x00000001;
constexpr uint32_t KV_WRITE_ERROR = 0x00000002;
constexpr uint32_t KV_NOMEMORY = 0x00000004;
constexpr uint32_t KV_CRC_ERROR = 0x00000008;
constexpr uint32_t KV_SOCKET_ERROR = 0x00000010;
constexpr uint32_t KV_KNOWN_VIRUS = 0x00000020;
constexpr uint32_t KV_UNKNOWN_VIRUS = 0x00000040;
constexpr uint32_t KV_VIRUS_MODIFICATION = 0x00000080;
constexpr uint32_t KV_CURED = 0x00000100;
constexpr uint32_t KV_TIMEOUT = 0x00000200;
constexpr uint32_t KV_SYMLINK = 0x00000400;
constexpr uint32_t KV_NO_REGULAR_FILE = 0x00000800;
constexpr uint32_t KV_SKIPPED = 0x00001000;
constexpr uint32_t KV_TOO_BIG = 0x00002000;
constexpr uint32_t KV_TOO_COMPRESSED = 0x00004000;
constexpr uint32_t KV_INVALID_CALL = 0x00008000;
constexpr uint32_t KV_RULE_FILTER_REJECT = 0x00020000;
constexpr uint32_t KV_TOO_DEEP_NESTING = 0x00040000;
constexpr uint32_t KV_DELETED = 0x00080000;
constexpr uint32_t KV_CLEAN_COMPOSITE = 0x00100000;
constexpr uint32_t KV_ADWARE = 0x00400000;
constexpr uint32_t KV_DIALER = 0x00800000;
constexpr uint32_t KV_JOKE = 0x01000000;
constexpr uint32_t KV_RISKWARE = 0x02000000;
constexpr uint32_t KV_HACKTOOL = 0x04000000;

// Group masks.
constexpr uint32_t KV_MASK_SKIPPED = 0x1E08;
constexpr uint32_t KV_MASK_ARCHIVE = 0x46000;
constexpr uint32_t KV_MASK_SCAN_ERROR = 0x8017;
constexpr uint32_t KV_MASK_CURED_DELETED = 0x80100;

// The filter's own status for a message the daemon did not answer.
constexpr uint32_t KV_FILTER_FAILURE = 0xF0000000;

// Statistics counters, in record order.
enum stat_counter : int {
    STAT_SCANNED,
    STAT_KNOWN_VIRUSES,
    STAT_MODIFICATIONS,
    STAT_SUSPICIOUS,
    STAT_CURED,
    STAT_DELETED,
    STAT_RULE_REJECTS,
    STAT_SKIPPED,
    STAT_ARCHIVE,
    STAT_SCAN_ERRORS,
    STAT_ADWARE,
    STAT_DIALERS,
    STAT_JOKES,
    STAT_RISKWARE,
    STAT_HACKTOOLS,
    STAT_COUNT
};
using scan_stat = std::array<int32_t, STAT_COUNT>;
extern const char* const kStatLabels[STAT_COUNT];

// Category lists, in array order (letters K S M A D J R H).
enum category_index : int { CAT_KNOWN, CAT_SUSPICIOUS, CAT_MODIFICATIONS, CAT_ADWARE, CAT_DIALERS, CAT_JOKES,
                            CAT_RISKWARE, CAT_HACKTOOLS, CAT_COUNT };
using category_lists = std::array<std::unique_ptr<strings>, CAT_COUNT>;

struct scanresult {
    uint32_t status = 0;
    std::optional<std::string> rule;
    std::optional<std::string> report;
    std::unique_ptr<strings> viruses;
    category_lists categories;
    scan_stat stat{};
    std::optional<std::string> quarantine_name;
    std::optional<std::string> cured_file;  // binary bytes
};

std::unique_ptr<scanresult> scanresult_new();
int scanresult_set_status(scanresult* result, uint32_t status);
uint32_t scanresult_get_status(const scanresult* result);
const char* scanresult_get_rule(const scanresult* result);
const char* scanresult_get_report(const scanresult* result);
int scanresult_set_report(scanresult* result, const char* text);
strings* scanresult_get_viruses(scanresult* result);
category_lists* scanresult_get_categories(scanresult* result);
scan_stat* scanresult_get_stat(scanresult* result);
const char* scanresult_get_cured_file(const scanresult* result);
size_t scanresult_get_cured_length(const scanresult* result);
int scanresult_set_quarantine_name(scanresult* result, const char* name);
const char* scanresult_get_quarantine_name(const scanresult* result);

// The non-zero counters as "%s : %d\n" lines; nullopt for a missing record.
std::optional<std::string> scanresult_stat_text(const scan_stat* stat);
void print_stat(int level, const scan_stat* stat);

struct flag_text {
    uint32_t mask;
    const char* text;
};
// mode 1: all mask bits set; mode 2: any of them; otherwise equality.
std::string flags_to_text(uint32_t value, const flag_text* table, int mode);
std::string result_to_text(uint32_t status);

}  // namespace kv
