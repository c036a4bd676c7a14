// kvd_settings: the answers tests can dictate to the daemon, and its misbehaviours.
//
// The same settings come from the command line ("--NAME=VALUE") and from the
// control file ("NAME = VALUE" lines, "#" comments), which is read again before
// every request and applied over the command line's settings. A setting that
// repeats builds a list; in the control file the first line of such a setting
// replaces the list the command line gave. Texts understand \n, \r, \t, \\ and
// \xHH. apply_setting answers an empty text, or why the value was refused.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kvc_proto.h"
#include "kvc_version.h"

namespace kvd {

struct answer_settings {
    uint32_t version = KV_VERSION_CODE;
    std::optional<std::string> id;                     // instead of the daemon's own
    std::optional<std::vector<std::pair<std::string, int32_t>>> bases;  // instead of the loaded databases
    std::optional<uint32_t> status;                    // instead of the verdict
    std::optional<std::vector<std::string>> viruses;   // "name,LETTER" lines, sent as given
    std::optional<std::string> rule;
    std::optional<std::vector<std::string>> report;    // "{name}" stands for the object's name
    std::optional<std::vector<kv::proto::stat_pair>> stats;
    std::optional<std::string> cured;                  // content of the cured file
    std::optional<uint32_t> cured_length;              // length announced for the cured file
    std::optional<uint64_t> close_after;               // bytes of the answer sent before closing
    bool stall = false;
    std::optional<uint32_t> delay;                     // milliseconds before the answer
    int32_t agent_answer = 0;
};

// Names of the settings, for option parsing.
const std::vector<std::string>& setting_names();

// Applies one setting; lists_seen holds the list settings already set by the
// current source (their first occurrence replaces the earlier list).
std::string apply_setting(answer_settings& settings, const std::string& name, const std::string& value,
                          std::set<std::string>& lists_seen);

// Applies the control file at path over settings; a missing file changes
// nothing. Lines that cannot be applied are logged and skipped.
void apply_control_file(answer_settings& settings, const std::string& path);

// \n, \r, \t, \\ and \xHH resolved.
std::string unescape(const std::string& text);

}  // namespace kvd
