// kvm_options: the milter's command line and the choice of its configuration
// file (the filter's file, the same default places).
//
//   --conf=PATH  --check_only  --debug  --foreground  --help  --version
//
// parse_command_line answers the options, or nullopt after printing or
// logging why not (exit_status then says how the program ends: 0 after
// --version, 64 after --help, as the filter's, and for a usage error).
#pragma once

#include <optional>
#include <string>

#include "kvm_settings.h"

namespace kv::milter {

constexpr const char* kMilterIdent = "kerval-milter";

struct command_line {
    std::string conf_path;  // empty: the first readable default
    bool check_only = false;
    bool debug = false;
    bool foreground = false;
};

std::optional<command_line> parse_command_line(int argc, char** argv, int& exit_status);

// The configuration file: --conf= as given, else the first readable default;
// empty after printing that none was found.
std::string choose_config_file(const command_line& options);

// The milter's own part of --check_only: the accounts, the group and the
// socket's directory exist. true when all is well.
bool check_milter_settings(const milter_settings& settings);

}  // namespace kv::milter
