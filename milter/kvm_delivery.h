// kvm_delivery: the milter's way of sending a message on (kv_carryout's
// delivery). Nothing is re-submitted: the message stays in the SMTP session,
// and what carry_out asks for is noted as changes to make to it there:
//   deliver        -> as it is, or with the body the daemon cleaned in the
//                     spool file (local mode)
//   deliver_cured  -> the body replaced by the daemon's cured copy
//   redirect       -> the recipients replaced by RedirectMail
// A file whose body replaces the message's is kept open here (it may be
// removed from its directory before the changes are made).
#pragma once

#include <string>

#include "kv_carryout.h"
#include "kv_handles.h"

namespace kv::milter {

class milter_delivery : public delivery {
public:
    explicit milter_delivery(const actions_settings& actions) : actions_(actions) {}
    bool deliver(const mail& m) override;
    bool deliver_cured(const mail& m, const std::string& path) override;
    bool redirect(const mail& m) override;

    // The changes asked for.
    bool replaces_body() const { return body_.valid(); }
    int body_fd() const { return body_.get(); }
    long body_offset() const { return body_offset_; }  // where the new body starts in the file
    const conf_string& new_recipient() const { return redirect_to_; }

private:
    bool keep_body(const char* path);

    const actions_settings& actions_;
    unique_fd body_;
    long body_offset_ = 0;
    conf_string redirect_to_;
};

}  // namespace kv::milter
