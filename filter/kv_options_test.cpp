#include "kv_options.h"

#include <gtest/gtest.h>

#include <functional>

#include "config_builder.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

using check_fn = std::function<void(const kv::filter_config&)>;

struct settings_case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> lines;  // section, line
    bool ok;
    std::string message;  // a line that must have been logged ("" = none checked)
    check_fn check = nullptr;
    std::vector<std::string> drop = {};
};

void run_cases(const std::vector<settings_case>& cases) {
    for (const settings_case& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::temp_dir dir;
        kvtest::config_builder builder;
        for (const std::string& section : c.drop) builder.drop(section);
        for (const auto& [section, line] : c.lines) builder.set(section, line);
        std::string path = builder.write(dir / "k.conf");
        kv::filter_config config;
        kvtest::log_capture logged;
        EXPECT_EQ(kv::read_config_file(path.c_str(), config), c.ok ? 1 : 0) << logged.dump();
        if (!c.message.empty()) {
            EXPECT_TRUE(logged.has(c.message)) << logged.dump();
        }
        if (c.check) c.check(config);
    }
}

}  // namespace

TEST(Settings, ScanningSection) {
    run_cases({
        {"defaults", {}, true, "read section Scanning: DenyMode doesnt specified - set default byAll",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.scanning.spool.files_mode, 0600);
             EXPECT_EQ(c.scanning.spool.prefix, "kerval.tmp.");
             EXPECT_EQ(c.scanning.spool.naming_mode, kv::NAMING_STD);
             EXPECT_EQ(c.scanning.deny_mode, kv::DENY_BY_ALL);
             EXPECT_EQ(c.scanning.report_flags, 6);
             EXPECT_EQ(c.scanning.report_max_size, 4096);
             EXPECT_EQ(c.scanning.local_scan, 1);
         }},
        {"empty spool", {{"Scanning", "Spool ="}}, false, "read section Scanning: spool directory not specified"},
        {"no spool", {{"Scanning", "SpoolFilesMode = 0600"}}, false, "read section Scanning: spool directory not specified", nullptr, {"Scanning"}},
        {"mode 0200", {{"Scanning", "SpoolFilesMode = 0200"}}, false, "read section Scanning: access mask 0200 is invalid"},
        {"mode 0640", {{"Scanning", "SpoolFilesMode = 0640"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.spool.files_mode, 0640); }},
        {"mode 010644", {{"Scanning", "SpoolFilesMode = 010644"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.spool.files_mode, 0644); }},
        {"naming rand", {{"Scanning", "SpoolFilenamesMode = rand"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.spool.naming_mode, kv::NAMING_RAND48); }},
        {"naming bad", {{"Scanning", "SpoolFilenamesMode = Unique"}}, false, "read section Scanning: invalid naming mode Unique"},
        {"bysender", {{"Scanning", "DenyMode = bysender"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.deny_mode, kv::DENY_BY_SENDER); }},
        {"byAllRecipients", {{"Scanning", "DenyMode = byallr"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.deny_mode, kv::DENY_BY_ALL_RCPTS); }},
        {"deny mode bad", {{"Scanning", "DenyMode = byNobody"}}, false, "read section Scanning: invalid deny mode byNobody"},
        {"spam filter", {{"Scanning", "SpamFilter = yes"}, {"Scanning", "RuleFilter = no"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.rule_filter, 1); }},
        {"report flags", {{"Scanning", "IncludeReport = no"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.report_flags, 4); }},
        {"ram spool alone", {{"Scanning", "RamSpool = /dev/shm"}}, false,
         "read section Scanning: if you want use RamSpool you must specify RamThreshold"},
        {"ram spool", {{"Scanning", "RamSpool = /dev/shm"}, {"Scanning", "RamThreshold = 200"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.ram_threshold, 200); }},
        {"missing deny list", {{"Scanning", "DenyList = /nonexistent/deny.list"}}, false,
         "users: error load users list from filename /nonexistent/deny.list"},
        {"nodelay copied", {{"DaemonCommunication", "UseTcpNodelay = yes"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.scanning.use_tcp_nodelay, 1); }},
    });
}

