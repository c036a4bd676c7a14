#include "kv_main.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kv_options.h"
#include "kv_settings.h"
#include "kvc_log.h"

namespace kv {

envelope_args parse_envelope_args(int argc, char** argv) {
    envelope_args args;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (strncmp(arg, "-f", 2) == 0) {
            args.sender_seen = true;
            const char* value = strlen(arg) > 2 ? arg + 2 : (i + 1 < argc ? argv[++i] : nullptr);
            if (value == nullptr) {
                log(Errors, "kerval-pipe: incorrect usage - no sender");
                break;
            }
            if (args.sender) {
                log(Errors, "kerval-pipe: incorrect usage - second sender");
                break;
            }
            std::string sender = value;
            if (sender.empty()) sender = "<>";
            else if (sender.back() == '@') sender.pop_back();
            log(Verbose, "kerval-pipe: from = %s", sender.c_str());
            args.sender = sender;
            args.have_sender = true;
        } else if (strcmp(arg, "--") == 0) {
            if (!args.sender) {
                log(Errors, "kerval-pipe: incorrect usage - recipients before sender");
                break;
            }
            for (++i; i < argc; ++i) {
                args.have_rcpts = true;
                std::string rcpt = argv[i];
                if (rcpt.empty()) continue;
                if (rcpt.back() == '@') rcpt.pop_back();
                log(Verbose, "kerval-pipe: to = %s", rcpt.c_str());
                args.rcpts.push_back(rcpt);
            }
            break;
        } else if (args.sender_seen) {
            log(Errors, "kerval-pipe: incorrect usage - options after some envelope info");
            break;
        }
    }
    return args;
}

int action_exit_status(int action, int error_status, bool message_available) {
    switch (action) {
    case ACT_PASS:
        return message_available ? kResubmit : error_status;
    case ACT_REJECT:
        return error_status;
    case ACT_QUARANTINE:
    case ACT_REDIRECT:
        return message_available ? kConsumed : error_status;
    case ACT_DISCARD:
        return kConsumed;
    case ACT_TEMPFAIL:
        return 75;
    case ACT_CONTINUE:
        return kResubmit;
    default:
        log(Errors, "kerval-pipe: wrong action %d requested", action);
        return 70;
    }
}

void report_problem(int status, const char* text) {
    printf("This report created automatically by antivirus software.\n");
    printf("Problem: %s\n", text);
    fflush(stdout);
    exit(status);
}

int filter_main(int argc, char** argv) {
    filter_config config;
    if (!load_config(argc, argv, config)) {
        log(Errors, "cannot load configuration file");
        report_problem(75, "cannot load configuration file");
    }
    log(Verbose, "kerval-pipe: configuration loaded ...");
    // The message stages come next: until they are in place, keep mail for retry.
    return 75;
}

}  // namespace kv
