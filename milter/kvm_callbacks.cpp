#include "kvm_callbacks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kv_carryout.h"
#include "kv_mail.h"
#include "kv_mailscan.h"
#include "kv_notify.h"
#include "kv_verdict.h"
#include "kvc_log.h"
#include "kvm_delivery.h"
#include "kvm_lines.h"
#include "kvm_reply.h"
#include "kvm_spool.h"

namespace kv::milter {
namespace {

// Only one service per process: the callbacks have no other way to it.
service* g_service = nullptr;

struct message_state {
    std::shared_ptr<const runtime_config> config;
    std::string sender;               // as MAIL FROM gave it, "<...>"
    std::vector<std::string> rcpts;   // as RCPT TO gave them
    std::unique_ptr<spool_file> spool;
    bool counted = false;
};

struct session {
    std::string client_name;
    std::string client_address;
    std::string queue_id;
    std::unique_ptr<message_state> message;

    // The message's end, however it ends: its spool file is removed.
    void end_message() {
        if (message && message->counted) g_service->end_message();
        message.reset();
        queue_id.clear();
    }
};

session* session_of(SMFICTX* ctx) { return static_cast<session*>(smfi_getpriv(ctx)); }

// The queue ID, once the mail system has sent it, is the context of every line
// this thread logs for the message.
session* enter(SMFICTX* ctx) {
    session* s = session_of(ctx);
    if (s != nullptr) {
        const char* id = smfi_getsymval(ctx, const_cast<char*>("i"));
        if (id != nullptr && *id != '\0') s->queue_id = id;
        log_set_context(s->queue_id);
    } else {
        log_set_context("");
    }
    return s;
}

std::string address_text(const sockaddr* address) {
    if (address == nullptr) return "unknown";
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    } else {
        return "local";
    }
    return text;
}

sfsistat tempfail(SMFICTX* ctx, const char* text) {
    smfi_setreply(ctx, const_cast<char*>("451"), const_cast<char*>("4.7.1"), const_cast<char*>(text));
    return SMFIS_TEMPFAIL;
}

// The spool file, made when the message's text begins.
spool_file* spool_of(session& s) {
    if (!s.message) return nullptr;
    if (!s.message->spool) s.message->spool = std::make_unique<spool_file>(s.message->config->filter.scanning.spool);
    return s.message->spool.get();
}

sfsistat on_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* address) {
    log_set_context("");
    auto s = std::make_unique<session>();
    s->client_name = hostname != nullptr ? hostname : "unknown";
    s->client_address = address_text(address);
    log(Verbose, "milter: connection from %s [%s]", s->client_name.c_str(), s->client_address.c_str());
    if (smfi_setpriv(ctx, s.get()) != MI_SUCCESS) {
        log(Errors, "milter: cannot keep the session's state");
        return tempfail(ctx, kTempfailText);
    }
    s.release();
    return SMFIS_CONTINUE;
}

sfsistat on_envfrom(SMFICTX* ctx, char** argv) {
    session* s = enter(ctx);
    if (s == nullptr) return tempfail(ctx, kTempfailText);
    s->end_message();
    (void)enter(ctx);
    auto message = std::make_unique<message_state>();
    message->config = g_service->config();
    message->sender = argv != nullptr && argv[0] != nullptr ? argv[0] : "<>";
    if (!g_service->begin_message()) {
        log(Info, "milter: stopping - the message from %s is to be tried again later", message->sender.c_str());
        return tempfail(ctx, "The virus filter is restarting, try again later");
    }
    message->counted = true;
    s->message = std::move(message);
    log(Verbose, "milter: from = %s (client %s [%s])", s->message->sender.c_str(), s->client_name.c_str(),
        s->client_address.c_str());
    return SMFIS_CONTINUE;
}

sfsistat on_envrcpt(SMFICTX* ctx, char** argv) {
    session* s = enter(ctx);
    if (s == nullptr || !s->message) return tempfail(ctx, kTempfailText);
    if (argv != nullptr && argv[0] != nullptr) {
        s->message->rcpts.emplace_back(argv[0]);
        log(Verbose, "milter: to = %s", argv[0]);
    }
    return SMFIS_CONTINUE;
}

sfsistat on_header(SMFICTX* ctx, char* name, char* value) {
    session* s = enter(ctx);
    if (s == nullptr || !s->message) return tempfail(ctx, kTempfailText);
    spool_of(*s)->add_header(name != nullptr ? name : "", value != nullptr ? value : "");
    return SMFIS_CONTINUE;
}