TEST(Settings, DaemonLoggingMailerAgentSections) {
    run_cases({
        {"cache forced off", {{"DaemonCommunication", "Cache = yes"}, {"DaemonCommunication", "Timeout = 30"}}, true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.daemon.cache, 0);
             EXPECT_EQ(c.daemon.timeout, 30);
             EXPECT_EQ(c.daemon.address->items(), std::vector<std::string>{"local:/nonexistent/kervald.sock"});
         }},
        {"no address", {{"DaemonCommunication", "Address = ,"}}, false,
         "read section DaemonCommunication: no daemon addresses specified"},
        {"log words", {{"Logging", "Level = verb"}, {"Logging", "SyslogFacility = local"}, {"Logging", "SyslogPriority = n"}},
         true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.logging.level, 5);
             EXPECT_EQ(c.logging.facility, 128);
             EXPECT_EQ(c.logging.priority, 5);
         }},
        {"log defaults", {}, true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.logging.level, 0);
             EXPECT_EQ(c.logging.facility, 16);
             EXPECT_EQ(c.logging.priority, 6);
         }},
        {"bad level", {{"Logging", "Level = Loud"}}, false, "read section Logging: unsupported log level Loud specified"},
        {"bad facility", {{"Logging", "SyslogFacility = User"}}, false,
         "read section Logging: unsupported syslog facility User specified"},
        {"bad priority", {{"Logging", "SyslogPriority = Warning"}}, false,
         "read section Logging: unsupported syslog priority Warning specified"},
        {"mailer postfix-2.1", {{"Mailer", "MailSystem = postfix-2.1"}}, true, ""},
        {"mailer sendmail", {{"Mailer", "MailSystem = Sendmail"}}, false,
         "read section Mailer: this filter work with \"Postfix\", but conf file for Sendmail mailer"},
        {"no mailer", {{"Mailer", "Sendmail = /usr/sbin/sendmail"}}, false,
         "read section Mailer: this filter work with \"Postfix\", but mailer not specified", nullptr, {"Mailer"}},
        {"no sendmail", {{"Mailer", "MailSystem = Postfix"}}, false, "read section Mailer: sendmail program not specified",
         nullptr, {"Mailer"}},
        {"sendmail args", {{"Mailer", "SendmailArgs = \"-oi -v\""}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.mailer.sendmail_args, "-oi -v"); }},
        {"agent", {{"Agent", "Address = inet:3001@127.0.0.1"}}, true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.agent.address, "inet:3001@127.0.0.1");
             EXPECT_EQ(c.agent.timeout, 10);
         }},
        {"agent without address", {{"Agent", "Timeout = 3"}}, true, "read section Agent: address for statistic server not defined",
         [](const kv::filter_config& c) { EXPECT_EQ(c.agent.address, std::nullopt); }},
        {"no agent", {}, true, "", [](const kv::filter_config& c) { EXPECT_EQ(c.agent.address, std::nullopt); }},
        {"optional notifications absent", {}, true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.malware.admin_notify, 0);
             EXPECT_EQ(c.cured.sender_notify, 0);
             EXPECT_EQ(c.rule_filter.rcpts_notify, 0);
         }},
    });
}

