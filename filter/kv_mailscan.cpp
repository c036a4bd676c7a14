#include "kv_mailscan.h"

#include <string>

#include "kv_files.h"
#include "kv_notify.h"
#include "kvc_lib.h"
#include "kvc_log.h"

namespace kv::mailscan {
namespace {

constexpr uint32_t kChangedByDaemon = KV_CURED | KV_DELETED | KV_CLEAN_COMPOSITE;

}  // namespace

void gather(mail& m, const scan_settings& s, bool library_ready, scan_facts& facts) {
    facts.message = &m;
    if (precheck(m, s)) return;
    if (!library_ready) {
        facts.fault = FAULT_LIBRARY;
        return;
    }
    message_label label(m);
    facts.options = scan_options(s.scanning, s.actions);
    const uint32_t options2 = scan_options2(s.actions);
    // The name under which the daemon opens the file; the filter itself always
    // reads the real spool path.
    std::optional<std::string> name =
        normalize_path(mail_get_path(m), s.scanning.local_scan != 0,
                       s.scanning.prefix_path ? s.scanning.prefix_path->c_str() : nullptr,
                       static_cast<unsigned>(s.scanning.strip_path));
    if (!name) {
        log(Errors, "scan: path converting of filename(%s) failed", mail_get_path(m));
        facts.fault = FAULT_PATH;
        return;
    }
    const char* from = e_get_from(m.env);
    std::unique_ptr<scanresult> result;
    int code = scanmail(*name, s.scanning.local_scan, facts.options, options2, result,
                        static_cast<uint32_t>(s.scanning.report_max_size), from != nullptr ? from : "",
                        e_get_rcpts(m.env), mail_get_path(m), &facts.route);
    if (code != 0) {
        log(Errors, "scan: scanning the message(%s) sent by %s to %s failed (error: %d)", label.file(),
            label.sender(), label.rcpt(), code);
        // The filter's own result tells the notifications what went wrong.
        result = scanresult_new();
        scanresult_set_status(result.get(), KV_FILTER_FAILURE);
        scanresult_set_report(result.get(), code == KV_ERR_NO_DAEMON ? "The filter cannot connect to the Kerval daemon\n"
                                                                    : "The filter fails to pass object to the Kerval daemon\n");
        mail_set_result(m, std::move(result));
        facts.fault = FAULT_SCAN;
        facts.scan_code = code;
        return;
    }
    const uint32_t status = scanresult_get_status(result.get());
    mail_set_result(m, std::move(result));
    facts.answered = true;
    log(Verbose, "scan: daemon return %#x for the message(%s) sent by %s to %s", status, label.file(), label.sender(),
        label.rcpt());
    if (status & kChangedByDaemon) {
        log(Verbose, "scan: daemon possibly has changed the message(%s) sent by %s to %s - need re-read message headers",
            label.file(), label.sender(), label.rcpt());
        if (!mail_parse_headers(m)) {
            log(Errors, "cannot re-read headers for the message(%s) sent by %s to %s", label.file(), label.sender(),
                label.rcpt());
            facts.fault = FAULT_REREAD;
        }
    }
}

}  // namespace kv::mailscan
