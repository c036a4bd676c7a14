#include "kv_main.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "kv_files.h"
#include "kv_mail.h"
#include "kv_mailscan.h"
#include "kv_carryout.h"
#include "kv_runguard.h"
#include "kv_verdict.h"
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

// Oldest a spool file may be before a later run removes it: twice the run's
// deadline, when the run that wrote it is surely gone. A few per run.
constexpr int kSweptPerRun = 16;

// The stages from the library start-up to the facts: what is known about the
// message when it is to be judged. m receives the message record.
void gather_facts(const filter_config& config, int argc, char** argv, std::unique_ptr<mail>& m, scan_facts& facts) {
    const bool library_ready = init_lib(config.daemon) != 0;
    log(Verbose, "kerval-pipe: Kerval (R) Filter for postfix ver.%s started ...", kFilterVersion);
    bool input_failed = false;
    std::optional<std::string> path = save_message(config.scanning.spool, 0, &input_failed);
    if (!path) {
        if (input_failed) {
            log(Errors, "kerval-pipe: cannot read message from stdin");
        } else {
            log(Errors, "kerval-pipe: cannot store message in spool %s",
                config.scanning.spool.directory ? config.scanning.spool.directory->c_str() : "(none)");
        }
        facts.fault = FAULT_SPOOL;
        return;
    }
    m = mail_create(path->c_str());
    if (!m) {
        unlink(path->c_str());
        log(Errors, "kerval-pipe: cannot create mail info - no memory");
        facts.fault = FAULT_RECORD;
        return;
    }
    m->queue_id = config.queue_id;
    facts.message = m.get();
    facts.stored = true;
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
    if (envelope_ok && e_rcpts_count(m->env) == 0) envelope_ok = false;
    if (!envelope_ok) {
        log(Errors, "kerval-pipe: cannot get envelope info - possible configuration problem");
        facts.fault = FAULT_ENVELOPE;
        return;
    }
    if (!mail_parse_headers(*m)) {
        log(Errors, "kerval-pipe: cannot get mail-headers info - possible configuration problem");
        facts.fault = FAULT_HEADERS;
        return;
    }
    mail_print(*m, config.logging.level);
    mailscan::gather(*m, scan_settings::of(config), library_ready, facts);
}

}  // namespace

int filter_main(int argc, char** argv) {
    filter_config config;
    if (!load_config(argc, argv, config)) {
        log(Errors, "cannot load configuration file");
        report_problem(75, "cannot load configuration file");
    }
    log(Verbose, "kerval-pipe: configuration loaded ...");
    runguard_install(static_cast<unsigned>(config.scanning.run_time_limit));
    if (!config.logging.debug_spool)
        (void)sweep_spool(config.scanning.spool, 2L * config.scanning.run_time_limit, kSweptPerRun);

    std::unique_ptr<mail> m;
    scan_facts facts;
    gather_facts(config, argc, argv, m, facts);
    const scan_settings settings = scan_settings::of(config);
    verdict v = decide(facts, settings);
    disposition outcome = v.dispose;
    if (m) {
        resubmission front(config.actions, config.mailer);
        outcome = carry_out(v, *m, settings, front);
    } else {
        for (const log_line& line : v.lines) log(line.level, "%s", line.text.c_str());
    }
    log_result(v, outcome, m.get());
    const int status = exit_status_of(outcome);
    if (m) {
        const std::string path = mail_get_path(*m) != nullptr ? mail_get_path(*m) : "";
        const bool kept = m->keep_file || config.logging.debug_spool;
        mail_delete(std::move(m), !config.logging.debug_spool);
        if (!kept) runguard_forget_file(path.c_str());
    }
    (void)cleanup();
    return status;
}

}  // namespace kv
