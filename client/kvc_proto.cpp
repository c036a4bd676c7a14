#include "kvc_proto.h"

#include <algorithm>
#include <cstring>

#include "kvc_log.h"

namespace kv::proto {
namespace {

// Bytestrings arrive in pieces of this size, so memory follows the data.
constexpr size_t READ_PIECE = 1 << 20;

struct stat_rule {
    uint32_t mask;
    stat_counter counter;
};

// read_stat adds a pair to the first counter whose mask it shares.
const stat_rule kReadRules[] = {
    {0x20, STAT_KNOWN_VIRUSES}, {0x80, STAT_MODIFICATIONS}, {0x40, STAT_SUSPICIOUS},   {0x1E08, STAT_SKIPPED},
    {0x46000, STAT_ARCHIVE},    {0x20000, STAT_RULE_REJECTS}, {0x8017, STAT_SCAN_ERRORS}, {0x100, STAT_CURED},
    {0x80000, STAT_DELETED},    {0x400000, STAT_ADWARE},      {0x800000, STAT_DIALERS},   {0x1000000, STAT_JOKES},
    {0x2000000, STAT_RISKWARE}, {0x4000000, STAT_HACKTOOLS},
};

// The pairs write_stat sends, in order.
const stat_rule kWriteRules[] = {
    {0x20, STAT_KNOWN_VIRUSES}, {0x80, STAT_MODIFICATIONS},   {0x40, STAT_SUSPICIOUS},    {0x1E08, STAT_SKIPPED},
    {0x46000, STAT_ARCHIVE},    {0x20000, STAT_RULE_REJECTS}, {0x8017, STAT_SCAN_ERRORS}, {0x100, STAT_CURED},
};

// Counters saturate instead of overflowing on absurd numbers from a peer.
void add_counter(int32_t& counter, int64_t number) {
    counter = static_cast<int32_t>(std::clamp<int64_t>(counter + number, INT32_MIN, INT32_MAX));
}

uint32_t decode_int(const unsigned char* b) {
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

}  // namespace

void encode_int(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, sizeof bytes);
}

void encode_int64(std::string& out, uint64_t value) {
    encode_int(out, static_cast<uint32_t>(value >> 32));
    encode_int(out, static_cast<uint32_t>(value));
}

void encode_bytestring(std::string& out, std::string_view data) {
    encode_int(out, static_cast<uint32_t>(data.size()));
    out.append(data);
}

void encode_list(std::string& out, const std::vector<std::string>& items, bool include_nul) {
    encode_int(out, static_cast<uint32_t>(items.size()));
    for (const std::string& item : items) {
        encode_bytestring(out, std::string_view(item.c_str(), item.size() + (include_nul ? 1 : 0)));
    }
}

void encode_list(std::string& out, const strings* list, bool include_nul) {
    if (list == nullptr) {
        encode_int(out, 0);
        return;
    }
    encode_list(out, list->items(), include_nul);
}

void encode_stat(std::string& out, const std::vector<stat_pair>& pairs) {
    encode_int(out, static_cast<uint32_t>(pairs.size()));
    for (const stat_pair& pair : pairs) {
        encode_int(out, pair.mask);
        encode_int(out, static_cast<uint32_t>(pair.number));
    }
}

std::vector<stat_pair> stat_pairs(const scan_stat& record) {
    std::vector<stat_pair> pairs;
    for (const stat_rule& rule : kWriteRules) pairs.push_back({rule.mask, record[rule.counter]});
    return pairs;
}

int write_buf(ipc::channel& ch, size_t length, const void* data) {
    if (data == nullptr) {
        log(Errors, "kvlib: proto::write_buf bad parameters (%d.%d.%d) were passed", 0, 1, 0);
        return 0;
    }
    size_t sent = length;
    return ipc::send(ch, data, sent) == ipc::IPC_OK ? 1 : 0;
}

int read_buf(ipc::channel& ch, size_t length, void* buffer) {
    if (buffer == nullptr) {
        log(Errors, "kvlib: proto::read_buf bad parameters (%d.%d.%d) were passed", 0, 1, 0);
        return 0;
    }
    size_t got = length;
    return ipc::recv(ch, buffer, got) == ipc::IPC_OK ? 1 : 0;
}

int write_int(ipc::channel& ch, int32_t value) {
    std::string bytes;
    encode_int(bytes, static_cast<uint32_t>(value));
    return write_buf(ch, bytes.size(), bytes.data());
}

int read_int(ipc::channel& ch, uint32_t& value) {
    unsigned char bytes[4];
    if (!read_buf(ch, sizeof bytes, bytes)) return 0;
    value = decode_int(bytes);
    return 1;
}

int read_int(ipc::channel& ch, int32_t& value) {
    uint32_t raw = 0;
    if (!read_int(ch, raw)) return 0;
    value = static_cast<int32_t>(raw);
    return 1;
}

int write_int64(ipc::channel& ch, int64_t value) {
    std::string bytes;
    encode_int64(bytes, static_cast<uint64_t>(value));
    return write_buf(ch, bytes.size(), bytes.data());
}

int read_int64(ipc::channel& ch, int64_t& value) {
    unsigned char bytes[8];
    if (!read_buf(ch, sizeof bytes, bytes)) return 0;
    value = static_cast<int64_t>((uint64_t{decode_int(bytes)} << 32) | decode_int(bytes + 4));
    return 1;
}

int write_bytestring(ipc::channel& ch, size_t length, const void* data) {
    if (data == nullptr || length == 0) return write_int(ch, 0);
    if (!write_int(ch, static_cast<int32_t>(length))) return 0;
    return write_buf(ch, length, data);
}

int read_bytestring(ipc::channel& ch, std::optional<std::string>& data, bool terminate, uint32_t max_length) {
    data.reset();
    uint32_t length = 0;
    if (!read_int(ch, length)) return 0;
    if (length == 0) {
        if (terminate) {
            data.emplace();
        } else {
            log(Debug, "kvlib: proto::read_bytestring null bytestring readed");
        }
        return 1;
    }
    const uint32_t accepted = std::min(max_length, BYTESTRING_MAX);
    if (length > accepted) {
        log(Errors, "kvlib: proto::read_bytestring refused a bytestring of %u bytes (at most %u bytes are accepted)",
            length, accepted);
        return 0;
    }
    std::string bytes;
    size_t got = 0;
    while (got < length) {
        const size_t piece = std::min<size_t>(length - got, READ_PIECE);
        bytes.resize(got + piece);
        if (!read_buf(ch, piece, bytes.data() + got)) return 0;
        got += piece;
    }
    data = std::move(bytes);
    return 1;
}

int write_list(ipc::channel& ch, const strings* list, bool include_nul) {
    if (list != nullptr) log(Debug, "kvlib: proto::write_list %d strings should be written", list->count());
    std::string bytes;
    encode_list(bytes, list, include_nul);
    return write_buf(ch, bytes.size(), bytes.data());
}

int read_list(ipc::channel& ch, const combiner_fn& combine, list_limits limits) {
    if (!combine) {
        log(Errors, "kvlib: proto::read_list bad parameters (%d.%d) were passed", 0, 1);
        return 0;
    }
    uint32_t count = 0;
    if (!read_int(ch, count)) return 0;
    log(Debug, "kvlib: proto::read_list %d strings should be read", static_cast<int>(count));
    constexpr uint64_t kLengthField = 4;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t max_length = limits.line;
        if (limits.budget != nullptr) {
            if (*limits.budget < kLengthField) {
                log(Errors, "kvlib: proto::read_list refused line %u of %u: the answer brought too much", i + 1,
                    count);
                return 0;
            }
            *limits.budget -= kLengthField;
            max_length = static_cast<uint32_t>(std::min<uint64_t>(max_length, *limits.budget));
        }
        std::optional<std::string> line;
        if (!read_bytestring(ch, line, true, max_length)) return 0;
        if (!line) continue;
        if (limits.budget != nullptr) *limits.budget -= line->size();
        const size_t length = line->size() + 1;
        if (!combine(length, line->c_str())) {
            log(Errors, "kvlib: proto::read_list combine routine failed on line[size=%d]=%s", static_cast<int>(length),
                line->c_str());
            return 0;
        }
    }
    return 1;
}

