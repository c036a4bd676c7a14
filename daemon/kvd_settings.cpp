#include "kvd_settings.h"

#include <errno.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kvd {
namespace {

constexpr size_t CONTROL_FILE_MAX = 1 << 20;

std::string trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

// A whole number in decimal or (with 0x) hexadecimal within [low, high].
bool parse_number(const std::string& text, long long low, long long high, long long& value) {
    const std::string t = trim(text);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = strtoll(t.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

bool parse_bool(const std::string& text, bool& value) {
    const std::string t = trim(text);
    if (t == "yes" || t == "on" || t == "true" || t == "1") {
        value = true;
    } else if (t == "no" || t == "off" || t == "false" || t == "0") {
        value = false;
    } else {
        return false;
    }
    return true;
}

template <typename T>
std::vector<T>& list_for(std::optional<std::vector<T>>& list, const std::string& name, std::set<std::string>& seen) {
    const bool first = seen.insert(name).second;
    if (!list || first) list.emplace();
    return *list;
}

}  // namespace

const std::vector<std::string>& setting_names() {
    static const std::vector<std::string> names = {"version", "id",    "base",         "status",      "virus",
                                                   "rule",    "report", "stat",        "cured",       "cured-length",
                                                   "close-after", "stall", "delay",  "agent-answer"};
    return names;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'n') {
            out += '\n';
        } else if (c == 'r') {
            out += '\r';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'x' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string apply_setting(answer_settings& s, const std::string& name, const std::string& raw,
                          std::set<std::string>& lists_seen) {
    const std::string value = unescape(raw);
    long long number = 0;
    if (name == "version") {
        if (!parse_number(value, 0, UINT32_MAX, number)) return "not a number";
        s.version = static_cast<uint32_t>(number);
    } else if (name == "id") {
        s.id = value;
    } else if (name == "base") {
        const size_t colon = value.rfind(':');
        if (colon == std::string::npos || !parse_number(value.substr(colon + 1), INT32_MIN, INT32_MAX, number)) {
            return "expected NAME:RECORDS";
        }
        list_for(s.bases, name, lists_seen).emplace_back(value.substr(0, colon), static_cast<int32_t>(number));
    } else if (name == "status") {
        if (!parse_number(value, 0, UINT32_MAX, number)) return "not a number";
        s.status = static_cast<uint32_t>(number);
    } else if (name == "virus") {
        std::vector<std::string>& viruses = list_for(s.viruses, name, lists_seen);
        if (!value.empty()) viruses.push_back(value);
    } else if (name == "rule") {
        s.rule = value;
    } else if (name == "report") {
        std::vector<std::string>& report = list_for(s.report, name, lists_seen);
        if (!value.empty()) report.push_back(value);
    } else if (name == "stat") {
        std::vector<kv::proto::stat_pair>& stats = list_for(s.stats, name, lists_seen);
        if (value.empty()) return "";
        const size_t colon = value.find(':');
        long long mask = 0;
        if (colon == std::string::npos || !parse_number(value.substr(0, colon), 0, UINT32_MAX, mask) ||
            !parse_number(value.substr(colon + 1), INT32_MIN, INT32_MAX, number)) {
            return "expected MASK:COUNT";
        }
        stats.push_back({static_cast<uint32_t>(mask), static_cast<int32_t>(number)});
    } else if (name == "cured") {
        s.cured = value;
    } else if (name == "cured-length") {
        if (!parse_number(value, 0, UINT32_MAX, number)) return "not a number";
        s.cured_length = static_cast<uint32_t>(number);
    } else if (name == "close-after") {
        if (!parse_number(value, 0, INT64_MAX, number)) return "not a number";
        s.close_after = static_cast<uint64_t>(number);
    } else if (name == "stall") {
        if (!parse_bool(value, s.stall)) return "expected yes or no";
    } else if (name == "delay") {
        if (!parse_number(value, 0, 3600 * 1000, number)) return "not a number of milliseconds up to an hour";
        s.delay = static_cast<uint32_t>(number);
    } else if (name == "agent-answer") {
        if (!parse_number(value, INT32_MIN, INT32_MAX, number)) return "not a number";
        s.agent_answer = static_cast<int32_t>(number);
    } else {
        return "unknown setting";
    }
    return "";
}

void apply_control_file(answer_settings& settings, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        kv::log(kv::Debug, "kervald: no control file %s - %s", path.c_str(), kv::stdlib_error(errno));
        return;
    }
    std::string text(CONTROL_FILE_MAX + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > CONTROL_FILE_MAX) {
        kv::log(kv::Errors, "kervald: control file %s is larger than %zu bytes - ignored", path.c_str(),
                CONTROL_FILE_MAX);
        return;
    }
    std::set<std::string> seen;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#') continue;
        const size_t equals = content.find('=');
        const std::string name = trim(content.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : trim(content.substr(equals + 1));
        const std::string problem =
            equals == std::string::npos ? "expected NAME = VALUE" : apply_setting(settings, name, value, seen);
        if (!problem.empty()) {
            kv::log(kv::Errors, "kervald: control file %s line %d: %s - %s", path.c_str(), number, content.c_str(),
                    problem.c_str());
        }
    }
}

}  // namespace kvd
