// kv_settings: the filter's settings record, one per process, filled from the
// configuration file: one record per section. Each later stage receives the
// section records it needs. Strings are owned copies (conf_string: none when not
// configured); the loaded lists live as long as the record.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kv_addresses.h"
#include "kv_users.h"
#include "kv_viruses.h"
#include "kvc_conf.h"
#include "kvc_strings.h"

namespace kv {

// Action codes: configuration words and what the scan flow returns.
enum action_code : int {
    ACT_PASS = 1,
    ACT_REJECT = 2,
    ACT_QUARANTINE = 3,
    ACT_REMOVE = 4,
    ACT_CURE = 5,
    ACT_DISCARD = 6,
    ACT_TEMPFAIL = 7,
    ACT_CONTINUE = 8,
    ACT_REDIRECT = 9,
};

enum naming_mode : int { NAMING_STD = 1, NAMING_RAND48 = 2, NAMING_TAI = 3 };

enum deny_mode : int {
    DENY_BY_ALL = 1,
    DENY_BY_ONE = 2,
    DENY_BY_SENDER_AND_ONE_RCPT = 3,
    DENY_BY_SENDER = 4,
    DENY_BY_ONE_RCPT = 5,
    DENY_BY_ALL_RCPTS = 6,
};

// Where and how new files are created: the spool ([Scanning]) and the
// quarantine ([Actions]).
struct spool_settings {
    conf_string directory;
    conf_string prefix;
    int naming_mode = NAMING_STD;
    int files_mode = 0600;  // permission bits
};

struct daemon_settings {  // [DaemonCommunication]
    std::unique_ptr<strings> address;  // primary first, then the backups
    int cache = 0;                     // always 0 after loading
    int timeout = 0;                   // seconds
    int use_tcp_nodelay = 0;
};

struct scanning_settings {  // [Scanning]
    int heuristic_analysis = 0;
    conf_string prefix_path;
    int strip_path = 0;
    int include_report = 1;
    int include_stats = 1;
    int report_max_size = 4096;
    int local_scan = 1;
    int rule_filter = 0;
    int spam_filter = 0;
    conf_string deny_list_path;
    std::unique_ptr<users_list> deny_list;
    int deny_mode = DENY_BY_ALL;
    int deny_by_default = 0;
    spool_settings spool;  // Spool, SpoolFilenamesPrefix, SpoolFilenamesMode, SpoolFilesMode
    conf_string ram_spool;
    int ram_threshold = 0;
    int report_flags = 6;      // 2: IncludeReport, 4: IncludeStats
    int use_tcp_nodelay = 0;   // copied from [DaemonCommunication]
    int run_time_limit = 900;  // seconds one message may take before it is deferred
};

struct logging_settings {  // [Logging]
    int level = 0;
    int debug_spool = 0;
    int facility = 16;
    int priority = 6;
};

struct actions_settings {  // [Actions]
    int rule_filter_alert = ACT_QUARANTINE;
    int empty_from = ACT_CONTINUE;
    int cure_fail = ACT_QUARANTINE;
    int incurable = ACT_QUARANTINE;
    int infected = ACT_QUARANTINE;
    int adware = ACT_QUARANTINE;
    int dialers = ACT_QUARANTINE;
    int jokes = ACT_QUARANTINE;
    int riskware = ACT_QUARANTINE;
    int hacktools = ACT_QUARANTINE;
    int suspicious = ACT_QUARANTINE;
    int skip_object = ACT_REJECT;
    int archive_restriction = ACT_REJECT;
    int scanning_errors = ACT_QUARANTINE;
    int processing_errors = ACT_QUARANTINE;
    int use_custom_reply = 0;
    conf_string reply_infected;
    conf_string reply_rule_filter;
    conf_string reply_empty_from;
    conf_string reply_suspicious;
    conf_string reply_malware;
    conf_string reply_skip_object;
    conf_string reply_archive_restriction;
    conf_string reply_error;
    conf_string admin_mail;     // stored in angle brackets
    conf_string filter_mail;    // stored in angle brackets
    conf_string redirect_mail;  // stored in angle brackets, optional
    std::unique_ptr<viruses_list> unnotifiable_viruses;
    conf_string unnotifiable_viruses_path;
    std::unique_ptr<maddr_list> unnotifiable_addresses;
    conf_string unnotifiable_addresses_path;
    spool_settings quarantine;  // directory optional
    int move_file = 1;          // always 1: the spool file is moved, not copied
    int error_notify_interval = 1800;  // seconds between notices about the same problem (0: no limit)
};

struct notification_settings {  // the seven notification sections
    int sender_notify = 0;
    int admin_notify = 0;
    int rcpts_notify = 0;
    conf_string rcpts_template;
    conf_string admin_template;
    conf_string sender_template;
};

struct mailer_settings {  // [Mailer]
    conf_string mail_system;
    conf_string sendmail;
    conf_string sendmail_args;
    int timeout = 300;  // seconds a submission program may run
};

struct agent_settings {  // [Agent]
    conf_string address;
    int timeout = 10;
};

struct filter_config {
    daemon_settings daemon;
    scanning_settings scanning;
    logging_settings logging;
    actions_settings actions;
    notification_settings virus;
    notification_settings malware;
    notification_settings skip;
    notification_settings archive_restriction;
    notification_settings error;
    notification_settings rule_filter;
    notification_settings cured;
    mailer_settings mailer;
    agent_settings agent;
    std::string queue_id;  // the mail system's queue ID (--queue_id), empty when not given
};

}  // namespace kv