TEST(Settings, ActionsSection) {
    std::vector<settings_case> cases = {
        {"defaults", {}, true, "read section Actions: you do not specify redirect address, infected message would not been redirected",
         [](const kv::filter_config& c) {
             const kv::actions_settings& a = c.actions;
             EXPECT_EQ(a.rule_filter_alert, kv::ACT_QUARANTINE);
             EXPECT_EQ(a.empty_from, kv::ACT_CONTINUE);
             EXPECT_EQ(a.incurable, kv::ACT_QUARANTINE);
             EXPECT_EQ(a.skip_object, kv::ACT_REJECT);
             EXPECT_EQ(a.archive_restriction, kv::ACT_REJECT);
             EXPECT_EQ(a.processing_errors, kv::ACT_QUARANTINE);
             EXPECT_EQ(a.admin_mail, "<postmaster>");
             EXPECT_EQ(a.filter_mail, "<kerval@localhost>");
             EXPECT_EQ(a.redirect_mail, std::nullopt);
             EXPECT_EQ(a.reply_error, "Kerval Antivirus: Message is rejected due to software error.");
             EXPECT_EQ(a.quarantine.directory, "/tmp");
             EXPECT_EQ(a.quarantine.prefix, "kerval.quarantine.");
             EXPECT_EQ(a.error_notify_interval, 1800);
         }},
        {"addresses", {{"Actions", "AdminMail = root"}, {"Actions", "RedirectMail = Virus Box <vb@x>"}}, true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.actions.admin_mail, "<root>");
             EXPECT_EQ(c.actions.redirect_mail, "VirusBox<vb@x>");
         }},
        {"admin bracketed", {{"Actions", "AdminMail = <root>"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.actions.admin_mail, "<root>"); }},
        {"no filter mail", {{"Actions", "AdminMail = root"}}, false, "read section Actions: not specified filter mail address", nullptr, {"Actions"}},
        {"reply text", {{"Actions", "ReplyError = Message rejected"}, {"Actions", "ReplyInfected = \"Go away\""}}, true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.actions.reply_error, "Messagerejected");
             EXPECT_EQ(c.actions.reply_infected, "Go away");
         }},
        {"old incureable", {{"Actions", "Incureable = reject"}}, true,
         "kvlib: read_section(Actions): parameter Incureable is obsolete - continue, but please read documentation",
         [](const kv::filter_config& c) { EXPECT_EQ(c.actions.incurable, kv::ACT_REJECT); }},
        {"incureable with incurable", {{"Actions", "Incureable = reject"}, {"Actions", "Incurable = discard"}}, false,
         "read section Actions: Incureable is obsoleted by Incurable, cannot be used together"},
        {"old mailbomb", {{"Actions", "MailbombObject = pass"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.actions.archive_restriction, kv::ACT_PASS); }},
        {"mailbomb with archive", {{"Actions", "MailbombObject = pass"}, {"Actions", "ArchiveRestriction = reject"}}, false,
         "read section Actions: MailbombObject is obsoleted by ArchiveRestriction, cannot be used together"},
        {"old spam alert", {{"Actions", "SpamFilterAlert = discard"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.actions.rule_filter_alert, kv::ACT_DISCARD); }},
        {"spam alert with rule", {{"Actions", "SpamFilterAlert = discard"}, {"Actions", "RuleFilterAlert = reject"}}, false,
         "read section Actions: SpamFilterAlert is obsoleted by RuleFilterAlert, cannot be used together"},
        {"quarantine dir", {{"Actions", "Quarantine = /var/q"}, {"Actions", "QuarantineFilesMode = 01640"},
                            {"Actions", "QuarantineFilenamesMode = Tai"}}, true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.actions.quarantine.directory, "/var/q");
             EXPECT_EQ(c.actions.quarantine.files_mode, 0640);
             EXPECT_EQ(c.actions.quarantine.naming_mode, kv::NAMING_TAI);
         }},
        {"empty quarantine", {{"Actions", "Quarantine ="}}, false,
         "conf: Infected = quarantine needs a Quarantine directory in [Actions]"},
        {"no quarantine needed",
         {{"Actions", "Quarantine ="}, {"Actions", "Infected = reject"}, {"Actions", "Incurable = reject"},
          {"Actions", "CureFail = reject"}, {"Actions", "Suspicious = reject"}, {"Actions", "Adware = pass"},
          {"Actions", "Dialers = pass"}, {"Actions", "Jokes = pass"}, {"Actions", "Riskware = pass"},
          {"Actions", "Hacktools = pass"}, {"Actions", "RuleFilterAlert = reject"},
          {"Actions", "ScanningErrors = tempfail"}, {"Actions", "ProcessingErrors = tempfail"}},
         true, "read section Actions: you do not specify quarantine directory, infected message would not been storied",
         [](const kv::filter_config& c) { EXPECT_EQ(c.actions.quarantine.directory, std::nullopt); }},
        {"redirect without address", {{"Actions", "Suspicious = redirect"}}, false,
         "conf: Suspicious = redirect needs RedirectMail in [Actions]"},
        {"quarantine mode", {{"Actions", "Quarantine = /var/q"}, {"Actions", "QuarantineFilesMode = 0300"}}, false,
         "read section Actions: access mask 0300 is invalid"},
        {"quarantine naming", {{"Actions", "QuarantineFilenamesMode = x"}}, false, "read section Actions: invalid naming mode x"},
        {"missing viruses list", {{"Actions", "UnnotificableVirusesList = /nonexistent/v"}}, false,
         "virus: error loading viruses list from filename /nonexistent/v"},
        {"missing addresses list", {{"Actions", "UnnotificableAddressesList = /nonexistent/a"}}, false,
         "maddr: error load addresses list from filename /nonexistent/a"},
        {"action prefix word", {{"Actions", "Infected = Quarantine-it"}}, true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.actions.infected, kv::ACT_QUARANTINE); }},
    };
    // Every action key with an admissible and an inadmissible word.
    struct action_case {
        const char* key;
        const char* good;
        int code;
        const char* bad;
        const char* message;
        int kv::actions_settings::*field;
    };
    const action_case actions[] = {
        {"RuleFilterAlert", "redirect", kv::ACT_REDIRECT, "pass", "on rule filter", &kv::actions_settings::rule_filter_alert},
        {"EmptyFrom", "discard", kv::ACT_DISCARD, "pass", "on empty From:", &kv::actions_settings::empty_from},
        {"CureFail", "discard", kv::ACT_DISCARD, "cure", "on cure fail", &kv::actions_settings::cure_fail},
        {"Incurable", "remove", kv::ACT_REMOVE, "cure", "on incurable", &kv::actions_settings::incurable},
        {"Infected", "cure", kv::ACT_CURE, "tempfail", "on virus", &kv::actions_settings::infected},
        {"Adware", "pass", kv::ACT_PASS, "cure", "on adware", &kv::actions_settings::adware},
        {"Dialers", "redirect", kv::ACT_REDIRECT, "remove", "on dialers", &kv::actions_settings::dialers},
        {"Jokes", "discard", kv::ACT_DISCARD, "tempfail", "on jokes", &kv::actions_settings::jokes},
        {"Riskware", "reject", kv::ACT_REJECT, "continue", "on riskware", &kv::actions_settings::riskware},
        {"Hacktools", "quarantine", kv::ACT_QUARANTINE, "cure", "on intrusion tools (hacktool)", &kv::actions_settings::hacktools},
        {"Suspicious", "pass", kv::ACT_PASS, "remove", "on suspicious", &kv::actions_settings::suspicious},
        {"SkipObject", "pass", kv::ACT_PASS, "discard", "on skip object", &kv::actions_settings::skip_object},
        {"ArchiveRestriction", "redirect", kv::ACT_REDIRECT, "discard", "on mailbomb", &kv::actions_settings::archive_restriction},
        {"ScanningErrors", "tempfail", kv::ACT_TEMPFAIL, "discard", "on scanning errors", &kv::actions_settings::scanning_errors},
        {"ProcessingErrors", "tempfail", kv::ACT_TEMPFAIL, "continue", "on processing errors", &kv::actions_settings::processing_errors},
    };
    for (const action_case& a : actions) {
        int kv::actions_settings::*field = a.field;
        int code = a.code;
        cases.push_back({a.key,
                         {{"Actions", std::string(a.key) + " = " + a.good}, {"Actions", "RedirectMail = box@x"}},
                         true, "",
                         [field, code](const kv::filter_config& c) { EXPECT_EQ(c.actions.*field, code); }});
        cases.push_back({a.key, {{"Actions", std::string(a.key) + " = " + a.bad}}, false,
                         std::string("read section Actions: invalid action ") + a.bad + " " + a.message});
    }
    run_cases(cases);
}

