#include "kvm_delivery.h"

#include <fcntl.h>

#include <cerrno>

#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_result.h"

namespace kv::milter {

bool milter_delivery::keep_body(const char* path) {
    std::unique_ptr<mail> copy = mail_create(path);
    if (!copy || !mail_parse_headers(*copy)) {
        log(Errors, "milter: cannot read the headers of %s", path);
        if (copy) mail_delete(std::move(copy), false);
        return false;
    }
    body_offset_ = static_cast<long>(copy->headers_offset) + copy->headers_length;
    mail_delete(std::move(copy), false);
    body_ = unique_fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!body_.valid()) {
        log(Errors, "milter: cannot open %s - %s", path, stdlib_error(errno));
        return false;
    }
    return true;
}

bool milter_delivery::deliver(const mail& m) {
    // A daemon that scanned the spool file itself may have cleaned it there.
    const scanresult* result = mail_get_result(m);
    constexpr uint32_t kChanged = KV_CURED | KV_DELETED | KV_CLEAN_COMPOSITE;
    if (result == nullptr || (scanresult_get_status(result) & kChanged) == 0 ||
        (scanresult_get_status(result) & KV_FILTER_FAILURE) == KV_FILTER_FAILURE)
        return true;
    return keep_body(mail_get_path(m));
}

bool milter_delivery::deliver_cured(const mail&, const std::string& path) { return keep_body(path.c_str()); }

bool milter_delivery::redirect(const mail&) {
    if (!actions_.redirect_mail) return false;
    redirect_to_ = actions_.redirect_mail;
    return true;
}

}  // namespace kv::milter
