#include "kv_options.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "kv_selftest.h"
#include "kv_util.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

const std::vector<conf_word> kLevelWords = {{"Quiet", 0},   {"Errors", 2},  {"Alerts", 3},
                                            {"Info", 4},    {"Verbose", 5}, {"Debug", 9}};
const std::vector<conf_word> kFacilityWords = {{"Daemon", 24},  {"Mail", 16},    {"Local0", 128}, {"Local1", 136},
                                               {"Local2", 144}, {"Local3", 152}, {"Local4", 160}, {"Local5", 168},
                                               {"Local6", 176}, {"Local7", 184}};
const std::vector<conf_word> kPriorityWords = {{"Alert", 1}, {"Info", 6}, {"Notice", 5}, {"Debug", 7}};
const std::vector<conf_word> kNamingWords = {{"Std", NAMING_STD}, {"Tai", NAMING_TAI}, {"Rand48", NAMING_RAND48}};
const std::vector<conf_word> kDenyModeWords = {{"byAll", DENY_BY_ALL},
                                               {"byOne", DENY_BY_ONE},
                                               {"bySender", DENY_BY_SENDER},
                                               {"bySenderAndOneRecipient", DENY_BY_SENDER_AND_ONE_RCPT},
                                               {"byOneRecipient", DENY_BY_ONE_RCPT},
                                               {"byAllRecipients", DENY_BY_ALL_RCPTS}};

struct action_word {
    const char* word;
    int code;
    char letter;
};
const action_word kActionWords[] = {
    {"pass", ACT_PASS, 'P'},         {"reject", ACT_REJECT, 'R'},     {"quarantine", ACT_QUARANTINE, 'Q'},
    {"cure", ACT_CURE, 'C'},         {"remove", ACT_REMOVE, 'L'},     {"discard", ACT_DISCARD, 'D'},
    {"redirect", ACT_REDIRECT, 'F'}, {"continue", ACT_CONTINUE, 'U'}, {"tempfail", ACT_TEMPFAIL, 'T'},
};

const char* text_or_empty(const conf_string& text) { return text ? text->c_str() : ""; }

// ---------------------------------------------------------------- [DaemonCommunication]

void cleanup_daemon(daemon_settings& daemon) { daemon.address.reset(); }

