#include "kv_carryout.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "kv_files.h"
#include "kv_mailsend.h"
#include "kv_notify.h"
#include "kv_qrecord.h"
#include "kv_runguard.h"
#include "kv_util.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

// The daemon's cured copy written out in full to a new spool file; its path, or
// nullopt after logging.
std::optional<std::string> store_cured(const mail& m, const spool_settings& spool) {
    const scanresult* result = mail_get_result(m);
    std::string path;
    unique_fd fd = open_tmpfile(spool, path);
    if (!fd.valid()) return std::nullopt;
    runguard_add_file(path.c_str());
    if (!write_all(fd.get(), scanresult_get_cured_file(result), scanresult_get_cured_length(result)) ||
        fd.close() != 0) {
        log(Errors, "scan: cannot store the cured copy in %s - %s", path.c_str(), stdlib_error(errno));
        unlink(path.c_str());
        runguard_forget_file(path.c_str());
        return std::nullopt;
    }
    return path;
}

// The cured copy on its way; false when it is not.
bool send_cured(const mail& m, const scan_settings& s, delivery& front) {
    message_label label(m);
    std::optional<std::string> path = store_cured(m, s.scanning.spool);
    bool sent = path && front.deliver_cured(m, *path);
    if (path) {
        unlink(path->c_str());
        runguard_forget_file(path->c_str());
    }
    if (!sent) {
        log(Errors, "scan: the message(%s) sent by %s to %s cannot reinject cured message to mailer", label.file(),
            label.sender(), label.rcpt());
    }
    return sent;
}

disposition defer(const message_label& label, const char* what) {
    log(Errors, "kerval-pipe: the message(%s) sent by %s to %s is kept for retry: %s", label.file(), label.sender(),
        label.rcpt(), what);
    return DISPOSE_DEFER;
}

}  // namespace

bool keep_quarantine_record(const verdict& v, const mail& m, const std::string& archive) {
    quarantine_record record;
    record.sender = e_get_from(m.env) != nullptr ? e_get_from(m.env) : "";
    if (strings* rcpts = e_get_rcpts(m.env)) record.recipients = rcpts->items();
    record.queue_id = m.queue_id;
    record.time = static_cast<long long>(time(nullptr));
    record.verdict = v.category.empty() ? "unspecified" : v.category;
    if (const scanresult* result = mail_get_result(m)) {
        for (const std::unique_ptr<strings>& names : result->categories) {
            if (!names) continue;
            for (const std::string& name : names->items()) {
                bool seen = false;
                for (const std::string& known : record.viruses) seen = seen || known == name;
                if (!seen) record.viruses.push_back(name);
            }
        }
    }
    if (write_quarantine_record(archive, record) == QRECORD_OK) return true;
    const char* spool_path = mail_get_path(m);
    if (spool_path != nullptr && rename(archive.c_str(), spool_path) == 0) {
        (void)runguard_add_file(spool_path);
    } else if (unlink(archive.c_str()) != 0) {
        log(Errors, "quarantine: cannot remove %s without its envelope record - %s", archive.c_str(),
            stdlib_error(errno));
    }
    return false;
}

bool resubmission::deliver(const mail& m) {
    if (e_get_from(m.env) == nullptr || e_rcpts_count(m.env) == 0) {
        log(Alerts, "kerval-pipe: cannot reinject message to mail system (message or envelope was not retrieved)");
        return false;
    }
    if (!mailsend(m.env, mail_get_path(m), 0, nullptr, 0, mailer_)) {
        log(Alerts, "kerval-pipe: cannot reinject message to mail system");
        return false;
    }
    return true;
}

bool resubmission::deliver_cured(const mail& m, const std::string& path) {
    return mailsend(m.env, path.c_str(), 0, nullptr, 0, mailer_) != 0;
}

bool resubmission::redirect(const mail& m) { return kv::redirect(m, actions_, mailer_); }