TEST(Settings, NotificationSections) {
    run_cases({
        {"switch without template", {{"VirusNotifications", "AdminNotify = yes"}}, false,
         "read section VirusNotifications: you should specify filename with message template for administrator"},
        {"sender without template", {{"SkipNotifications", "SenderNotify = yes"}}, false,
         "read section SkipNotifications: you should specify filename with message template for sender"},
        {"rcpts without template", {{"CuredNotifications", "RcptsNotify = on"}}, false,
         "read section CuredNotifications: you should specify filename with message template for recipients"},
        {"templates", {{"VirusNotifications", "AdminNotify = yes"}, {"VirusNotifications", "AdminTemplate = /t/a"}}, true, "",
         [](const kv::filter_config& c) {
             EXPECT_EQ(c.virus.admin_notify, 1);
             EXPECT_EQ(c.virus.admin_template, "/t/a");
         }},
        {"no archive section", {}, false,
         "conf: [ArchiveRestrictionNotifications] section missed, init configuration failed", nullptr,
         {"ArchiveRestrictionNotifications"}},
        {"mailbomb alone", {{"MailbombNotifications", "RcptsNotify = yes"}, {"MailbombNotifications", "RcptsTemplate = /t/r"}},
         true, "",
         [](const kv::filter_config& c) { EXPECT_EQ(c.archive_restriction.rcpts_template, "/t/r"); },
         {"ArchiveRestrictionNotifications"}},
        {"archive after mailbomb", {{"MailbombNotifications", ""}, {"ArchiveRestrictionNotifications", ""}}, false,
         "read section ArchiveRestrictionNotifications: obsolete MailbombNotifications, cannot be used together",
         nullptr, {"ArchiveRestrictionNotifications"}},
        {"mailbomb after archive", {{"MailbombNotifications", ""}}, false,
         "read section MailbombNotifications: is obsoleted by ArchiveRestrictionNotifications, cannot be used together"},
        {"malware present", {{"MalwareNotifications", "AdminNotify = yes"}, {"MalwareNotifications", "AdminTemplate = /t/m"}},
         true, "", [](const kv::filter_config& c) { EXPECT_EQ(c.malware.admin_notify, 1); }},
    });
}

