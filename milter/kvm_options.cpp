#include "kvm_options.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kv_options.h"
#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvm_process.h"

namespace kv::milter {
namespace {

const char* const kDefaultConfigs[] = {"/etc/kerval/kerval_postfix.conf", "/usr/local/etc/kerval/kerval_postfix.conf"};

void print_usage(const char* program) {
    printf("\nUsage : %s [options]\n", program);
    printf("%s - scans mail for viruses before it is queued (milter)\n\n", kFilterName);
    printf("Options:\n");
    printf("\t%s, %s, %s - show this help and exit\n", "-?", "-h", "--help");
    printf("\t%s - show milter version and exit\n", "--version");
    printf("\t%s - perform configuration check and exit\n", "--check_only");
    printf("\t%s - set very verbose output on standard error\n", "--debug");
    printf("\t%s - stay in the foreground, log to standard error as well\n", "--foreground");
    printf("\t%s<pathname> - specify full pathname to configuration file\n", "--conf=");
    printf("\nIf full pathname to conf file are not specified, then there is searched in:\n");
    for (const char* candidate : kDefaultConfigs) printf(" %s\n", candidate);
    printf("\nSignals: SIGTERM stops after the messages in progress, SIGUSR1 reloads the configuration.\n");
    fflush(stdout);
}

}  // namespace

std::optional<command_line> parse_command_line(int argc, char** argv, int& exit_status) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : kMilterIdent;
    command_line options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-?") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            print_usage(program);
            exit_status = 64;
            return std::nullopt;
        }
        if (strcmp(arg, "--version") == 0) {
            printf("\n%s - %s %s\n\n", program, kFilterName, kFilterVersion);
            fflush(stdout);
            exit_status = 0;
            return std::nullopt;
        }
        if (strncmp(arg, "--conf=", 7) == 0) {
            if (arg[7] == '\0') {
                log(Errors, "conf: misformatted --conf=<filename> option");
                exit_status = 64;
                return std::nullopt;
            }
            options.conf_path = arg + 7;
        } else if (strcmp(arg, "--check_only") == 0) {
            options.check_only = true;
        } else if (strcmp(arg, "--debug") == 0) {
            options.debug = true;
        } else if (strcmp(arg, "--foreground") == 0) {
            options.foreground = true;
        } else {
            log(Errors, "conf: unknown option %s", arg);
            exit_status = 64;
            return std::nullopt;
        }
    }
    return options;
}

std::string choose_config_file(const command_line& options) {
    if (!options.conf_path.empty()) return options.conf_path;
    for (const char* candidate : kDefaultConfigs) {
        if (access(candidate, R_OK) == 0) return candidate;
        log(Verbose, "conf: configuration file %s is not accessable - %s", candidate, stdlib_error(errno));
    }
    printf("%s: configuration file not found\nTry run with %s for more information.\n", kMilterIdent, "--help");
    fflush(stdout);
    return "";
}

bool check_milter_settings(const milter_settings& settings) {
    bool ok = true;
    if (settings.user && getpwnam(settings.user->c_str()) == nullptr) {
        log(Errors, "milter: unknown User %s", settings.user->c_str());
        ok = false;
    }
    for (const conf_string* name : {&settings.group, &settings.socket_group}) {
        if (*name && getgrnam((*name)->c_str()) == nullptr) {
            log(Errors, "milter: unknown group %s", (*name)->c_str());
            ok = false;
        }
    }
    const std::string path = socket_path(settings.socket);
    if (!path.empty()) {
        const std::string dir = path.substr(0, path.find_last_of('/') + 1);
        struct stat info;
        if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            log(Errors, "milter: the socket's directory %s does not exist", dir.c_str());
            ok = false;
        }
    }
    if (ok) log(Info, "milter: socket %s, timeout %d s", settings.socket.c_str(), settings.timeout);
    return ok;
}

}  // namespace kv::milter
