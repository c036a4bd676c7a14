// kv_options: the filter's configuration: the command-line options, the choice of
// the configuration file, and the section readers with every default and check
// that fill the settings record (kv_settings.h).
//
// load_config answers 1 when the configuration is loaded and 0 after logging why
// not; in check-only mode it runs the self-test and exits the process itself.
// With --queue_id, every line the run logs from then on starts with "QUEUEID: ".
// The other operations answer 1 / 0.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kv_settings.h"
#include "kvc_conf.h"
#include "kvc_version.h"

namespace kv {

constexpr const char* kProgramIdent = "kerval-postfix";
constexpr const char* kFilterName = "Kerval(R) Filter for postfix";
constexpr const char* kFilterVersion = KV_VERSION;
// The configuration files tried in this order when no --conf= is given.
constexpr const char* kDefaultConfigs[] = {"/etc/kerval/kerval_postfix.conf",
                                           "/usr/local/etc/kerval/kerval_postfix.conf"};

// Command line options state (only while the command line is read).
struct options_state {
    conf_string conf_path;
    bool check_only = false;
    conf_string check_user;
    long message_size = 0;
    std::string size_text;
    std::string queue_id;
};

// Longest queue ID --queue_id takes; the mail system's own are well below it.
constexpr size_t kQueueIdMax = 32;
// Whether text has the form of a queue ID of the mail system: 1 to kQueueIdMax
// letters and digits (the short hexadecimal and the long form alike).
bool valid_queue_id(std::string_view text);

int load_config(int argc, char** argv, filter_config& config);

// The section task list over the record; presence of the optional notification
// sections and of [Agent] is recorded in the flags.
struct section_presence {
    bool cured = false;
    bool malware = false;
    bool rule_filter = false;
    bool mailbomb = false;
    bool archive_restriction = false;
    bool agent = false;
};
std::vector<conf_task> make_config_tasks(filter_config& config, section_presence& presence);

// Reads and checks the whole file into config (also the checks after the file);
// 1 / 0. On failure nothing loaded survives. extra adds the sections of another
// front end (the milter's [Milter]); without a task of that name a [Milter]
// section is read and ignored.
int read_config_file(const char* path, filter_config& config, std::vector<conf_task> extra = {});

// Action words: the first word the value begins with whose letter is admissible.
int parse_action(const char* value, const char* letters, int* dest);
// "<value>" when the value has no ">", else the value as written.
int parse_address(conf_string* dest, const char* value);
char action_letter(int action);
void dump_actions(const actions_settings& actions);

}  // namespace kv
