// kervald: the scanning daemon of kerval-postfix.
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "kvc_log.h"
#include "kvc_version.h"
#include "kvd_process.h"
#include "kvd_server.h"
#include "kvd_settings.h"

namespace {

const char* const kUsage =
    "Usage: kervald [options] ADDRESS...\n"
    "\n"
    "kervald " KV_VERSION ", the scanning daemon of kerval-postfix.\n"
    "\n"
    "It listens on every ADDRESS (inet:PORT@HOST, local:/path, or default for\n"
    "inet:3000@localhost; port 0 takes a free port) and serves many connections at\n"
    "once: the version, identification and virus-bases queries, and scans of files\n"
    "it opens itself (local mode) or of content sent to it. It scans with the\n"
    "signature engine (libclamav) and the databases of the database directory:\n"
    "mail, archives, documents and executables are looked into. Without an engine, a built-in\n"
    "matcher finds the EICAR test file (known virus EICAR-Test-File, category K)\n"
    "and, when asked to cure (option 0x40), overwrites it with blanks: in the file\n"
    "itself in local mode, in the copy it returns otherwise.\n"
    "\n"
    "Options:\n"
    "  --foreground             stay in the foreground (for systemd, Type=notify);\n"
    "                           otherwise detach once ready\n"
    "  --pidfile=PATH           write the pid, then one address per line (host:port\n"
    "                           or socket path), once every address is ready\n"
    "  --database-directory=DIR signature databases (default /var/lib/clamav, used\n"
    "                           when it holds databases); none: the built-in matcher\n"
    "  --max-file-size=SIZE     largest file the engine looks at (default 100M)\n"
    "  --max-scan-size=SIZE     most data scanned in one object (default 400M)\n"
    "  --max-recursion=N        archive nesting looked into (default 17)\n"
    "  --max-files=N            files looked at in one archive (default 10000)\n"
    "  --max-scan-time=SECONDS  time for one object (default 120)\n"
    "  --max-content-size=SIZE  content one request may send (default 256M)\n"
    "  --temporary-directory=DIR  where received content is kept while it is\n"
    "                           scanned (default $TMPDIR or /tmp)\n"
    "  --workers=N              connections served at once (default: twice the\n"
    "                           number of cores)\n"
    "  --timeout=SECONDS        time allowed for each connection's transfers\n"
    "                           (default 10, 0 = none)\n"
    "  --socket-user=USER, --socket-group=GROUP, --socket-mode=MODE\n"
    "                           owner, group and mode of UNIX-domain socket files\n"
    "                           (default: the daemon's own, mode 0660)\n"
    "  --control=PATH           answer settings (below) read again before every\n"
    "                           request\n"
    "  --record=PATH            append one line per request saying what it was\n"
    "  --refuse                 bind the addresses but refuse every connection\n"
    "  --agent                  act as the statistics agent instead of a scanner:\n"
    "                           record each report (with --record) and answer\n"
    "                           agent-answer\n"
    "  --log-level=LEVEL        quiet, errors, alerts, info (default), verbose or\n"
    "                           debug; the log goes to the system log, and to\n"
    "                           standard error in the foreground\n"
    "  --syslog-facility=NAME   system log facility (default daemon)\n"
    "  --help                   show this text\n"
    "SIZE is a number of bytes, or of K, M or G with that suffix.\n"
    "\n"
    "Answer settings, for tests, as --NAME=VALUE or as NAME = VALUE lines of the\n"
    "control file (\"#\" starts a comment). A setting marked + repeats to build a\n"
    "list; in the control file its first line replaces the list of the command\n"
    "line, and an empty value leaves the list empty.\n"
    "  version=N            the version query's answer (default " KV_VERSION_CODE_TEXT ", that is " KV_VERSION ")\n"
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
    "  delay=MS             wait MS milliseconds before answering\n"
    "  agent-answer=N       the statistics agent's answer (default 0)\n"
    "Texts understand \\n, \\r, \\t, \\\\ and \\xHH.\n"
    "\n"
    "Example: make the running daemon report a virus, then hang up mid-answer:\n"
    "  printf 'status = 0x20\\nvirus = Test.Virus,K\\nclose-after = 6\\n' > kervald.ctl\n"
    "  kervald --foreground --control=kervald.ctl --pidfile=kervald.pid local:/tmp/kervald.sock\n"
    "\n"
    "SIGHUP loads the signature databases again (the loaded ones stay when the new\n"
    "ones fail). SIGTERM or SIGINT stops the daemon once the scans in progress are\n"
    "done; it removes its socket files and pid file.\n";

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

// A whole number within [low, high], in the given base; with sizes, a K, M or G
// suffix multiplies it by 1024, 1024^2 or 1024^3.
bool parse_number(const char* text, unsigned long long low, unsigned long long high, unsigned long long& value,
                  bool size = false, int base = 10) {
    if (*text == '\0' || *text == '-' || *text == '+') return false;
    char* end = nullptr;
    errno = 0;
    value = strtoull(text, &end, base);
    if (errno != 0 || end == text) return false;
    if (size && *end != '\0' && end[1] == '\0') {
        const char* const suffixes = "KMG";
        const char* at = strchr(suffixes, *end);
        if (at == nullptr) return false;
        for (const char* step = suffixes; step <= at; ++step) {
            if (value > ULLONG_MAX / 1024) return false;
            value *= 1024;
        }
        ++end;
    }
    return *end == '\0' && value >= low && value <= high;
}

// A path made absolute against the start directory: the detached daemon works in "/".
std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
}