int write_stat(ipc::channel& ch, const scan_stat& record) {
    const std::vector<stat_pair> pairs = stat_pairs(record);
    log(Debug, "kvlib: proto::write_stat %d pairs should be written", static_cast<int>(pairs.size()));
    std::string bytes;
    encode_stat(bytes, pairs);
    if (!write_buf(ch, bytes.size(), bytes.data())) {
        log(Errors, "kvlib: proto::write_stat - protocol error");
        return 0;
    }
    return 1;
}

int read_stat(ipc::channel& ch, scan_stat& record) {
    uint32_t count = 0;
    if (!read_int(ch, count)) return 0;
    log(Debug, "kvlib: proto::read_stat %d pairs should be read", static_cast<int>(count));
    if (count > STAT_PAIRS_MAX) {
        log(Errors, "kvlib: proto::read_stat refused %u pairs (at most %u are accepted)", count, STAT_PAIRS_MAX);
        return 0;
    }
    add_counter(record[STAT_SCANNED], 1);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t mask = 0;
        int32_t number = 0;
        if (!read_int(ch, mask) || !read_int(ch, number)) {
            log(Errors, "kvlib: proto::read_stat cannot read pair #%d", static_cast<int>(i));
            return 0;
        }
        log(Debug, "kvlib: proto::read_stat (%#X:%d)", mask, number);
        for (const stat_rule& rule : kReadRules) {
            if (mask & rule.mask) {
                add_counter(record[rule.counter], number);
                break;
            }
        }
    }
    return 1;
}