int read_daemon(FILE* stream, int& line, const char* section, daemon_settings& daemon) {
    std::vector<conf_var> vars = {
        conf_list("Address", &daemon.address),
        conf_bool("Cache", &daemon.cache, 0),
        conf_int("Timeout", &daemon.timeout, 0),
        conf_bool("UseTcpNodelay", &daemon.use_tcp_nodelay, 0),
    };
    if (read_section(stream, line, section, vars) != 0) return 0;
    daemon.cache = 0;
    if (!daemon.address || daemon.address->count() == 0) {
        log(Errors, "read section %s: no daemon addresses specified", section);
        cleanup_daemon(daemon);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------- [Scanning]

void cleanup_scanning(scanning_settings& scanning) {
    scanning.prefix_path.reset();
    scanning.deny_list_path.reset();
    scanning.deny_list.reset();
    scanning.spool.directory.reset();
    scanning.spool.prefix.reset();
    scanning.ram_spool.reset();
}

int check_scanning(const char* section, scanning_settings& scanning, const conf_string& naming,
                   const conf_string& deny_mode) {
    // An empty directory would put files at the root of the file system.
    if (scanning.spool.directory && scanning.spool.directory->empty()) scanning.spool.directory.reset();
    if (!scanning.spool.directory) {
        log(Errors, "read section %s: spool directory not specified", section);
        return 0;
    }
    if ((scanning.spool.files_mode & 0444) == 0) {
        log(Errors, "read section %s: access mask %#o is invalid", section, scanning.spool.files_mode);
        return 0;
    }
    scanning.spool.files_mode &= 0777;
    if (!lookup_word(text_or_empty(naming), kNamingWords, &scanning.spool.naming_mode)) {
        log(Errors, "read section %s: invalid naming mode %s", section, text_or_empty(naming));
        return 0;
    }
    if (scanning.ram_spool && !scanning.ram_spool->empty() && scanning.ram_threshold == 0) {
        log(Errors, "read section %s: if you want use RamSpool you must specify RamThreshold", section);
        return 0;
    }
    if (scanning.deny_list_path && !scanning.deny_list_path->empty()) {
        scanning.deny_list = users_load(scanning.deny_list_path->c_str(), false);
        if (!scanning.deny_list) return 0;
    }
    if (!deny_mode) {
        log(Alerts, "read section %s: DenyMode doesnt specified - set default byAll", section);
        scanning.deny_mode = DENY_BY_ALL;
    } else if (!lookup_word(deny_mode->c_str(), kDenyModeWords, &scanning.deny_mode)) {
        log(Errors, "read section %s: invalid deny mode %s", section, deny_mode->c_str());
        return 0;
    }
    scanning.report_flags = (scanning.include_report ? 2 : 0) | (scanning.include_stats ? 4 : 0);
    scanning.rule_filter = scanning.rule_filter || scanning.spam_filter;
    return 1;
}

int read_scanning(FILE* stream, int& line, const char* section, scanning_settings& scanning) {
    cleanup_scanning(scanning);
    conf_string naming;
    conf_string deny_mode;
    std::vector<conf_var> vars = {
        conf_bool("HeuristicAnalysis", &scanning.heuristic_analysis, 0),
        conf_str("PrefixPath", &scanning.prefix_path),
        conf_uint("StripPath", &scanning.strip_path, 0),
        conf_bool("IncludeReport", &scanning.include_report, 1),
        conf_bool("IncludeStats", &scanning.include_stats, 1),
        conf_uint("ReportMaxSize", &scanning.report_max_size, 4096),
        conf_bool("LocalScan", &scanning.local_scan, 1),
        conf_bool("RuleFilter", &scanning.rule_filter, 0),
        conf_bool("SpamFilter", &scanning.spam_filter, 0),
        conf_str("DenyList", &scanning.deny_list_path),
        conf_str("DenyMode", &deny_mode),
        conf_bool("DenyByDefault", &scanning.deny_by_default, 0),
        conf_str("Spool", &scanning.spool.directory),
        conf_str("SpoolFilenamesPrefix", &scanning.spool.prefix, "kerval.tmp."),
        conf_str("SpoolFilenamesMode", &naming, "Std"),
        conf_octal("SpoolFilesMode", &scanning.spool.files_mode, 0600),
        conf_str("RamSpool", &scanning.ram_spool),
        conf_uint("RamThreshold", &scanning.ram_threshold, 0),
        conf_uint("RunTimeLimit", &scanning.run_time_limit, 900),
    };
    if (read_section(stream, line, section, vars) != 0) return 0;
    if (scanning.run_time_limit <= 0 || scanning.run_time_limit > 86400) {
        log(Errors, "read section %s: RunTimeLimit %d is out of range (1..86400 seconds)", section,
            scanning.run_time_limit);
        return 0;
    }
    if (scanning.run_time_limit >= 1000)
        log(Alerts, "read section %s: RunTimeLimit %d is not below Postfix's command_time_limit (1000 s by default)",
            section, scanning.run_time_limit);
    if (!check_scanning(section, scanning, naming, deny_mode)) {
        cleanup_scanning(scanning);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------- [Logging]

int read_logging(FILE* stream, int& line, const char* section, logging_settings& logging) {
    conf_string level, facility, priority;
    std::vector<conf_var> vars = {
        conf_str("Level", &level, "Quiet"),
        conf_bool("DebugSpool", &logging.debug_spool, 0),
        conf_str("SyslogFacility", &facility, "Mail"),
        conf_str("SyslogPriority", &priority, "Info"),
    };
    if (read_section(stream, line, section, vars) != 0) return 0;
    if (!lookup_word(text_or_empty(level), kLevelWords, &logging.level)) {
        log(Errors, "read section %s: unsupported log level %s specified", section, text_or_empty(level));
        return 0;
    }
    if (!lookup_word(text_or_empty(facility), kFacilityWords, &logging.facility)) {
        log(Errors, "read section %s: unsupported syslog facility %s specified", section, text_or_empty(facility));
        return 0;
    }
    if (!lookup_word(text_or_empty(priority), kPriorityWords, &logging.priority)) {
        log(Errors, "read section %s: unsupported syslog priority %s specified", section, text_or_empty(priority));
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------- [Actions]

void cleanup_actions(actions_settings& actions) {
    actions.unnotifiable_viruses.reset();
    actions.unnotifiable_viruses_path.reset();
    actions.unnotifiable_addresses.reset();
    actions.unnotifiable_addresses_path.reset();
    actions.admin_mail.reset();
    actions.filter_mail.reset();
    actions.redirect_mail.reset();
    actions.quarantine.directory.reset();
    actions.quarantine.prefix.reset();
    for (conf_string* reply : {&actions.reply_infected, &actions.reply_rule_filter, &actions.reply_empty_from,
                               &actions.reply_suspicious, &actions.reply_malware, &actions.reply_skip_object,
                               &actions.reply_archive_restriction, &actions.reply_error})
        reply->reset();
}

// An older key name may stand for the new one, but not beside it.
bool merge_old_name(const char* section, conf_string& value, const conf_string& old_value, const char* message,
                    const char* fallback) {
    if (value && old_value) {
        log(Errors, message, section);
        return false;
    }
    if (!value) value = old_value ? *old_value : std::string(fallback);
    return true;
}

struct action_key {
    const char* name;
    int* dest;
    conf_string* word;
    const char* letters;
    const char* message;
};

int check_actions(const char* section, actions_settings& actions, std::vector<action_key>& keys, conf_string& incurable,
                  const conf_string& incureable, conf_string& archive, const conf_string& mailbomb,
                  conf_string& rule_filter, const conf_string& spam_filter, const conf_string& naming,
                  const conf_string& redirect, const conf_string& filter, const conf_string& admin) {
    if (!merge_old_name(section, incurable, incureable,
                        "read section %s: Incureable is obsoleted by Incurable, cannot be used together", "quarantine") ||
        !merge_old_name(section, archive, mailbomb,
                        "read section %s: MailbombObject is obsoleted by ArchiveRestriction, cannot be used together",
                        "reject") ||
        !merge_old_name(section, rule_filter, spam_filter,
                        "read section %s: SpamFilterAlert is obsoleted by RuleFilterAlert, cannot be used together",
                        "quarantine"))
        return 0;
    if (actions.unnotifiable_addresses_path && !actions.unnotifiable_addresses_path->empty()) {
        actions.unnotifiable_addresses = maddr_load(actions.unnotifiable_addresses_path->c_str(), false);
        if (!actions.unnotifiable_addresses) return 0;
    }
    if (actions.unnotifiable_viruses_path && !actions.unnotifiable_viruses_path->empty()) {
        actions.unnotifiable_viruses = viruses_load(actions.unnotifiable_viruses_path->c_str(), false);
        if (!actions.unnotifiable_viruses) return 0;
    }
    if (redirect) {
        if (!parse_address(&actions.redirect_mail, redirect->c_str())) {
            log(Errors, "read section %s: not specified redirection mail address", section);
            return 0;
        }
    } else {
        log(Alerts, "read section %s: you do not specify redirect address, infected message would not been redirected",
            section);
    }
    if (!parse_address(&actions.filter_mail, filter ? filter->c_str() : nullptr)) {
        log(Errors, "read section %s: not specified filter mail address", section);
        return 0;
    }
    if (!parse_address(&actions.admin_mail, admin ? admin->c_str() : nullptr)) {
        log(Errors, "read section %s: not specified administrator mail address", section);
        return 0;
    }
    if (actions.quarantine.directory && actions.quarantine.directory->empty()) actions.quarantine.directory.reset();
    if (actions.quarantine.directory) {
        if ((actions.quarantine.files_mode & 0444) == 0) {
            log(Errors, "read section %s: access mask %#o is invalid", section, actions.quarantine.files_mode);
            return 0;
        }
        actions.quarantine.files_mode &= 0777;
    } else {
        log(Alerts, "read section %s: you do not specify quarantine directory, infected message would not been storied",
            section);
    }
    for (action_key& key : keys) {
        if (key.dest == nullptr) {  // the naming word sits between EmptyFrom and CureFail
            if (!lookup_word(text_or_empty(naming), kNamingWords, &actions.quarantine.naming_mode)) {
                log(Errors, "read section %s: invalid naming mode %s", section, text_or_empty(naming));
                return 0;
            }
            continue;
        }
        if (!parse_action(text_or_empty(*key.word), key.letters, key.dest)) {
            log(Errors, key.message, section, text_or_empty(*key.word));
            return 0;
        }
    }
    return 1;
}

int read_actions(FILE* stream, int& line, const char* section, actions_settings& actions) {
    cleanup_actions(actions);
    conf_string rule_filter, spam_filter, empty_from, cure_fail, incurable, incureable, infected, adware, dialers, jokes,
        riskware, hacktools, suspicious, skip, archive, mailbomb, scanning_errors, processing_errors, naming, redirect,
        filter, admin;
    std::vector<conf_var> vars = {
        conf_str("RuleFilterAlert", &rule_filter),
        conf_str("SpamFilterAlert", &spam_filter),
        conf_str("EmptyFrom", &empty_from, "continue"),
        conf_str("CureFail", &cure_fail, "quarantine"),
        conf_str("Incurable", &incurable),
        conf_str("Incureable", &incureable),
        conf_str("Infected", &infected, "quarantine"),
        conf_str("Adware", &adware, "quarantine"),
        conf_str("Dialers", &dialers, "quarantine"),
        conf_str("Jokes", &jokes, "quarantine"),
        conf_str("Riskware", &riskware, "quarantine"),
        conf_str("Hacktools", &hacktools, "quarantine"),
        conf_str("Suspicious", &suspicious, "quarantine"),
        conf_str("SkipObject", &skip, "reject"),
        conf_str("ArchiveRestriction", &archive),
        conf_str("MailbombObject", &mailbomb),
        conf_str("ScanningErrors", &scanning_errors, "quarantine"),
        conf_str("ProcessingErrors", &processing_errors, "quarantine"),
        conf_bool("UseCustomReply", &actions.use_custom_reply, 0),
        conf_str("ReplyInfected", &actions.reply_infected,
                 "Kerval Antivirus: Message is rejected because it contains a virus(es)."),
        conf_str("ReplyRuleFilter", &actions.reply_rule_filter,
                 "Kerval Antivirus: Message is rejected by headers rule filter."),
        conf_str("ReplyEmptyFrom", &actions.reply_empty_from,
                 "Kerval Antivirus: Messages from <> are blocked by administrator."),
        conf_str("ReplySuspicious", &actions.reply_suspicious,
                 "Kerval Antivirus: Message is rejected because it contains a suspicious content."),
        conf_str("ReplyMalware", &actions.reply_malware,
                 "Kerval Antivirus: Message is rejected because it contains malware."),
        conf_str("ReplySkipObject", &actions.reply_skip_object,
                 "Kerval Antivirus: Message is rejected because it cannot be checked."),
        conf_str("ReplyArchiveRestriction", &actions.reply_archive_restriction,
                 "Kerval Antivirus: Message is rejected because it contains archive which violates restrictions."),
        conf_str("ReplyError", &actions.reply_error, "Kerval Antivirus: Message is rejected due to software error."),
        conf_str("AdminMail", &admin, "postmaster"),
        conf_str("FilterMail", &filter),
        conf_str("RedirectMail", &redirect),
        conf_str("UnnotificableVirusesList", &actions.unnotifiable_viruses_path),
        conf_str("UnnotificableAddressesList", &actions.unnotifiable_addresses_path),
        conf_str("Quarantine", &actions.quarantine.directory),
        conf_str("QuarantineFilenamesPrefix", &actions.quarantine.prefix, "kerval.quarantine."),
        conf_str("QuarantineFilenamesMode", &naming, "Std"),
        conf_octal("QuarantineFilesMode", &actions.quarantine.files_mode, 0600),
        conf_uint("ErrorNotifyInterval", &actions.error_notify_interval, 1800),
    };
    if (read_section(stream, line, section, vars) != 0) return 0;
    actions.move_file = 1;
    std::vector<action_key> keys = {
        {"RuleFilterAlert", &actions.rule_filter_alert, &rule_filter, "RFDQ",
         "read section %s: invalid action %s on rule filter"},
        {"EmptyFrom", &actions.empty_from, &empty_from, "RDU", "read section %s: invalid action %s on empty From:"},
        {"QuarantineFilenamesMode", nullptr, nullptr, nullptr, nullptr},
        {"CureFail", &actions.cure_fail, &cure_fail, "RFDQ", "read section %s: invalid action %s on cure fail"},
        {"Incurable", &actions.incurable, &incurable, "RFDQL", "read section %s: invalid action %s on incurable"},
        {"Infected", &actions.infected, &infected, "RFDQLC", "read section %s: invalid action %s on virus"},
        {"Suspicious", &actions.suspicious, &suspicious, "PRFDQ", "read section %s: invalid action %s on suspicious"},
        {"Adware", &actions.adware, &adware, "PRFDQ", "read section %s: invalid action %s on adware"},
        {"Dialers", &actions.dialers, &dialers, "PRFDQ", "read section %s: invalid action %s on dialers"},
        {"Jokes", &actions.jokes, &jokes, "PRFDQ", "read section %s: invalid action %s on jokes"},
        {"Riskware", &actions.riskware, &riskware, "PRFDQ", "read section %s: invalid action %s on riskware"},
        {"Hacktools", &actions.hacktools, &hacktools, "PRFDQ",
         "read section %s: invalid action %s on intrusion tools (hacktool)"},
        {"SkipObject", &actions.skip_object, &skip, "PRFQ", "read section %s: invalid action %s on skip object"},
        {"ArchiveRestriction", &actions.archive_restriction, &archive, "PRFQ",
         "read section %s: invalid action %s on mailbomb"},
        {"ScanningErrors", &actions.scanning_errors, &scanning_errors, "PRFTQ",
         "read section %s: invalid action %s on scanning errors"},
        {"ProcessingErrors", &actions.processing_errors, &processing_errors, "PRFTQ",
         "read section %s: invalid action %s on processing errors"},
    };
    if (!check_actions(section, actions, keys, incurable, incureable, archive, mailbomb, rule_filter, spam_filter,
                       naming, redirect, filter, admin)) {
        cleanup_actions(actions);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------- notification sections

void cleanup_notification(notification_settings& block) {
    block.rcpts_template.reset();
    block.admin_template.reset();
    block.sender_template.reset();
}

int read_notification(FILE* stream, int& line, const char* section, notification_settings& block,
                      section_presence& presence) {
    if (strcasecmp(section, "CuredNotifications") == 0) presence.cured = true;
    if (strcasecmp(section, "MalwareNotifications") == 0) presence.malware = true;
    if (strcasecmp(section, "RuleFilterNotifications") == 0) presence.rule_filter = true;
    if (strcasecmp(section, "MailbombNotifications") == 0) {
        if (presence.archive_restriction) {
            log(Errors, "read section %s: is obsoleted by ArchiveRestrictionNotifications, cannot be used together",
                section);
            return 0;
        }
        presence.mailbomb = true;
    }
    if (strcasecmp(section, "ArchiveRestrictionNotifications") == 0) {
        if (presence.mailbomb) {
            log(Errors, "read section %s: obsolete MailbombNotifications, cannot be used together", section);
            return 0;
        }
        presence.archive_restriction = true;
    }
    std::vector<conf_var> vars = {
        conf_bool("SenderNotify", &block.sender_notify, 0),   conf_bool("AdminNotify", &block.admin_notify, 0),
        conf_bool("RcptsNotify", &block.rcpts_notify, 0),     conf_str("RcptsTemplate", &block.rcpts_template),
        conf_str("AdminTemplate", &block.admin_template),     conf_str("SenderTemplate", &block.sender_template),
    };
    if (read_section(stream, line, section, vars) != 0) return 0;
    const char* missing = block.sender_notify && !block.sender_template ? "sender"
                          : block.admin_notify && !block.admin_template ? "administrator"
                          : block.rcpts_notify && !block.rcpts_template ? "recipients"
                                                                        : nullptr;
    if (missing != nullptr) {
        log(Errors, "read section %s: you should specify filename with message template for %s", section, missing);
        cleanup_notification(block);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------- [Mailer], [Agent]

void cleanup_mailer(mailer_settings& mailer) {
    mailer.mail_system.reset();
    mailer.sendmail.reset();
    mailer.sendmail_args.reset();
}

int read_mailer(FILE* stream, int& line, const char* section, mailer_settings& mailer) {
    std::vector<conf_var> vars = {
        conf_str("MailSystem", &mailer.mail_system),
        conf_str("Sendmail", &mailer.sendmail),
        conf_str("SendmailArgs", &mailer.sendmail_args),
        conf_uint("Timeout", &mailer.timeout, 300),
    };
    if (read_section(stream, line, section, vars) != 0) return 0;
    if (mailer.timeout <= 0) {
        log(Errors, "read section %s: Timeout must be at least 1 second", section);
    } else if (!mailer.mail_system) {
        log(Errors, "read section %s: this filter work with \"Postfix\", but mailer not specified", section);
    } else if (!mailer.sendmail) {
        log(Errors, "read section %s: sendmail program not specified", section);
    } else if (strncasecmp(mailer.mail_system->c_str(), "Postfix", 7) != 0) {
        log(Errors, "read section %s: this filter work with \"Postfix\", but conf file for %s mailer", section,
            mailer.mail_system->c_str());
    } else {
        return 1;
    }
    cleanup_mailer(mailer);
    return 0;
}

int read_agent(FILE* stream, int& line, const char* section, agent_settings& agent, section_presence& presence) {
    std::vector<conf_var> vars = {
        conf_str("Address", &agent.address),
        conf_uint("Timeout", &agent.timeout, 10),
    };
    if (read_section(stream, line, section, vars) != 0) return 0;
    if (!agent.address) log(Verbose, "read section %s: address for statistic server not defined", section);
    presence.agent = true;
    return 1;
}

// ---------------------------------------------------------------- command line

void print_usage(const char* program) {
    printf("\nUsage : %s [options] -f<sender> -- <recipients>\n", program);
    printf("%s %s - scans mail for viruses\n\n", kFilterName, kFilterVersion);
    printf("Options:\n");
    printf("\t%s, %s, %s - show this help and exit\n", "-?", "-h", "--help");
    printf("\t%s - show filter version and exit\n", "--version");
    printf("\t%s<username> - user account used for check (works only with %s option)\n", "--check_user=",
           "--check_only");
    printf("\t%s - perform configuration check and exit\n", "--check_only");
    printf("\t%s - set very verbose output in check mode\n", "--debug");
    printf("\t%s<pathname> - specify full pathname to configuration file\n", "--conf=");
    printf("\t%s<queueid> - Postfix queue ID of the message, shown in every log line\n", "--queue_id=");
    printf("\nIf full pathname to conf file are not specified, then there is searched in:\n");
    printf(" /etc/kerval/kerval_postfix.conf\n");
    printf(" /usr/local/etc/kerval/kerval_postfix.conf\n");
    printf("\nNote: filter will been started by Postfix system automatically after install\n");
    printf("\n\nATTENTION:\n THIS VERSION IS NOT COMPATIBLE WITH Kerval DAEMON VERSIONS LESS THAT %s !!!\n",
           kMinDaemonVersion);
    fflush(stdout);
}

bool option_is(const char* arg, const char* option) { return strncmp(arg, option, strlen(option)) == 0; }

// Reads the options up to the envelope; false after logging why.
bool parse_options(int argc, char** argv, options_state& options) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : kProgramIdent;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (option_is(arg, "-?") || option_is(arg, "-h") || option_is(arg, "--help")) {
            print_usage(program);
            exit(64);
        } else if (option_is(arg, "--version")) {
            printf("\n%s - %s %s\n\n", program, kFilterName, kFilterVersion);
            fflush(stdout);
            exit(0);
        } else if (option_is(arg, "--conf=")) {
            if (strlen(arg) <= 7) {
                log(Errors, "conf: misformatted --conf=<filename> option");
                return false;
            }
            options.conf_path = arg + 7;
        } else if (option_is(arg, "--debug")) {
            log_init("console", Debug, 0, 0, kProgramIdent);
        } else if (option_is(arg, "--check_only")) {
            options.check_only = true;
        } else if (option_is(arg, "--check_user=")) {
            if (strlen(arg) <= 13) {
                log(Errors, "conf: misformatted --check_user=<username> option");
                return false;
            }
            options.check_user = arg + 13;
        } else if (option_is(arg, "--queue_id=")) {
            if (!valid_queue_id(arg + 11)) {
                log(Errors, "conf: misformatted --queue_id=<queueid> option");
                return false;
            }
            options.queue_id = arg + 11;
        } else if (option_is(arg, "-s")) {
            const char* text = strlen(arg) > 2 ? arg + 2 : (i + 1 < argc ? argv[++i] : nullptr);
            // A final "-s" without its value counts as an invalid size.
            options.size_text = text != nullptr ? text : "";
            options.message_size = text != nullptr ? strtol(text, nullptr, 10) : -1;
        } else if (option_is(arg, "-f")) {
            break;
        } else {
            log(Errors, "conf: unknown option %s", arg);
            return false;
        }
    }
    return true;
}

// The configuration file: --conf= as given, else the first readable default.
bool choose_config(const char* program, options_state& options) {
    if (options.conf_path) return true;
    for (const char* candidate : kDefaultConfigs) {
        if (access(candidate, R_OK) == 0) {
            options.conf_path = candidate;
            return true;
        }
        log(Verbose, "conf: configuration file %s is not accessable - %s", candidate, stdlib_error(errno));
    }
    printf("%s: configuration file not found\nTry run with %s for more information.\n", program, "--help");
    fflush(stdout);
    return false;
}

// The RAM spool for small messages (-s).
void apply_message_size(const options_state& options, scanning_settings& scanning) {
    if (options.message_size == 0) {
        log(Debug, "kerval_pipe: -s option has not been specified");
    } else if (options.message_size == -1) {
        log(Alerts, "kerval_pipe: invalid message size %s has been passed, ignore them", options.size_text.c_str());
    } else if (!scanning.ram_spool || scanning.ram_spool->empty()) {
        log(Alerts, "kerval_pipe: you specify -s option but RamSpool was not specified - use Spool(%s)",
            text_or_empty(scanning.spool.directory));
    } else if (static_cast<unsigned long>(options.message_size) >= static_cast<unsigned long>(scanning.ram_threshold)) {
        log(Debug, "kerval_pipe: Spool(%s) would been used for this message", text_or_empty(scanning.spool.directory));
    } else {
        scanning.spool.directory = scanning.ram_spool;
        log(Verbose, "kerval_pipe: RamSpool(%s) would been used for this message", scanning.ram_spool->c_str());
    }
}

}  // namespace

bool valid_queue_id(std::string_view text) {
    if (text.empty() || text.size() > kQueueIdMax) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    return true;
}

char action_letter(int action) {
    for (const action_word& word : kActionWords)
        if (word.code == action) return word.letter;
    return '?';
}

int parse_action(const char* value, const char* letters, int* dest) {
    if (value == nullptr || letters == nullptr || dest == nullptr) {
        log(Errors, "%s bad parameters (%d.%d.%d) were passed (%s:%d)", "conf:", value == nullptr, letters == nullptr,
            dest == nullptr, "kv_options", __LINE__);
        return 0;
    }
    log(Debug, "conf: action=%s, set=%s", value, letters);
    for (const action_word& word : kActionWords) {
        if (strncasecmp(value, word.word, strlen(word.word)) == 0 && strchr(letters, word.letter) != nullptr) {
            *dest = word.code;
            return 1;
        }
    }
    return 0;
}

int parse_address(conf_string* dest, const char* value) {
    if (dest == nullptr || value == nullptr) {
        log(Errors, "%s bad parameters (%d.%d) were passed (%s:%d)", "conf:", dest == nullptr, value == nullptr,
            "kv_options", __LINE__);
        return 0;
    }
    if (strchr(value, '>') == nullptr) *dest = std::string("<") + value + ">";
    else *dest = value;
    return 1;
}

void dump_actions(const actions_settings& actions) {
    const std::pair<const char*, int> lines[] = {
        {"action on infected", actions.infected},
        {"action on incurable", actions.incurable},
        {"action on curing fail", actions.cure_fail},
        {"action on suspicious", actions.suspicious},
        {"action on advertizing software (adware)", actions.adware},
        {"action on dialers", actions.dialers},
        {"action on jokes, hoaxes", actions.jokes},
        {"action on potentially dangerous software (riskware)", actions.riskware},
        {"action on intrusion tools (hacktools)", actions.hacktools},
        {"action on rule filter alert", actions.rule_filter_alert},
        {"action on empty from", actions.empty_from},
        {"action on skipped", actions.skip_object},
        {"action on archive restrictions", actions.archive_restriction},
        {"action on scanning error", actions.scanning_errors},
        {"action on processing error", actions.processing_errors},
    };
    for (const auto& [label, action] : lines) log(Verbose, "%s = %c", label, action_letter(action));
}

std::vector<conf_task> make_config_tasks(filter_config& config, section_presence& presence) {
    auto notification = [&](const char* name, notification_settings& block, bool optional) {
        return conf_task{
            name,
            [&block, &presence](FILE* stream, int& line, const char* section) {
                return read_notification(stream, line, section, block, presence);
            },
            [&block](const char*) { cleanup_notification(block); },
            optional,
        };
    };
    return {
        {"DaemonCommunication",
         [&](FILE* s, int& line, const char* section) { return read_daemon(s, line, section, config.daemon); },
         [&](const char*) { cleanup_daemon(config.daemon); }, false},
        {"Scanning",
         [&](FILE* s, int& line, const char* section) { return read_scanning(s, line, section, config.scanning); },
         [&](const char*) { cleanup_scanning(config.scanning); }, false},
        {"Logging",
         [&](FILE* s, int& line, const char* section) { return read_logging(s, line, section, config.logging); },
         [](const char*) {}, false},
        {"Actions",
         [&](FILE* s, int& line, const char* section) { return read_actions(s, line, section, config.actions); },
         [&](const char*) { cleanup_actions(config.actions); }, false},
        notification("VirusNotifications", config.virus, false),
        notification("SkipNotifications", config.skip, false),
        notification("MailbombNotifications", config.archive_restriction, true),
        notification("ArchiveRestrictionNotifications", config.archive_restriction, true),
        notification("ErrorNotifications", config.error, false),
        notification("MalwareNotifications", config.malware, true),
        notification("CuredNotifications", config.cured, true),
        notification("RuleFilterNotifications", config.rule_filter, true),
        {"Agent",
         [&](FILE* s, int& line, const char* section) { return read_agent(s, line, section, config.agent, presence); },
         [&](const char*) { config.agent.address.reset(); }, true},
        {"Mailer",
         [&](FILE* s, int& line, const char* section) { return read_mailer(s, line, section, config.mailer); },
         [&](const char*) { cleanup_mailer(config.mailer); }, false},
    };
}

// Actions that keep or forward a message need somewhere to put it: without it the
// message would be neither delivered nor kept.
bool check_destinations(const actions_settings& actions) {
    const std::pair<const char*, int> keys[] = {
        {"Infected", actions.infected},       {"Incurable", actions.incurable},
        {"CureFail", actions.cure_fail},      {"Suspicious", actions.suspicious},
        {"Adware", actions.adware},           {"Dialers", actions.dialers},
        {"Jokes", actions.jokes},             {"Riskware", actions.riskware},
        {"Hacktools", actions.hacktools},     {"RuleFilterAlert", actions.rule_filter_alert},
        {"ArchiveRestriction", actions.archive_restriction}, {"SkipObject", actions.skip_object},
        {"ScanningErrors", actions.scanning_errors},         {"ProcessingErrors", actions.processing_errors},
    };
    bool ok = true;
    for (const auto& [key, action] : keys) {
        if (action == ACT_QUARANTINE && !actions.quarantine.directory) {
            log(Errors, "conf: %s = quarantine needs a Quarantine directory in [Actions]", key);
            ok = false;
        }
        if (action == ACT_REDIRECT && !actions.redirect_mail) {
            log(Errors, "conf: %s = redirect needs RedirectMail in [Actions]", key);
            ok = false;
        }
    }
    return ok;
}

int read_config_file(const char* path, filter_config& config, std::vector<conf_task> extra) {
    config = filter_config{};
    section_presence presence;
    std::vector<conf_task> tasks = make_config_tasks(config, presence);
    // The milter's section belongs to the same file; the pipe filter passes it over.
    const bool milter_read = std::any_of(extra.begin(), extra.end(),
                                         [](const conf_task& task) { return strcasecmp(task.name, "Milter") == 0; });
    if (!milter_read) {
        extra.push_back({"Milter",
                         [](FILE* s, int& line, const char* section) {
                             std::vector<conf_var> none;
                             return read_section(s, line, section, none) == 0 ? 1 : 0;
                         },
                         [](const char*) {}, true});
    }
    for (conf_task& task : extra) tasks.push_back(std::move(task));
    if (read_conf(path, tasks) != 0) return 0;
    if (!check_destinations(config.actions)) {
        release_sections(tasks);
        return 0;
    }
    config.scanning.use_tcp_nodelay = config.daemon.use_tcp_nodelay;
    if (!presence.cured) config.cured = notification_settings{};
    if (!presence.malware) config.malware = notification_settings{};
    if (!presence.rule_filter) config.rule_filter = notification_settings{};
    if (!presence.mailbomb && !presence.archive_restriction) {
        log(Errors, "conf: [ArchiveRestrictionNotifications] section missed, init configuration failed");
        release_sections(tasks);
        return 0;
    }
    if (!presence.agent) config.agent = agent_settings{};
    return 1;
}

int load_config(int argc, char** argv, filter_config& config) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : kProgramIdent;
    log_init("console", Info, 0, 0, kProgramIdent);
    options_state options;
    if (!parse_options(argc, argv, options)) return 0;
    // From here on every line of the run can be found by the mail system's queue ID.
    if (!options.queue_id.empty()) log_set_context(options.queue_id);
    if (!choose_config(program, options)) return 0;

    if (options.check_only) {
        if (!set_check_user(options.check_user ? options.check_user->c_str() : nullptr)) return 0;
    } else {
        log_init(nullptr, Alerts, 16, 6, kProgramIdent);
    }
    log(Info, "conf: configuration will be loaded from %s", options.conf_path->c_str());
    if (!read_config_file(options.conf_path->c_str(), config)) {
        log(Errors, "conf: configuration loading has been failed");
        // The self-test reports a configuration that does not load as a failed check.
        if (options.check_only) exit(78);
        return 0;
    }

    if (options.check_only) {
        dump_actions(config.actions);
        int passed = check_conf(config, 0);
        config = filter_config{};
        exit(passed ? 0 : 78);
    }

    config.queue_id = options.queue_id;
    log_init(nullptr, config.logging.level, config.logging.facility, config.logging.priority, kProgramIdent);
    apply_message_size(options, config.scanning);
    dump_actions(config.actions);
    users_print(config.scanning.deny_list.get(), config.logging.level);
    maddr_print(config.actions.unnotifiable_addresses.get(), config.logging.level);
    viruses_print(config.actions.unnotifiable_viruses.get(), config.logging.level);
    return 1;
}

}  // namespace kv