TEST(Settings, FailedLoadLeavesNothingLoaded) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "deny.list", "deny spam\n");
    kvtest::config_builder builder;
    builder.set("Scanning", "DenyList = " + (dir / "deny.list")).set("Mailer", "MailSystem = Exim");
    kv::filter_config config;
    kvtest::log_capture logged;
    EXPECT_EQ(kv::read_config_file(builder.write(dir / "k.conf").c_str(), config), 0);
    EXPECT_EQ(config.scanning.deny_list, nullptr);
    EXPECT_EQ(config.scanning.spool.directory, std::nullopt);
    EXPECT_EQ(config.daemon.address, nullptr);
    EXPECT_EQ(config.actions.filter_mail, std::nullopt);
}

TEST(Settings, SampleConfigurationLoadsWithItsLists) {
    kvtest::temp_dir dir;
    std::string text = kvtest::read_file(kvtest::source_path("etc/kerval_postfix.conf"));
    ASSERT_FALSE(text.empty());
    // The sample names its lists where they are installed: point at the source tree.
    std::string installed = "/etc/kerval/";
    for (size_t at = text.find(installed); at != std::string::npos; at = text.find(installed, at))
        text.replace(at, installed.size(), kvtest::source_path("etc/"));
    kvtest::write_file(dir / "k.conf", text);
    kv::filter_config config;
    kvtest::log_capture logged;
    ASSERT_EQ(kv::read_config_file((dir / "k.conf").c_str(), config), 1) << logged.dump();
    EXPECT_EQ(config.actions.processing_errors, kv::ACT_TEMPFAIL);
    EXPECT_TRUE(config.scanning.deny_list);
    EXPECT_TRUE(config.actions.unnotifiable_viruses);
    EXPECT_TRUE(config.actions.unnotifiable_addresses);
    for (const kv::notification_settings* block : {&config.virus, &config.malware, &config.skip,
                                                   &config.archive_restriction, &config.error, &config.rule_filter,
                                                   &config.cured}) {
        for (const kv::conf_string* tmpl : {&block->admin_template, &block->sender_template, &block->rcpts_template}) {
            ASSERT_TRUE(*tmpl);
            EXPECT_TRUE(kvtest::file_exists(**tmpl)) << **tmpl;
        }
    }
}

TEST(Settings, ParseActionAndDump) {
    int action = 0;
    EXPECT_EQ(kv::parse_action("Cure", "RFDQLC", &action), 1);
    EXPECT_EQ(action, kv::ACT_CURE);
    EXPECT_EQ(kv::parse_action("cure", "RFDQ", &action), 0);
    kvtest::log_capture logged;
    EXPECT_EQ(kv::parse_action(nullptr, "R", &action), 0);
    EXPECT_TRUE(logged.contains("conf: bad parameters (1.0.0) were passed (kv_options:"));
    EXPECT_EQ(kv::action_letter(42), '?');
    kv::actions_settings actions;
    actions.infected = kv::ACT_CURE;
    actions.empty_from = kv::ACT_DISCARD;
    logged.clear();
    kv::dump_actions(actions);
    ASSERT_EQ(logged.lines().size(), 15u);
    EXPECT_EQ(logged.lines()[0].second, "action on infected = C");
    EXPECT_EQ(logged.lines()[10].second, "action on empty from = D");
    EXPECT_EQ(logged.lines()[14].second, "action on processing error = Q");
}