bool notice_due(const spool_settings& spool, const std::string& problem, int interval) {
    if (interval <= 0 || !spool.directory) return true;
    const std::string stamp = *spool.directory + "/.kerval-notice-" + problem;
    unique_fd fd(open(stamp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid()) return true;
    // Runs that see the same problem at the same time agree through the lock.
    if (flock(fd.get(), LOCK_EX) != 0) return true;
    struct stat info;
    const time_t now = time(nullptr);
    const bool fresh = fstat(fd.get(), &info) == 0 && info.st_size > 0;
    if (fresh && now >= info.st_mtime && now - info.st_mtime < interval) {
        log(Info, "notify: notices about problem %s were sent less than %d s ago - not sent again", problem.c_str(),
            interval);
        return false;
    }
    // The stamp's time is its modification time; one byte marks it as set.
    if (pwrite(fd.get(), "1", 1, 0) != 1 || futimens(fd.get(), nullptr) != 0)
        log(Errors, "notify: cannot stamp %s - %s", stamp.c_str(), stdlib_error(errno));
    return true;
}

disposition carry_out(const verdict& v, mail& m, const scan_settings& s, delivery& front) {
    for (const log_line& line : v.lines) log(line.level, "%s", line.text.c_str());
    if (v.reply != nullptr && *v.reply) (void)mail_set_property(m, MAIL_PROP_REPLY_STRING, (*v.reply)->c_str());
    message_label label(m);
    disposition outcome = v.dispose;

    std::optional<std::string> archive;
    if (v.quarantine) {
        if (s.actions.quarantine.directory)
            archive = quarantine_store(s.actions.quarantine, mail_get_path(m), s.actions.move_file);
        if (!archive) {
            log(Errors, "scan: the message(%s) sent by %s to %s was not quarantined", label.file(), label.sender(),
                label.rcpt());
            return defer(label, "the quarantine failed");
        }
        if (!keep_quarantine_record(v, m, *archive)) {
            log(Errors, "scan: the message(%s) sent by %s to %s was not quarantined", label.file(), label.sender(),
                label.rcpt());
            return defer(label, "the quarantine's envelope record was not written");
        }
        log(Alerts, "scan: the message(%s) sent by %s to %s has been stored in archive %s", label.file(),
            label.sender(), label.rcpt(), archive->c_str());
        if (mail_get_result(m) != nullptr) scanresult_set_quarantine_name(mail_get_result(m), archive->c_str());
        mail_keep_file(m);
    }

    if (v.redirect && !front.redirect(m)) return defer(label, "the redirection failed");
    if (outcome == DISPOSE_CURED && !send_cured(m, s, front)) return defer(label, "the cured copy was not submitted");
    if (outcome == DISPOSE_DELIVER && !front.deliver(m)) return defer(label, "the message was not submitted");

    bool limited_due = true;
    bool limited_asked = false;
    for (const notice& n : v.notices) {
        if (n.limited && !limited_asked) {
            limited_asked = true;
            limited_due = notice_due(s.scanning.spool, v.problem.empty() ? "error" : v.problem,
                                     s.actions.error_notify_interval);
        }
        if (n.limited && !limited_due) continue;
        (void)send_notice(m, n, archive ? archive->c_str() : nullptr, s.actions, s.mailer);
    }

    if (v.agent_stats && !drop_stat(s.agent, mail_get_result(m)))
        log(Alerts, "scan: drop scan results to %s failed", "agent");
    return outcome;
}

void log_result(const verdict& v, disposition outcome, const mail* m) {
    const char* what = "deferred";
    switch (outcome) {
    case DISPOSE_DELIVER: what = "delivered"; break;
    case DISPOSE_CURED: what = "delivered as cured"; break;
    case DISPOSE_REJECT: what = "rejected"; break;
    case DISPOSE_DEFER: break;
    case DISPOSE_CONSUMED:
        what = v.quarantine ? "quarantined" : v.redirect ? "redirected" : "discarded";
        break;
    }
    if (m == nullptr) {
        log(Alerts, "result: the message was not stored: %s", what);
        return;
    }
    message_label label(*m);
    const char* raw = mail_get_property(*m, MAIL_PROP_MESSAGE_ID);
    std::string id = raw != nullptr ? raw : "";
    const size_t first = id.find_first_not_of(" \t\r\n");
    id = first == std::string::npos ? "[unknown-id]" : id.substr(first, id.find_last_not_of(" \t\r\n") - first + 1);
    log(Alerts, "result: the message(%s) sent by %s to %s message-id=%s: %s", label.file(), label.sender(),
        label.rcpt(), id.c_str(), what);
}

}  // namespace kv
