#include "kv_selftest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kv_files.h"
#include "kv_mail.h"
#include "kv_mailsend.h"
#include "kv_util.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

// The test address, sender and only recipient of the test scan; never delivered.
constexpr const char* kTestAddress = "kerval-selftest@localhost.invalid";

// The EICAR test file is kept in two parts so that no single constant of the
// program is the test file itself.
constexpr const char* kEicarHead = "X5O!P%@";
constexpr const char* kEicarTail = "AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

const char* const kHeadLines[] = {
    "Subject: Standard antivirus test file",
    "Mime-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"test\"",
    "Content-Disposition: inline",
    "",
    "--test",
    "Content-Type: text/plain; charset=us-ascii",
    "Content-Disposition: inline",
    "",
    "Attachment to this message contains standard antivirus test file.",
    "--test",
    "Content-Type: application/x-msdos-program",
    "Content-Disposition: attachment; filename=\"eicar.com\"",
    "",
};

struct template_test {
    const notification_settings filter_config::*block;
    int notification_settings::*enabled;
    const conf_string notification_settings::*path;
    const char* message;
};

}  // namespace

std::string selftest_message_head() {
    std::string head;
    for (const char* line : kHeadLines) head += std::string(line) + "\r\n";
    return head + kEicarHead;
}

std::string selftest_message_tail() { return std::string(kEicarTail) + "\r\n--test--\r\n"; }

std::optional<std::string> check_scan(const spool_settings& spool, bool expand, const char* prefix, unsigned strip) {
    std::string path;
    unique_fd fd = open_tmpfile(spool, path);
    if (!fd.valid()) {
        int error = errno;
        log(Errors, "check_scan: cannot create spool file %s - (%d) %s", spool.directory ? spool.directory->c_str() : "null",
            error, stdlib_error(error));
        return std::nullopt;
    }
    auto fail = [&]() -> std::optional<std::string> {
        unlink(path.c_str());
        return std::nullopt;
    };
    std::string head = selftest_message_head();
    std::string tail = selftest_message_tail();
    if (!write_all(fd.get(), head.data(), head.size()) || !write_all(fd.get(), tail.data(), tail.size())) {
        int error = errno;
        log(Errors, "check_scan: cannot write to spool file - (%d) %s", error, stdlib_error(error));
        return fail();
    }
    if (close(fd.release()) != 0) {
        int error = errno;
        log(Errors, "check_scan: cannot close spool file - (%d) %s", error, stdlib_error(error));
        return fail();
    }
    std::optional<std::string> name = normalize_path(path.c_str(), expand, prefix, strip);
    if (!name) {
        log(Errors, "check_scan: cannot normalize path %s with expand=%d, prefix=%s, shift=%d", path.c_str(),
            expand ? 1 : 0, prefix != nullptr ? prefix : "null", static_cast<int>(strip));
        return fail();
    }
    strings rcpts;
    rcpts.add(kTestAddress);
    std::unique_ptr<scanresult> result;
    int code = scanmail(*name, expand ? 1 : 0, 0x81080000u, 0, result, 1024, kTestAddress, &rcpts);
    if (code != 0) {
        log(Errors, "check_scan: cannot scan spool file (%d)", code);
        return fail();
    }
    uint32_t status = scanresult_get_status(result.get());
    std::string text = result_to_text(status);
    log(Info, "check_scan: daemon return %#x code (%s)", status, text.c_str());
    if (status & KV_KNOWN_VIRUS) return path;
    log(Errors, "check_scan: daemon cannot detect standard test file (EICAR) - (0x%x) %s", status, text.c_str());
    return fail();
}

int check_spool(const spool_settings& spool, bool expand, const char* prefix, unsigned strip) {
    std::optional<std::string> path = check_scan(spool, expand, prefix, strip);
    if (!path) {
        log(Errors, "check_spool: cannot test spool file");
        return -1;
    }
    if (unlink(path->c_str()) != 0) {
        log(Errors, "check_spool: cannot unlink spool file");
        return -1;
    }
    return 0;
}

