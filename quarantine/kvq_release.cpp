#include "kvq_release.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kv_files.h"
#include "kv_handles.h"
#include "kv_mail.h"
#include "kv_mailsend.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

// The header line ends as the message's own first line does.
std::string released_line(int input, const std::string& id) {
    char head[kFilesChunk];
    ssize_t n;
    do n = pread(input, head, sizeof head, 0);
    while (n < 0 && errno == EINTR);
    bool crlf = false;
    for (ssize_t i = 0; i < n; ++i) {
        if (head[i] == '\n') {
            crlf = i > 0 && head[i - 1] == '\r';
            break;
        }
    }
    return std::string(kReleasedHeader) + ": " + id + (crlf ? "\r\n" : "\n");
}

// The copy to submit in a new spool file; its path, or "" after logging.
std::string make_copy(const qentry& entry, const spool_settings& spool) {
    unique_fd input(open(entry.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!input.valid()) {
        log(Errors, "release: cannot open %s - %s", entry.path.c_str(), stdlib_error(errno));
        return "";
    }
    std::string path;
    unique_fd output = open_tmpfile(spool, path);
    if (!output.valid()) {
        log(Errors, "release: cannot create a copy in the spool directory %s",
            spool.directory ? spool.directory->c_str() : "(none)");
        return "";
    }
    const std::string line = released_line(input.get(), entry.id);
    if (!write_all(output.get(), line.data(), line.size()) || !copy_fd(input.get(), output.get()) ||
        output.close() != 0) {
        log(Errors, "release: cannot write the copy %s - %s", path.c_str(), stdlib_error(errno));
        unlink(path.c_str());
        return "";
    }
    return path;
}

}  // namespace

int release_message(const qentry& entry, const std::vector<std::string>& recipients, const filter_config& config) {
    std::unique_ptr<envelope> env =
        e_create(config.actions.filter_mail ? config.actions.filter_mail->c_str() : nullptr);
    bool envelope_ok = env != nullptr;
    for (const std::string& rcpt : recipients) envelope_ok = envelope_ok && e_add_rcpt(*env, rcpt.c_str());
    if (!envelope_ok || e_rcpts_count(*env) == 0) {
        log(Errors, "release: cannot make the envelope of %s", entry.id.c_str());
        return RELEASE_COPY_FAILED;
    }
    const std::string copy = make_copy(entry, config.scanning.spool);
    if (copy.empty()) return RELEASE_COPY_FAILED;
    const int sent = mailsend(*env, copy.c_str(), 0, nullptr, 0, config.mailer);
    unlink(copy.c_str());
    if (sent != MAILSEND_OK) return RELEASE_SUBMIT_FAILED;
    return store_remove(entry) == STORE_OK ? RELEASE_OK : RELEASE_REMOVE_FAILED;
}

}  // namespace kv
