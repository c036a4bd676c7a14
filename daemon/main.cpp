// kervald: a stand-in scanning daemon for trying and testing kerval-postfix.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "kvc_log.h"
#include "kvd_server.h"
#include "kvd_settings.h"

namespace {

const char* const kUsage =
    "Usage: kervald [options] ADDRESS...\n"
    "\n"
    "A stand-in scanning daemon for trying and testing kerval-postfix. It listens on\n"
    "every ADDRESS (inet:PORT@HOST, local:/path, or default for inet:3000@localhost;\n"
    "port 0 takes a free port) and serves one connection at a time: the version,\n"
    "identification and virus-bases queries, and scans of files it opens itself\n"
    "(local mode) or of content sent to it. It finds the EICAR test file (known\n"
    "virus EICAR-Test-File, category K) and, when asked to cure (option 0x40),\n"
    "overwrites it with blanks: in the file itself in local mode, in the copy it\n"
    "returns otherwise.\n"
    "\n"
    "Options:\n"
    "  --pidfile=PATH      write the pid, then one address per line (host:port or\n"
    "                      socket path), once every address is ready\n"
    "  --control=PATH      answer settings (below) read again before every request\n"
    "  --record=PATH       append one line per request saying what it was\n"
    "  --timeout=SECONDS   time allowed for each connection (default 10, 0 = none)\n"
    "  --refuse            bind the addresses but refuse every connection\n"
    "  --agent             act as the statistics agent instead of a scanner: record\n"
    "                      each report (with --record) and answer agent-answer\n"
    "  --log-level=LEVEL   quiet, errors, alerts, info (default), verbose or debug;\n"
    "                      the log goes to standard error\n"
    "  --help              show this text\n"
    "\n"
    "Answer settings, as --NAME=VALUE or as NAME = VALUE lines of the control file\n"
    "(\"#\" starts a comment). A setting marked + repeats to build a list; in the\n"
    "control file its first line replaces the list of the command line, and an\n"
    "empty value leaves the list empty.\n"
    "  version=N            the version query's answer (default 433, that is 4.33)\n"
    "  id=TEXT              the identification string\n"
    "  base=NAME:RECORDS    + a virus base of the bases query\n"
    "  status=WORD          status word of every scan answer instead of the verdict\n"
    "  virus=NAME,LETTER    + a found object and its category (K S M A D J R H),\n"
    "                       sent as given, so a malformed line can be sent too\n"
    "  rule=TEXT            the matched rule's text\n"
    "  report=LINE          + a report line; {name} is the object's name\n"
    "  stat=MASK:COUNT      + a statistics pair\n"
    "  cured=TEXT           the cured file sent back\n"
    "  cured-length=N       the length announced for the cured file (the bytes\n"
    "                       sent stay those of the cured file)\n"
    "  close-after=N        close the connection after N bytes of the answer\n"
    "  stall=yes            read the request, then never answer\n"
    "  agent-answer=N       the statistics agent's answer (default 0)\n"
    "Texts understand \\n, \\r, \\t, \\\\ and \\xHH.\n"
    "\n"
    "Example: make the running daemon report a virus, then hang up mid-answer:\n"
    "  printf 'status = 0x20\\nvirus = Test.Virus,K\\nclose-after = 6\\n' > kervald.ctl\n"
    "  kervald --control=kervald.ctl --pidfile=kervald.pid local:/tmp/kervald.sock\n"
    "\n"
    "SIGTERM or SIGINT stops the daemon; it removes its socket files and pid file.\n";

int level_of(const std::string& word) {
    const std::pair<const char*, int> levels[] = {{"quiet", kv::Quiet},   {"errors", kv::Errors},
                                                  {"alerts", kv::Alerts}, {"info", kv::Info},
                                                  {"verbose", kv::Verbose}, {"debug", kv::Debug}};
    for (const auto& [name, level] : levels) {
        if (word == name) return level;
    }
    return -1;
}

int usage_error(const std::string& problem) {
    fprintf(stderr, "kervald: %s\nTry 'kervald --help'.\n", problem.c_str());
    return 2;
}

int run(int argc, char** argv) {
    enum : int { OPT_PIDFILE = 1000, OPT_CONTROL, OPT_RECORD, OPT_TIMEOUT, OPT_REFUSE, OPT_AGENT, OPT_LOG, OPT_HELP,
                 OPT_SETTING };
    std::vector<option> options = {
        {"pidfile", required_argument, nullptr, OPT_PIDFILE}, {"control", required_argument, nullptr, OPT_CONTROL},
        {"record", required_argument, nullptr, OPT_RECORD},   {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"refuse", no_argument, nullptr, OPT_REFUSE},         {"agent", no_argument, nullptr, OPT_AGENT},
        {"log-level", required_argument, nullptr, OPT_LOG},   {"help", no_argument, nullptr, OPT_HELP},
    };
    const std::vector<std::string>& names = kvd::setting_names();
    for (size_t i = 0; i < names.size(); ++i) {
        options.push_back({names[i].c_str(), required_argument, nullptr, OPT_SETTING + static_cast<int>(i)});
    }
    options.push_back({nullptr, 0, nullptr, 0});

    kvd::server_options server;
    std::set<std::string> lists_seen;
    int level = kv::Info;
    opterr = 0;
    for (int index = 0, opt; (opt = getopt_long(argc, argv, "", options.data(), &index)) != -1;) {
        switch (opt) {
        case OPT_PIDFILE: server.pidfile = optarg; break;
        case OPT_CONTROL: server.control = optarg; break;
        case OPT_RECORD: server.record = optarg; break;
        case OPT_TIMEOUT: {
            char* end = nullptr;
            const long seconds = strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || seconds < 0 || seconds > 14400) {
                return usage_error(std::string("bad timeout ") + optarg);
            }
            server.timeout = static_cast<int>(seconds);
            break;
        }
        case OPT_REFUSE: server.refuse = true; break;
        case OPT_AGENT: server.agent = true; break;
        case OPT_LOG:
            level = level_of(optarg);
            if (level < 0) return usage_error(std::string("unknown log level ") + optarg);
            break;
        case OPT_HELP: fputs(kUsage, stdout); return 0;
        case '?': return usage_error(std::string("unknown or incomplete option ") + argv[optind - 1]);
        default: {
            const std::string& name = names[static_cast<size_t>(opt - OPT_SETTING)];
            const std::string problem = kvd::apply_setting(server.answers, name, optarg, lists_seen);
            if (!problem.empty()) return usage_error("--" + name + "=" + optarg + ": " + problem);
        }
        }
    }
    for (int i = optind; i < argc; ++i) server.addresses.emplace_back(argv[i]);
    if (server.addresses.empty()) return usage_error("no address to listen on");
    kv::log_init("console", level, 0, 0, "kervald");
    return kvd::run_server(server);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        fputs("kervald: out of memory\n", stderr);
        return 1;
    }
}