int check_move(const spool_settings& spool, const spool_settings& quarantine, bool expand, const char* prefix,
               unsigned strip) {
    std::optional<std::string> test = check_scan(spool, expand, prefix, strip);
    if (!test) {
        log(Errors, "check_move: cannot test spool-file");
        return -1;
    }
    int result = -1;
    std::string archive;
    unique_fd fd = open_tmpfile(quarantine, archive);
    if (!fd.valid()) {
        log(Errors, "check_move: cannot create archive file %s", archive.empty() ? "null" : archive.c_str());
    } else if (close(fd.release()) != 0) {
        int error = errno;
        log(Errors, "check_move: cannot close archive file %s - (%d) %s", archive.c_str(), error, stdlib_error(error));
    } else if (move_file(test->c_str(), archive.c_str(), static_cast<mode_t>(quarantine.files_mode)) != FILES_OK) {
        int error = errno;
        log(Errors, "check_move: cannot rename temporary file to archive file - (%d) %s.\n", error,
            stdlib_error(error));
    } else {
        result = 0;
    }
    unlink(test->c_str());
    if (!archive.empty()) unlink(archive.c_str());
    return result;
}

int check_file(const char* path) {
    if (path == nullptr) {
        log(Errors, "check_file: no files specify to check");
        return -1;
    }
    unique_fd fd(open(path, O_RDONLY));
    if (!fd.valid()) {
        int error = errno;
        log(Errors, "check_file: cannot open %s - (%d) %s", path, error, stdlib_error(error));
        return -1;
    }
    if (file_size(fd.get()) < 0) {
        log(Errors, "check_file: incorrect file %s size", path);
        return -1;
    }
    char head[10];
    errno = 0;
    if (!read_all(fd.get(), head, sizeof head)) {
        int error = errno;
        log(Info, "check_file: error reading %s - (%d) %s", path, error, stdlib_error(error));
        return -1;
    }
    return close(fd.release()) == 0 ? 0 : -1;
}

