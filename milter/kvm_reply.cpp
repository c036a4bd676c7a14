#include "kvm_reply.h"

#include "kv_options.h"

namespace kv::milter {

std::string reply_text(const std::string& text) {
    constexpr size_t kMax = 900;
    std::string out;
    for (char c : text) {
        if (out.size() >= kMax) break;
        if (c == '\r' || c == '\n') out.push_back(' ');
        else if (c == '%') out.append("%%");
        else out.push_back(c);
    }
    return out;
}

std::string scanned_header_value() { return std::string(kFilterName) + " " + kFilterVersion + " (kerval-milter)"; }

milter_answer answer_of(const verdict& v, disposition outcome, const actions_settings& actions,
                        const milter_settings& milter) {
    milter_answer a;
    auto refuse = [&](milter_action action, const char* rcode, const char* xcode, const char* fixed) {
        a.action = action;
        a.rcode = rcode;
        a.xcode = xcode;
        const bool custom = actions.use_custom_reply != 0 && v.reply != nullptr && *v.reply && !(*v.reply)->empty();
        a.text = reply_text(custom ? **v.reply : std::string(fixed));
    };
    switch (outcome) {
    case DISPOSE_DELIVER:
    case DISPOSE_CURED:
        a.add_header = milter.add_header != 0;
        break;
    case DISPOSE_CONSUMED:
        if (v.redirect) {
            a.add_header = milter.add_header != 0;
        } else if (v.quarantine && milter.quarantine_to_hold != 0) {
            a.hold = true;
        } else {
            a.action = milter_action::discard;
        }
        break;
    case DISPOSE_REJECT:
        refuse(milter_action::reject, "550", "5.7.1", kRejectText);
        break;
    case DISPOSE_DEFER:
        refuse(milter_action::tempfail, "451", "4.7.1", kTempfailText);
        break;
    }
    return a;
}

}  // namespace kv::milter
