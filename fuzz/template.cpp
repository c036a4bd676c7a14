// Notification templates: the input is the template, expanded for a message
// that has every property, a daemon answer with every part, and a quarantine
// copy.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "kv_mail.h"
#include "kv_report.h"
#include "kv_settings.h"
#include "kvc_result.h"

namespace {

struct message {
    std::unique_ptr<kv::mail> m;
    kv::actions_settings actions;
    std::string archive;
};

message make_message() {
    message out;
    const std::string spool = kvfuzz::write_scratch(
        "spool", "Subject: =?utf-8?B?SGVsbG8=?=\nMessage-ID: <1@example.org>\nX-Original-To: <r@example.org>\n\nbody\n");
    out.archive = kvfuzz::write_scratch("kerval.quarantine.x", "Subject: x\n\nbody\n");
    out.m = kv::mail_create(spool.c_str());
    (void)kv::e_set_from(out.m->env, "<s@example.org>");
    (void)kv::e_add_rcpt(out.m->env, "<r@example.org>");
    (void)kv::e_add_rcpt(out.m->env, "<t@example.org>");
    (void)kv::mail_parse_headers(*out.m);
    auto result = kv::scanresult_new();
    result->status = kv::KV_KNOWN_VIRUS | kv::KV_CURED;
    result->rule = "Rule 1";
    result->report = "/var/spool/f.1 infected: EICAR-Test-File\n";
    result->categories[kv::CAT_KNOWN] = kv::strings::create();
    result->categories[kv::CAT_KNOWN]->add("EICAR-Test-File");
    result->categories[kv::CAT_ADWARE] = kv::strings::create();
    result->categories[kv::CAT_ADWARE]->add("Ad.Thing");
    result->stat[kv::STAT_SCANNED] = 1;
    result->stat[kv::STAT_KNOWN_VIRUSES] = 1;
    (void)kv::mail_set_result(*out.m, std::move(result));
    out.actions.admin_mail = "<postmaster@example.org>";
    out.actions.filter_mail = "<filter@example.org>";
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), true);
    (void)ready;
    static message msg = make_message();
    const std::string path = kvfuzz::write_scratch("t.tmpl", data, size);
    (void)kv::create_report(*msg.m, path.c_str(), (size & 1) ? msg.archive.c_str() : nullptr, msg.actions);
    return 0;
}