sfsistat on_eoh(SMFICTX* ctx) {
    session* s = enter(ctx);
    if (s == nullptr || !s->message) return tempfail(ctx, kTempfailText);
    spool_of(*s)->end_headers();
    return SMFIS_CONTINUE;
}

sfsistat on_body(SMFICTX* ctx, unsigned char* chunk, size_t length) {
    session* s = enter(ctx);
    if (s == nullptr || !s->message) return tempfail(ctx, kTempfailText);
    spool_of(*s)->add_body(std::string_view(reinterpret_cast<const char*>(chunk), length));
    return SMFIS_CONTINUE;
}

// The body of the file from offset on, in CRLF form, as the message's new body.
bool replace_body(SMFICTX* ctx, int fd, long offset) {
    std::vector<char> buffer(64 * 1024);
    std::string out;
    line_state state;
    off_t at = offset;
    for (;;) {
        const ssize_t got = pread(fd, buffer.data(), buffer.size(), at);
        if (got < 0) {
            log(Errors, "milter: cannot read the new body");
            return false;
        }
        if (got == 0) break;
        at += got;
        out.clear();
        to_crlf(std::string_view(buffer.data(), static_cast<size_t>(got)), state, out);
        if (smfi_replacebody(ctx, reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(out.size())) !=
            MI_SUCCESS) {
            log(Errors, "milter: the mail system did not take the new body");
            return false;
        }
    }
    // An empty new body still replaces the old one.
    if (at == offset && smfi_replacebody(ctx, reinterpret_cast<unsigned char*>(out.data()), 0) != MI_SUCCESS) {
        log(Errors, "milter: the mail system did not take the new body");
        return false;
    }
    return true;
}

// The changes an accepted message needs; false when one failed.
bool apply_changes(SMFICTX* ctx, const message_state& message, const milter_delivery& front, const milter_answer& a) {
    if (front.replaces_body() && !replace_body(ctx, front.body_fd(), front.body_offset())) return false;
    if (front.new_recipient()) {
        for (const std::string& rcpt : message.rcpts) {
            if (smfi_delrcpt(ctx, const_cast<char*>(rcpt.c_str())) != MI_SUCCESS) {
                log(Errors, "milter: cannot remove the recipient %s", rcpt.c_str());
                return false;
            }
        }
        if (smfi_addrcpt(ctx, const_cast<char*>(front.new_recipient()->c_str())) != MI_SUCCESS) {
            log(Errors, "milter: cannot add the recipient %s", front.new_recipient()->c_str());
            return false;
        }
    }
    if (a.add_header) {
        const std::string value = scanned_header_value();
        if (smfi_addheader(ctx, const_cast<char*>("X-Virus-Scanned"), const_cast<char*>(value.c_str())) !=
            MI_SUCCESS) {
            log(Errors, "milter: cannot add the X-Virus-Scanned header");
            return false;
        }
    }
    if (a.hold && smfi_quarantine(ctx, const_cast<char*>("kerval-milter: quarantined")) != MI_SUCCESS) {
        log(Errors, "milter: cannot put the message on hold");
        return false;
    }
    return true;
}

// The milter's notifications come back through it (non_smtpd_milters). One
// that is stopped in turn (it quotes an infected Subject line, say) gets no
// notifications of its own, so that no chain of notices about notices begins.
void drop_notices_about_own_mail(verdict& v, const mail& m, const actions_settings& actions) {
    if (v.notices.empty() || !actions.filter_mail) return;
    const std::optional<std::string> own = normalize_address(actions.filter_mail->c_str());
    const char* from = e_get_from(m.env);
    if (!own || from == nullptr || *own != from) return;
    message_label label(m);
    log(Alerts, "milter: the message(%s) sent by %s to %s comes from the filter's own address - no notices about it",
        label.file(), label.sender(), label.rcpt());
    v.notices.clear();
}