std::optional<std::string> read_report(ipc::channel& ch, uint32_t limit, const char* name, list_limits limits) {
    strings list(limit);
    int ok;
    if (name != nullptr) {
        ok = read_list(ch, [&](size_t length, const char* line) {
            return combiner::add_multistring_and_delete_path(length, line, list, name);
        }, limits);
    } else {
        ok = read_list(ch, [&](size_t length, const char* line) { return combiner::add(length, line, list); }, limits);
    }
    if (!ok) return std::nullopt;
    return list.to_linear(0);
}

}  // namespace kv::proto

namespace kv::combiner {

int add(size_t, const char* line, strings& list) { return list.add(line); }

int add_multistring_and_delete_path(size_t length, const char* line, strings& list, const char* name) {
    if (line == nullptr || name == nullptr) {
        log(Errors, "kvlib: combiner::add_multistring_and_delete_path bad parameters (%d.%d.%d.%d) were passed", 0,
            line == nullptr ? 1 : 0, 0, name == nullptr ? 1 : 0);
        return 0;
    }
    const char* slash = strrchr(name, '/');
    const size_t dir_length = slash != nullptr ? static_cast<size_t>(slash - name) + 1 : 0;
    const char* found = dir_length > 0 && dir_length < length ? strstr(line, name) : nullptr;
    if (found == nullptr) {
        (void)list.add(line);
        return 1;
    }
    if (found != line) (void)list.add(std::string(line, static_cast<size_t>(found - line)));
    (void)list.add(strlen(found) > dir_length ? found + dir_length : found);
    // Lines past the limit are dropped: the report is cut rather than lost.
    return 1;
}

int parse_viruses(size_t length, const char* line, category_lists& lists) {
    static const char kLetters[CAT_COUNT + 1] = "KSMADJRH";
    if (line == nullptr) {
        log(Errors, "kvlib: combiner::parse_viruses bad parameters (%d.%d) were passed", 1, 0);
        return 0;
    }
    const char* comma = strrchr(line, ',');
    if (comma == nullptr) {
        log(Errors, "kvlib: combiner::parse_viruses line malformed - [%d]%s", static_cast<int>(length), line);
        return 0;
    }
    const char letter = comma[1];
    const char* slot = letter != '\0' ? strchr(kLetters, letter) : nullptr;
    if (slot == nullptr) {
        log(Errors, "kvlib: combiner::parse_viruses unknown infection type '%c' in line - [%d]%s",
            letter != '\0' ? letter : ' ', static_cast<int>(length), line);
        return 0;
    }
    std::unique_ptr<strings>& list = lists[static_cast<size_t>(slot - kLetters)];
    if (!list) list = strings::create(0);
    const std::string name(line, static_cast<size_t>(comma - line));
    log(Debug, "kvlib: combiner::parse_viruses to list '%c' add virus %s", letter, name.c_str());
    return list->add(name);
}

}  // namespace kv::combiner