namespace {

bool check_quarantine_settings(const actions_settings& a) {
    const int keys[] = {a.infected,         a.incurable,        a.suspicious,      a.rule_filter_alert,
                        a.archive_restriction, a.processing_errors, a.scanning_errors, a.skip_object};
    for (int action : keys) {
        if (action == ACT_QUARANTINE && !a.quarantine.directory) {
            log(Errors, "check_conf: you want to use 'quarantine', but not specify quarantine directory");
            return false;
        }
    }
    return true;
}

bool check_templates(const filter_config& config) {
    using nc = notification_settings;
    using fc = filter_config;
    const template_test tests[] = {
        {&fc::virus, &nc::sender_notify, &nc::sender_template, "check_conf: test for sender template in virus case - failed"},
        {&fc::virus, &nc::admin_notify, &nc::admin_template, "check_conf: test for administrator template in virus case - failed"},
        {&fc::virus, &nc::rcpts_notify, &nc::rcpts_template, "check_conf: test for recipients template in virus case - failed"},
        {&fc::error, &nc::sender_notify, &nc::sender_template, "check_conf: test for sender template in error case - failed"},
        {&fc::error, &nc::admin_notify, &nc::admin_template, "check_conf: test for administrator template in error case - failed"},
        {&fc::error, &nc::rcpts_notify, &nc::rcpts_template, "check_conf: test for recipients template in error case - failed"},
        {&fc::skip, &nc::sender_notify, &nc::sender_template, "check_conf: test for sender template in skip object case - failed"},
        {&fc::skip, &nc::admin_notify, &nc::admin_template, "check_conf: test for administrator template in skip object case - failed"},
        {&fc::skip, &nc::rcpts_notify, &nc::rcpts_template, "check_conf: test for recipients template in skip object case - failed"},
        {&fc::archive_restriction, &nc::sender_notify, &nc::sender_template,
         "check_conf: test for sender template in archive restriction case - failed"},
        {&fc::archive_restriction, &nc::admin_notify, &nc::admin_template,
         "check_conf: test for administrator template in archive restriction case - failed"},
        {&fc::archive_restriction, &nc::rcpts_notify, &nc::rcpts_template,
         "check_conf: test for recipients template in archive restriction case - failed"},
    };
    for (const template_test& test : tests) {
        const notification_settings& block = config.*test.block;
        if (!(block.*test.enabled)) continue;
        const conf_string& path = block.*test.path;
        if (check_file(path ? path->c_str() : nullptr) != 0) {
            log(Errors, "%s", test.message);
            return false;
        }
    }
    return true;
}

bool check_submission(const filter_config& config) {
    log(Info, "check_conf: mail submit test - started");
    const actions_settings& actions = config.actions;
    std::unique_ptr<envelope> env = e_create(actions.filter_mail ? actions.filter_mail->c_str() : nullptr);
    if (!env) {
        log(Errors, "check_conf: mail submit test - failed (no memory)");
        return false;
    }
    if (!actions.admin_mail || !e_add_rcpt(*env, actions.admin_mail->c_str()) || e_rcpts_count(*env) != 1) {
        log(Errors, "check_conf: mail submit test - failed");
        return false;
    }
    const char* sender = e_get_from(*env);
    const std::string rcpt = e_get_rcpts(*env)->items()[0];
    strings text(static_cast<uint32_t>(config.scanning.report_max_size));
    const char* pieces[] = {
        "From: \"Kerval-DAEMON\" <",
        sender,
        ">\r\nTo: \"Administrator\" <",
        rcpt.c_str(),
        ">\r\nSubject: Test Kerval Mail Filter\r\n",
        "\r\nDear Administrator,\r\n\r\nThis is a test message was created by Kerval mail filter.\r\n\r\n",
        "See the administrator's guide of kerval-postfix for what each check does.\r\n",
    };
    for (const char* piece : pieces) {
        if (!text.add(piece)) {
            log(Errors, "check_conf: cannot add string <%s> to test report", piece);
            log(Errors, "check_conf: mail submit test - failed");
            return false;
        }
    }
    std::optional<std::string> mail_text = text.to_linear(0);
    if (!mail_text) {
        log(Errors, "check_conf: mail submit test - failed (no memory)");
        return false;
    }
    if (!mailsend(*env, nullptr, 0, mail_text->data(), mail_text->size(), config.mailer)) {
        log(Errors, "check_conf: mail submit test - failed");
        return false;
    }
    log(Info, "check_conf: mail submit test - passed");
    return true;
}

bool run_checks(const filter_config& config) {
    if (!check_daemon_version()) return false;
    const actions_settings& actions = config.actions;
    const scanning_settings& scanning = config.scanning;
    if (!check_quarantine_settings(actions)) return false;
    if (actions.infected == ACT_CURE && !scanning.local_scan) {
        log(Errors, "check_conf: you cannot use 'cure' in non-local mode");
        return false;
    }
    bool expand = scanning.local_scan != 0;
    const char* prefix = scanning.prefix_path ? scanning.prefix_path->c_str() : nullptr;
    unsigned strip = static_cast<unsigned>(scanning.strip_path);
    if (!actions.quarantine.directory) {
        log(Info, "check_conf: spool test - started");
        if (check_spool(scanning.spool, expand, prefix, strip) != 0) {
            log(Errors, "check_conf: spool test - failed");
            return false;
        }
        log(Info, "check_conf: spool test - passed");
    } else {
        log(Info, "check_conf: quarantine test - started");
        if (check_move(scanning.spool, actions.quarantine, expand, prefix, strip) != 0) {
            log(Errors, "check_conf: quarantine test - failed");
            return false;
        }
        log(Info, "check_conf: quarantine test - passed");
    }
    return check_templates(config) && check_submission(config);
}

}  // namespace

int check_conf(const filter_config& config, int library_ready) {
    if (!library_ready && !init_lib(config.daemon)) return 0;
    bool passed = run_checks(config);
    // The library is cleaned up by whoever started it, whatever the outcome.
    if (!library_ready) (void)cleanup();
    return passed ? 1 : 0;
}

}  // namespace kv
