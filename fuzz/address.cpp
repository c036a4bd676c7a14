// Addresses: the one normaliser, the envelope built from it, the configured
// addresses of [Actions], and the daemon address list.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "kv_mail.h"
#include "kv_mailutil.h"
#include "kv_options.h"
#include "kvc_addrlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), true);
    (void)ready;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* address = text.c_str();  // up to the first NUL, as from argv

    (void)kv::normalize_address(address);
    std::unique_ptr<kv::mail> m = kv::mail_create("/nonexistent/spool/file");
    (void)kv::e_set_from(m->env, address);
    (void)kv::e_add_rcpt(m->env, address);
    (void)kv::e_add_rcpt(m->env, "<postmaster@example.org>");
    (void)kv::is_special(*m, address, address, "fuzz");
    (void)kv::is_special(*m, "<filter@example.org>", address, "fuzz");
    kv::e_print(m->env, 9);

    kv::conf_string configured;
    (void)kv::parse_address(&configured, address);

    // Daemon address specifications, as [DaemonCommunication] Address gives them;
    // host names are not looked up.
    std::unique_ptr<kv::addrlist> list = kv::addrlist::create();
    if (list) (void)list->add(text.substr(0, text.find('\0')), 1, 0);
    return 0;
}