bool user_id(const char* name, uid_t& uid) {
    unsigned long long number = 0;
    if (parse_number(name, 0, UINT32_MAX - 1, number)) {
        uid = static_cast<uid_t>(number);
        return true;
    }
    const passwd* entry = getpwnam(name);
    if (entry != nullptr) uid = entry->pw_uid;
    return entry != nullptr;
}

bool group_id(const char* name, gid_t& gid) {
    unsigned long long number = 0;
    if (parse_number(name, 0, UINT32_MAX - 1, number)) {
        gid = static_cast<gid_t>(number);
        return true;
    }
    const group* entry = getgrnam(name);
    if (entry != nullptr) gid = entry->gr_gid;
    return entry != nullptr;
}

int run(int argc, char** argv) {
    enum : int {
        OPT_PIDFILE = 1000, OPT_CONTROL, OPT_RECORD, OPT_TIMEOUT, OPT_REFUSE, OPT_AGENT, OPT_LOG, OPT_HELP,
        OPT_FOREGROUND, OPT_DATABASES, OPT_MAX_FILE_SIZE, OPT_MAX_SCAN_SIZE, OPT_MAX_RECURSION, OPT_MAX_FILES,
        OPT_MAX_SCAN_TIME, OPT_MAX_CONTENT, OPT_TEMPORARY, OPT_WORKERS, OPT_SOCKET_USER, OPT_SOCKET_GROUP,
        OPT_SOCKET_MODE, OPT_FACILITY, OPT_SETTING
    };
    std::vector<option> options = {
        {"pidfile", required_argument, nullptr, OPT_PIDFILE},
        {"control", required_argument, nullptr, OPT_CONTROL},
        {"record", required_argument, nullptr, OPT_RECORD},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"refuse", no_argument, nullptr, OPT_REFUSE},
        {"agent", no_argument, nullptr, OPT_AGENT},
        {"log-level", required_argument, nullptr, OPT_LOG},
        {"help", no_argument, nullptr, OPT_HELP},
        {"foreground", no_argument, nullptr, OPT_FOREGROUND},
        {"database-directory", required_argument, nullptr, OPT_DATABASES},
        {"max-file-size", required_argument, nullptr, OPT_MAX_FILE_SIZE},
        {"max-scan-size", required_argument, nullptr, OPT_MAX_SCAN_SIZE},
        {"max-recursion", required_argument, nullptr, OPT_MAX_RECURSION},
        {"max-files", required_argument, nullptr, OPT_MAX_FILES},
        {"max-scan-time", required_argument, nullptr, OPT_MAX_SCAN_TIME},
        {"max-content-size", required_argument, nullptr, OPT_MAX_CONTENT},
        {"temporary-directory", required_argument, nullptr, OPT_TEMPORARY},
        {"workers", required_argument, nullptr, OPT_WORKERS},
        {"socket-user", required_argument, nullptr, OPT_SOCKET_USER},
        {"socket-group", required_argument, nullptr, OPT_SOCKET_GROUP},
        {"socket-mode", required_argument, nullptr, OPT_SOCKET_MODE},
        {"syslog-facility", required_argument, nullptr, OPT_FACILITY},
    };
    const std::vector<std::string>& names = kvd::setting_names();
    for (size_t i = 0; i < names.size(); ++i) {
        options.push_back({names[i].c_str(), required_argument, nullptr, OPT_SETTING + static_cast<int>(i)});
    }
    options.push_back({nullptr, 0, nullptr, 0});

    kvd::server_options server;
    kvd::request_settings& requests = server.requests;
    kvd::engine_limits& limits = server.limits;
    const char* tmpdir = getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0') requests.temporary_directory = tmpdir;
    std::set<std::string> lists_seen;
    int level = kv::Info;
    int facility = kvd::facility_of("daemon");
    opterr = 0;
    for (int index = 0, opt; (opt = getopt_long(argc, argv, "", options.data(), &index)) != -1;) {
        // Numeric options: the value's range and what it sets.
        struct numeric {
            int opt;
            unsigned long long low, high;
            bool size;
            const char* what;
        };
        static const numeric numerics[] = {
            {OPT_TIMEOUT, 0, 14400, false, "timeout"},
            {OPT_MAX_FILE_SIZE, 1, ULLONG_MAX, true, "largest file size"},
            {OPT_MAX_SCAN_SIZE, 1, ULLONG_MAX, true, "scan size"},
            {OPT_MAX_RECURSION, 1, 1000, false, "recursion depth"},
            {OPT_MAX_FILES, 1, UINT32_MAX, false, "number of files"},
            {OPT_MAX_SCAN_TIME, 1, 86400, false, "scan time"},
            {OPT_MAX_CONTENT, 1, UINT32_MAX, true, "content size"},
            {OPT_WORKERS, 1, 1024, false, "number of workers"},
            {OPT_SOCKET_MODE, 0, 0777, false, "socket mode"},
        };
        unsigned long long number = 0;
        for (const numeric& n : numerics) {
            if (n.opt == opt && !parse_number(optarg, n.low, n.high, number, n.size, opt == OPT_SOCKET_MODE ? 8 : 10)) {
                return usage_error(std::string("bad ") + n.what + " " + optarg);
            }
        }
        switch (opt) {
        case OPT_PIDFILE: server.pidfile = absolute(optarg); break;
        case OPT_CONTROL: requests.control = absolute(optarg); break;
        case OPT_RECORD: requests.record = absolute(optarg); break;
        case OPT_TIMEOUT: server.timeout = static_cast<int>(number); break;
        case OPT_REFUSE: server.refuse = true; break;
        case OPT_AGENT: requests.agent = true; break;
        case OPT_LOG:
            level = level_of(optarg);
            if (level < 0) return usage_error(std::string("unknown log level ") + optarg);
            break;
        case OPT_HELP: fputs(kUsage, stdout); return 0;
        case OPT_FOREGROUND: server.foreground = true; break;
        case OPT_DATABASES:
            server.builtin_only = strcmp(optarg, "none") == 0;
            server.database_given = !server.builtin_only;
            server.database_directory = absolute(optarg);
            break;
        case OPT_MAX_FILE_SIZE: limits.max_file_size = number; break;
        case OPT_MAX_SCAN_SIZE: limits.max_scan_size = number; break;
        case OPT_MAX_RECURSION: limits.max_recursion = static_cast<uint32_t>(number); break;
        case OPT_MAX_FILES: limits.max_files = static_cast<uint32_t>(number); break;
        case OPT_MAX_SCAN_TIME: limits.max_scan_time = static_cast<uint32_t>(number); break;
        case OPT_MAX_CONTENT: requests.max_content = static_cast<uint32_t>(number); break;
        case OPT_TEMPORARY: requests.temporary_directory = absolute(optarg); break;
        case OPT_WORKERS: server.workers = static_cast<size_t>(number); break;
        case OPT_SOCKET_USER: {
            uid_t uid = 0;
            if (!user_id(optarg, uid)) return usage_error(std::string("unknown user ") + optarg);
            server.socket_user = uid;
            break;
        }
        case OPT_SOCKET_GROUP: {
            gid_t gid = 0;
            if (!group_id(optarg, gid)) return usage_error(std::string("unknown group ") + optarg);
            server.socket_group = gid;
            break;
        }
        case OPT_SOCKET_MODE: server.socket_mode = static_cast<mode_t>(number); break;
        case OPT_FACILITY:
            facility = kvd::facility_of(optarg);
            if (facility < 0) return usage_error(std::string("unknown syslog facility ") + optarg);
            break;
        case '?': return usage_error(std::string("unknown or incomplete option ") + argv[optind - 1]);
        default: {
            const std::string& name = names[static_cast<size_t>(opt - OPT_SETTING)];
            const std::string problem = kvd::apply_setting(requests.answers, name, optarg, lists_seen);
            if (!problem.empty()) return usage_error("--" + name + "=" + optarg + ": " + problem);
        }
        }
    }
    for (int i = optind; i < argc; ++i) server.addresses.emplace_back(argv[i]);
    if (server.addresses.empty()) return usage_error("no address to listen on");
    kvd::start_log(level, facility, true);
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