// The facts about the stored message, as the pipe filter gathers them.
void gather_facts(message_state& message, const std::string& queue_id, std::unique_ptr<mail>& m,
                  const scan_settings& settings, scan_facts& facts) {
    if (!message.spool || !message.spool->finish()) {
        facts.fault = FAULT_SPOOL;
        return;
    }
    m = mail_create(message.spool->path().c_str());
    if (!m) {
        log(Errors, "milter: cannot create mail info - no memory");
        facts.fault = FAULT_RECORD;
        return;
    }
    message.spool->release();  // the record removes the file from now on
    m->queue_id = queue_id;
    facts.message = m.get();
    facts.stored = true;
    bool envelope_ok = !message.rcpts.empty() && e_set_from(m->env, message.sender.c_str());
    for (const std::string& rcpt : message.rcpts)
        if (envelope_ok && !e_add_rcpt(m->env, rcpt.c_str())) envelope_ok = false;
    if (!envelope_ok || e_rcpts_count(m->env) == 0) {
        log(Errors, "milter: cannot get envelope info");
        facts.fault = FAULT_ENVELOPE;
        return;
    }
    if (!mail_parse_headers(*m)) {
        log(Errors, "milter: cannot get mail-headers info");
        facts.fault = FAULT_HEADERS;
        return;
    }
    mail_print(*m, message.config->filter.logging.level);
    mailscan::gather(*m, settings, g_service->library_ready(), facts);
}

sfsistat on_eom(SMFICTX* ctx) {
    session* s = enter(ctx);
    if (s == nullptr || !s->message) return tempfail(ctx, kTempfailText);
    message_state& message = *s->message;
    if (!message.spool) (void)spool_of(*s);
    const runtime_config& config = *message.config;
    const scan_settings settings = scan_settings::of(config.filter);

    std::unique_ptr<mail> m;
    scan_facts facts;
    gather_facts(message, s->queue_id, m, settings, facts);
    verdict v = decide(facts, settings);
    if (m) drop_notices_about_own_mail(v, *m, config.filter.actions);
    milter_delivery front(config.filter.actions);
    disposition outcome = v.dispose;
    if (m) {
        outcome = carry_out(v, *m, settings, front);
    } else {
        for (const log_line& line : v.lines) log(line.level, "%s", line.text.c_str());
    }
    milter_answer answer = answer_of(v, outcome, config.filter.actions, config.milter);
    if ((answer.action == milter_action::accept) && !apply_changes(ctx, message, front, answer)) {
        log(Errors, "milter: the message cannot be changed as the verdict asks - it is to be tried again later");
        outcome = DISPOSE_DEFER;
        answer = answer_of(v, outcome, config.filter.actions, config.milter);
    }
    log_result(v, outcome, m.get());
    if (m) mail_delete(std::move(m), config.filter.logging.debug_spool == 0);

    sfsistat status = SMFIS_ACCEPT;
    switch (answer.action) {
    case milter_action::accept: status = SMFIS_ACCEPT; break;
    case milter_action::discard: status = SMFIS_DISCARD; break;
    case milter_action::reject:
    case milter_action::tempfail:
        smfi_setreply(ctx, const_cast<char*>(answer.rcode.c_str()), const_cast<char*>(answer.xcode.c_str()),
                      const_cast<char*>(answer.text.c_str()));
        status = answer.action == milter_action::reject ? SMFIS_REJECT : SMFIS_TEMPFAIL;
        break;
    }
    s->end_message();
    log_set_context("");
    return status;
}

sfsistat on_abort(SMFICTX* ctx) {
    session* s = enter(ctx);
    if (s != nullptr) {
        if (s->message) log(Verbose, "milter: the message was aborted");
        s->end_message();
    }
    log_set_context("");
    return SMFIS_CONTINUE;
}

sfsistat on_close(SMFICTX* ctx) {
    session* s = enter(ctx);
    if (s != nullptr) {
        s->end_message();
        smfi_setpriv(ctx, nullptr);
        delete s;
    }
    log_set_context("");
    return SMFIS_CONTINUE;
}

}  // namespace

smfiDesc description(service& svc) {
    g_service = &svc;
    smfiDesc desc{};
    desc.xxfi_name = const_cast<char*>(kMilterName);
    desc.xxfi_version = SMFI_VERSION;
    desc.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_QUARANTINE;
    desc.xxfi_connect = on_connect;
    desc.xxfi_envfrom = on_envfrom;
    desc.xxfi_envrcpt = on_envrcpt;
    desc.xxfi_header = on_header;
    desc.xxfi_eoh = on_eoh;
    desc.xxfi_body = on_body;
    desc.xxfi_eom = on_eom;
    desc.xxfi_abort = on_abort;
    desc.xxfi_close = on_close;
    return desc;
}

}  // namespace kv::milter
