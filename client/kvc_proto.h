// kvc_proto: the wire format of the daemon protocol, and the combiners that turn
// received lines into string lists.
//
// All integers travel big-endian with no padding: int (4 bytes), int64 (8), a
// bytestring is an int length and that many raw bytes, a list an int count and
// that many bytestrings, a stat block an int count and that many (mask, number)
// int pairs. The encode_* functions append these forms to a buffer; write_*
// send them, read_* receive them. Every read from the peer is bounded: a
// bytestring longer than BYTESTRING_MAX is refused before anything is allocated,
// and memory grows only with the bytes that actually arrive.
//
// Primitives answer 1 on success and 0 on failure (logged once, "kvlib: proto::
// ..."); after a failure the channel is out of step and the caller closes it.
// Combiners answer 1 to go on and 0 to abort the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvc_ipc.h"
#include "kvc_result.h"
#include "kvc_strings.h"

namespace kv::proto {

// The longest bytestring accepted from a peer: its text with a terminating NUL
// still fits a signed 32-bit length.
constexpr uint32_t BYTESTRING_MAX = 0x7FFFFFFE;

// Bounds of one daemon answer, apart from its cured file (at most
// BYTESTRING_MAX): the rule text and every list line (virus names, report lines)
// at most ANSWER_LINE_MAX bytes; all list lines together, counting 4 bytes for
// each line's length, at most ANSWER_TEXT_MAX; a stat block at most
// STAT_PAIRS_MAX pairs.
constexpr uint32_t ANSWER_LINE_MAX = 64 * 1024;
constexpr uint64_t ANSWER_TEXT_MAX = 32 * 1024 * 1024;
constexpr uint32_t STAT_PAIRS_MAX = 1024;

struct stat_pair {
    uint32_t mask;
    int32_t number;
};

void encode_int(std::string& out, uint32_t value);
void encode_int64(std::string& out, uint64_t value);
void encode_bytestring(std::string& out, std::string_view data);
// A list of texts, each with its terminating NUL counted and sent when include_nul
// is set; a missing list is the empty list.
void encode_list(std::string& out, const std::vector<std::string>& items, bool include_nul);
void encode_list(std::string& out, const strings* list, bool include_nul);
void encode_stat(std::string& out, const std::vector<stat_pair>& pairs);
// The eight (mask, counter) pairs sent for a statistics record.
std::vector<stat_pair> stat_pairs(const scan_stat& record);

[[nodiscard]] int write_buf(ipc::channel& ch, size_t length, const void* data);
[[nodiscard]] int read_buf(ipc::channel& ch, size_t length, void* buffer);
[[nodiscard]] int write_int(ipc::channel& ch, int32_t value);
[[nodiscard]] int read_int(ipc::channel& ch, int32_t& value);
[[nodiscard]] int read_int(ipc::channel& ch, uint32_t& value);
[[nodiscard]] int write_int64(ipc::channel& ch, int64_t value);
[[nodiscard]] int read_int64(ipc::channel& ch, int64_t& value);
// Without data only the length 0 is sent.
[[nodiscard]] int write_bytestring(ipc::channel& ch, size_t length, const void* data);
// data is none for a length of 0 unless terminate is set (then it is an empty text).
// A length above max_length is refused before any byte of it is read.
[[nodiscard]] int read_bytestring(ipc::channel& ch, std::optional<std::string>& data, bool terminate,
                                  uint32_t max_length = BYTESTRING_MAX);
[[nodiscard]] int write_list(ipc::channel& ch, const strings* list, bool include_nul);

// Receives one line of a list: its length with the terminating NUL, and the text.
using combiner_fn = std::function<int(size_t length, const char* line)>;
// What a list may bring: lines of at most line bytes; with a budget, all lines
// together (4 bytes counted for each line's length) at most what is left in it,
// which shrinks by what arrives.
struct list_limits {
    uint32_t line = BYTESTRING_MAX;
    uint64_t* budget = nullptr;
};
[[nodiscard]] int read_list(ipc::channel& ch, const combiner_fn& combine, list_limits limits = {});

[[nodiscard]] int write_stat(ipc::channel& ch, const scan_stat& record);
// Adds a received stat block into record (and counts one scanned object); a
// block announcing more than STAT_PAIRS_MAX pairs is refused.
[[nodiscard]] int read_stat(ipc::channel& ch, scan_stat& record);
// A report list joined into one text, kept under limit (0 = none). With a name,
// lines naming the object by its full path show its base name, and lines past
// the limit are dropped; without one a line past the limit fails the report.
std::optional<std::string> read_report(ipc::channel& ch, uint32_t limit, const char* name, list_limits limits = {});

}  // namespace kv::proto

namespace kv::combiner {

int add(size_t length, const char* line, strings& list);
int add_multistring_and_delete_path(size_t length, const char* line, strings& list, const char* name);
// "name,L": files name (which may itself hold commas) in the list of category L
// (K S M A D J R H), creating that list on first use.
int parse_viruses(size_t length, const char* line, category_lists& lists);

}  // namespace kv::combiner
