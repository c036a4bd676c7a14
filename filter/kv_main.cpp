#include "kv_main.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "kv_files.h"
#include "kv_mail.h"
#include "kv_mailscan.h"
#include "kv_mailsend.h"
#include "kv_notify.h"
#include "kv_options.h"
#include "kv_settings.h"
#include "kv_util.h"
#include "kvc_lib.h"
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

namespace {

// A stage failed: the ProcessingErrors action decides. A message that is still
// available is put where that action says, so that exit 0 never loses it.
int processing_error(const filter_config& config, mail* m, int error_status, bool available) {
    int action = config.actions.processing_errors;
    if (available && m != nullptr && action == ACT_QUARANTINE) {
        if (!config.actions.quarantine.directory) {
            log(Errors, "kerval-pipe: no quarantine directory for the message - keep it for retry");
            return 75;
        }
        std::optional<std::string> archive =
            quarantine_store(config.actions.quarantine, mail_get_path(*m), config.actions.move_file);
        if (!archive) return 75;
        log(Alerts, "kerval-pipe: the message has been stored in archive %s", archive->c_str());
        mail_keep_file(*m);
    }
    if (available && m != nullptr && action == ACT_REDIRECT && !redirect(*m, config.actions, config.mailer)) {
        log(Errors, "kerval-pipe: the message was not redirected - keep it for retry");
        return 75;
    }
    return action_exit_status(action, error_status, available);
}

// The stages from the library start-up to the verdict: the status for the
// finish (kResubmit, kConsumed or an exit status). m receives the message record.
int handle_message(const filter_config& config, int argc, char** argv, std::unique_ptr<mail>& m) {
    if (!init_lib(config.daemon)) return processing_error(config, nullptr, 65, false);
    log(Verbose, "kerval-pipe: Kerval (R) Filter for postfix ver.4.33 started ...");
    std::optional<std::string> path = save_message(config.scanning.spool);
    if (!path) {
        log(Errors, "kerval-pipe: cannot read message from stdin");
        return processing_error(config, nullptr, 65, false);
    }
    m = mail_create(path->c_str());
    if (!m) {
        unlink(path->c_str());
        log(Errors, "kerval-pipe: cannot create mail info - no memory");
        return processing_error(config, nullptr, 71, false);
    }
    envelope_args args = parse_envelope_args(argc, argv);
    bool envelope_ok = args.have_sender && args.have_rcpts;
    if (envelope_ok && !e_set_from(m->env, args.sender->c_str())) {
        log(Errors, "kerval-pipe: no memory for sender");
        envelope_ok = false;
    }
    for (const std::string& rcpt : args.rcpts) {
        if (envelope_ok && !e_add_rcpt(m->env, rcpt.c_str())) {
            log(Errors, "kerval-pipe: cannot add recipient to list");
            envelope_ok = false;
        }
    }
    if (!envelope_ok) {
        log(Errors, "kerval-pipe: cannot get envelope info - possible configuration problem");
        return processing_error(config, m.get(), 65, false);
    }
    if (!mail_parse_headers(*m)) {
        log(Errors, "kerval-pipe: cannot get mail-headers info - possible configuration problem");
        return processing_error(config, m.get(), 65, true);
    }
    mail_print(*m, config.logging.level);
    uint32_t daemon_status = 0;
    int action = mailscan::scan(*m, mailscan::scan_settings::of(config), &daemon_status);
    return action_exit_status(action, 69, true);
}

}  // namespace

int filter_main(int argc, char** argv) {
    filter_config config;
    if (!load_config(argc, argv, config)) {
        log(Errors, "cannot load configuration file");
        report_problem(75, "cannot load configuration file");
    }
    log(Verbose, "kerval-pipe: configuration loaded ...");

    std::unique_ptr<mail> m;
    int status = handle_message(config, argc, argv, m);
    if (status == kConsumed) {
        status = 0;
    } else if (status == kResubmit) {
        if (!m || e_get_from(m->env) == nullptr || e_rcpts_count(m->env) == 0) {
            log(Alerts, "kerval-pipe: cannot reinject message to mail system (message or envelope was not retrieved)");
            status = 69;
        } else if (!mailsend(m->env, mail_get_path(*m), 0, nullptr, 0, config.mailer)) {
            log(Alerts, "kerval-pipe: cannot reinject message to mail system");
            status = 69;
        }
    }
    if (m) mail_delete(std::move(m), !config.logging.debug_spool);
    (void)cleanup();
    return status;
}

}  // namespace kv
