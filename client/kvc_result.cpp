#include "kvc_result.h"

#include <cstdio>

#include "kvc_log.h"

namespace kv {
namespace {

const flag_text kStatusTexts[] = {
    {KV_READ_ERROR, "read error"},
    {KV_WRITE_ERROR, "write error"},
    {KV_NOMEMORY, "no memory for operation"},
    {KV_CRC_ERROR, "CRC error (archive with wrong CRC)"},
    {KV_SOCKET_ERROR, "socket error"},
    {KV_KNOWN_VIRUS, "known virus is found"},
    {KV_UNKNOWN_VIRUS, "possible unknown virus is found"},
    {KV_VIRUS_MODIFICATION, "virus modification is found"},
    {KV_CURED, "one (or more) object(s) has been cured"},
    {KV_TIMEOUT, "operation timed out"},
    {KV_SYMLINK, "symlink is found"},
    {KV_NO_REGULAR_FILE, "no regular file is found"},
    {KV_SKIPPED, "skipped object"},
    {KV_TOO_BIG, "too big file after extraction"},
    {KV_TOO_COMPRESSED, "too high compression ratio"},
    {KV_INVALID_CALL, "invalid call"},
    {KV_RULE_FILTER_REJECT, "rejected by rule filter"},
    {KV_TOO_DEEP_NESTING, "too big nesting level in archive"},
    {KV_DELETED, "one (or more) object(s) has been deleted"},
    {KV_CLEAN_COMPOSITE, "after scanning/curing composite object is clean"},
    {KV_ADWARE, "an adware is found"},
    {KV_DIALER, "a dialer is found"},
    {KV_JOKE, "a joke(hoax) is found"},
    {KV_RISKWARE, "a riskware is found"},
    {KV_HACKTOOL, "a hacktool is found"},
    {0, nullptr},
};

// Order of the statistics text and of print_stat (scanned objects only in the latter).
const stat_counter kPrintOrder[] = {
    STAT_KNOWN_VIRUSES, STAT_MODIFICATIONS, STAT_SUSPICIOUS, STAT_ADWARE, STAT_DIALERS,
    STAT_JOKES,         STAT_RISKWARE,      STAT_HACKTOOLS,  STAT_CURED,  STAT_DELETED,
    STAT_RULE_REJECTS,  STAT_SKIPPED,       STAT_ARCHIVE,    STAT_SCAN_ERRORS,
};

}  // namespace

const char* const kStatLabels[STAT_COUNT] = {
    "Scanned objects",      "Known viruses",  "Modifications",      "Suspicious",
    "Cured",                "Deleted",        "FilterRule Reject",  "Skipped object",
    "Archive restriction",  "Scanning error", "Advertising software", "Dialer program",
    "Joke(Hoax) program",   "Potentially dangerous software", "Intrusion tool",
};

std::unique_ptr<scanresult> scanresult_new() { return std::make_unique<scanresult>(); }

int scanresult_set_status(scanresult* result, uint32_t status) {
    if (result == nullptr) return 0;
    result->status = status;
    return 1;
}

uint32_t scanresult_get_status(const scanresult* result) {
    if (result == nullptr) {
        log(Verbose, "kvlib: try to get status from NULL pointer");
        return KV_INVALID_CALL;
    }
    return result->status;
}

const char* scanresult_get_rule(const scanresult* result) {
    return result != nullptr && result->rule ? result->rule->c_str() : nullptr;
}

const char* scanresult_get_report(const scanresult* result) {
    if (result == nullptr) return "FATAL ERROR: null pointer passed";
    if (!result->report) return "Kerval Daemon report was not requested in this configuration.";
    return result->report->c_str();
}

int scanresult_set_report(scanresult* result, const char* text) {
    if (result == nullptr) return 0;
    if (text == nullptr) result->report.reset();
    else result->report = text;
    return 1;
}

strings* scanresult_get_viruses(scanresult* result) { return result != nullptr ? result->viruses.get() : nullptr; }

category_lists* scanresult_get_categories(scanresult* result) {
    return result != nullptr ? &result->categories : nullptr;
}

scan_stat* scanresult_get_stat(scanresult* result) { return result != nullptr ? &result->stat : nullptr; }

const char* scanresult_get_cured_file(const scanresult* result) {
    return result != nullptr && result->cured_file ? result->cured_file->data() : nullptr;
}

size_t scanresult_get_cured_length(const scanresult* result) {
    return result != nullptr && result->cured_file ? result->cured_file->size() : 0;
}

int scanresult_set_quarantine_name(scanresult* result, const char* name) {
    if (result == nullptr) return 0;
    if (name == nullptr) return 1;
    if (result->quarantine_name) log(Debug, "kvlib: try to reset quarantine name in scanresult");
    result->quarantine_name = name;
    return 1;
}

const char* scanresult_get_quarantine_name(const scanresult* result) {
    if (result == nullptr) return nullptr;
    if (!result->quarantine_name) {
        log(Verbose, "kvlib: quarantine name was not set");
        return nullptr;
    }
    return result->quarantine_name->c_str();
}

std::optional<std::string> scanresult_stat_text(const scan_stat* stat) {
    if (stat == nullptr) return std::nullopt;
    strings lines;
    for (stat_counter counter : kPrintOrder) {
        int32_t value = (*stat)[counter];
        if (value == 0) continue;
        char buffer[64];
        if (snprintf(buffer, sizeof buffer, "%s : %d\n", kStatLabels[counter], value) < 0) return std::nullopt;
        if (!lines.add(buffer)) return std::nullopt;
    }
    return lines.to_linear(0);
}

void print_stat(int level, const scan_stat* stat) {
    if (level < Verbose || stat == nullptr) return;
    log(Verbose, "kvlib: Statistic:");
    log(level, "kvlib: stat: %s : %d", kStatLabels[STAT_SCANNED], (*stat)[STAT_SCANNED]);
    for (stat_counter counter : kPrintOrder)
        log(level, "kvlib: stat: %s : %d", kStatLabels[counter], (*stat)[counter]);
}

std::string flags_to_text(uint32_t value, const flag_text* table, int mode) {
    if (value == 0) return "success";
    strings texts;
    bool first = true;
    for (const flag_text* entry = table; entry != nullptr && entry->text != nullptr; ++entry) {
        bool match = mode == 1 ? (value & entry->mask) == entry->mask
                     : mode == 2 ? (value & entry->mask) != 0
                                 : value == entry->mask;
        if (!match) continue;
        if (!first) texts.add(", ");
        texts.add(entry->text);
        first = false;
    }
    return texts.to_linear(0).value_or(std::string());
}

std::string result_to_text(uint32_t status) { return flags_to_text(status, kStatusTexts, 1); }

}  // namespace kv
