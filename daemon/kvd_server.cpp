#include "kvd_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "kvc_fd.h"
#include "kvc_ipc.h"
#include "kvc_lib.h"
#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_proto.h"
#include "kvd_scan.h"

namespace kvd {
namespace {

namespace ipc = kv::ipc;
namespace proto = kv::proto;

constexpr uint32_t TEXT_MAX = 4096;          // names and addresses
constexpr uint32_t CONTENT_MAX = 256u << 20;  // content of one scan request
constexpr uint32_t LIST_MAX = 100000;        // recipients, list entries, stat pairs
constexpr int BACKLOG = 16;

volatile sig_atomic_t stop_requested = 0;
void on_stop_signal(int) { stop_requested = 1; }

struct listener {
    std::string spec;
    std::unique_ptr<ipc::channel> ch;
};

// Reads an int length and that many bytes, refusing lengths above max before
// reading them.
bool read_bounded(ipc::channel& ch, uint32_t max, std::string& out, const char* what) {
    uint32_t length = 0;
    if (!proto::read_int(ch, length)) return false;
    if (length > max) {
        kv::log(kv::Errors, "kervald: %s of %u bytes refused (at most %u)", what, length, max);
        return false;
    }
    out.assign(length, '\0');
    return length == 0 || proto::read_buf(ch, length, out.data());
}

// A received text without the NULs a sender may have included.
std::string text_of(std::string text) {
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

bool read_count(ipc::channel& ch, uint32_t& count, const char* what) {
    if (!proto::read_int(ch, count)) return false;
    if (count > LIST_MAX) {
        kv::log(kv::Errors, "kervald: %u %s refused (at most %u)", count, what, LIST_MAX);
        return false;
    }
    return true;
}

std::string hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%#x", value);
    return text;
}

void append_record(const std::string& path, const std::string& text) {
    if (path.empty()) return;
    kv::unique_fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!file.valid() || write(file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        file.close() != 0) {
        kv::log(kv::Errors, "kervald: cannot record the request in %s - %s", path.c_str(), kv::stdlib_error(errno));
    }
}

// A scan request (command 1) after its command code.
bool serve_scan(ipc::channel& ch, const answer_settings& s, std::string& answer, std::string& note) {
    uint32_t options = 0;
    uint32_t options2 = 0;
    if (!proto::read_int(ch, options)) return false;
    if ((options & kv::KV_OPT_EXTENDED) && !proto::read_int(ch, options2)) return false;
    note = "scan options=" + hex(options);
    if (options & kv::KV_OPT_EXTENDED) note += " options2=" + hex(options2);
    if (options & kv::KV_OPT_MAIL) {
        std::string sender;
        uint32_t count = 0;
        if (!read_bounded(ch, TEXT_MAX, sender, "sender") || !read_count(ch, count, "recipients")) return false;
        note += " sender=" + sender + " recipients=";
        for (uint32_t i = 0; i < count; ++i) {
            std::string recipient;
            if (!read_bounded(ch, TEXT_MAX, recipient, "recipient")) return false;
            note += (i > 0 ? "," : "") + recipient;
        }
    }
    std::string name;
    std::string content;
    if (!read_bounded(ch, TEXT_MAX, name, "object name") || !read_bounded(ch, CONTENT_MAX, content, "content")) {
        return false;
    }
    const bool local = content.empty() && !name.empty();
    const bool cure = (options & kv::KV_OPT_CURE) != 0;
    verdict v = local ? scan_local(name, 0, -1, cure) : scan_content(content, cure);
    note += " name=" + name + " size=" + std::to_string(content.size()) + " mode=" + (local ? "local" : "content") +
            " status=" + hex(s.status.value_or(v.status));
    kv::log(kv::Info, "kervald: scan of %s (%s mode, %zu bytes): status %#x", name.c_str(), local ? "local" : "content",
            content.size(), s.status.value_or(v.status));
    answer = scan_answer(s, options, local, name, std::move(v));
    return true;
}

// A part scan (command 5) after its command code.
bool serve_part(ipc::channel& ch, const answer_settings& s, std::string& answer, std::string& note) {
    int32_t offset = 0;
    int32_t length = 0;
    uint32_t options = 0;
    uint32_t options2 = 0;
    std::string name;
    if (!proto::read_int(ch, offset) || !proto::read_int(ch, length) || !proto::read_int(ch, options)) return false;
    if ((options & kv::KV_OPT_EXTENDED) && !proto::read_int(ch, options2)) return false;
    if (!read_bounded(ch, TEXT_MAX, name, "object name")) return false;
    verdict v = scan_local(name, offset, length, (options & kv::KV_OPT_CURE) != 0);
    note = "part options=" + hex(options) + (options & kv::KV_OPT_EXTENDED ? " options2=" + hex(options2) : "") +
           " offset=" + std::to_string(offset) + " length=" + std::to_string(length) + " name=" + name +
           " status=" + hex(s.status.value_or(v.status));
    kv::log(kv::Info, "kervald: part scan of %s (%d bytes at %d): status %#x", name.c_str(), length, offset,
            s.status.value_or(v.status));
    answer = scan_answer(s, options, true, name, std::move(v));
    return true;
}

// The statistics agent's exchange: two ints, a stat block, the known viruses
// and the modifications; the answer is one int.
bool serve_agent(ipc::channel& ch, const answer_settings& s, std::string& answer, std::string& note) {
    int32_t first = 0;
    int32_t second = 0;
    uint32_t pairs = 0;
    if (!proto::read_int(ch, first) || !proto::read_int(ch, second) || !read_count(ch, pairs, "stat pairs")) {
        return false;
    }
    note = "agent " + std::to_string(first) + " " + std::to_string(second) + "\n";
    for (uint32_t i = 0; i < pairs; ++i) {
        uint32_t mask = 0;
        int32_t number = 0;
        if (!proto::read_int(ch, mask) || !proto::read_int(ch, number)) return false;
        note += "stat " + hex(mask) + " " + std::to_string(number) + "\n";
    }
    for (const char* kind : {"known", "modification"}) {
        uint32_t count = 0;
        if (!read_count(ch, count, "list entries")) return false;
        for (uint32_t i = 0; i < count; ++i) {
            std::string entry;
            if (!read_bounded(ch, TEXT_MAX, entry, "list entry")) return false;
            note += std::string(kind) + " " + text_of(entry) + "\n";
        }
    }
    note += "answer " + std::to_string(s.agent_answer);
    kv::log(kv::Info, "kervald: statistics received, answering %d", s.agent_answer);
    proto::encode_int(answer, static_cast<uint32_t>(s.agent_answer));
    return true;
}

void serve(ipc::channel& ch, const server_options& o) {
    answer_settings s = o.answers;
    if (!o.control.empty()) apply_control_file(s, o.control);
    std::string answer;
    std::string note;
    bool ok = false;
    if (o.agent) {
        ok = serve_agent(ch, s, answer, note);
    } else {
        int32_t command = 0;
        if (!proto::read_int(ch, command)) {
            kv::log(kv::Info, "kervald: connection from %s closed without a request", ch.remote.text.c_str());
            return;
        }
        switch (command) {
        case kv::KV_CMD_VERSION:
            proto::encode_int(answer, s.version);
            note = "version";
            ok = true;
            break;
        case kv::KV_CMD_ID:
            proto::encode_bytestring(answer, s.id);
            note = "id";
            ok = true;
            break;
        case kv::KV_CMD_BASES:
            proto::encode_int(answer, static_cast<uint32_t>(s.bases.size()));
            for (const auto& [name, records] : s.bases) {
                proto::encode_bytestring(answer, name);
                proto::encode_int(answer, static_cast<uint32_t>(records));
            }
            note = "bases";
            ok = true;
            break;
        case kv::KV_CMD_SCAN:
            ok = serve_scan(ch, s, answer, note);
            break;
        case kv::KV_CMD_SCAN_PART:
            ok = serve_part(ch, s, answer, note);
            break;
        default:
            kv::log(kv::Errors, "kervald: unknown command %d", command);
            return;
        }
    }
    if (!ok) {
        kv::log(kv::Errors, "kervald: incomplete or refused request - connection closed");
        return;
    }
    append_record(o.record, o.agent ? note + "\n" : note + " answer=" + std::to_string(answer.size()) + "\n");
    if (s.stall) {
        kv::log(kv::Info, "kervald: stalling: no answer until the client gives up");
        char byte = 0;
        size_t one = 1;
        while (ipc::recv(ch, &byte, one) == ipc::IPC_OK) one = 1;
        return;
    }
    size_t length = answer.size();
    if (s.close_after && *s.close_after < length) {
        length = static_cast<size_t>(*s.close_after);
        kv::log(kv::Info, "kervald: closing after %zu of %zu answer bytes", length, answer.size());
    }
    if (length > 0 && !proto::write_buf(ch, length, answer.data())) {
        kv::log(kv::Errors, "kervald: cannot send the answer");
    }
}

// The pid-file line for a listener: "host:port" or the socket path.
std::string pidfile_line(const ipc::channel& ch) {
    if (ch.type != ipc::FAMILY_TCP) return ipc::unix_filename(ch.local);
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (getsockname(ch.fd.get(), reinterpret_cast<sockaddr*>(&bound), &size) != 0) bound = ch.local.socket.in;
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &bound.sin_addr, dotted, sizeof dotted);
    return std::string(dotted) + ":" + std::to_string(ntohs(bound.sin_port));
}

// Written whole under a temporary name and renamed, so a reader never sees half of it.
bool write_pidfile(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    kv::unique_fd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const bool ok = file.valid() && write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    file.close() == 0 && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        kv::log(kv::Errors, "kervald: cannot write pid file %s - %s", path.c_str(), kv::stdlib_error(errno));
        unlink(temporary.c_str());
    }
    return ok;
}

// A bound socket that does not listen: every connection to it is refused.
std::unique_ptr<ipc::channel> bind_only(const std::string& spec, int timeout) {
    int family = ipc::FAMILY_NONE;
    std::unique_ptr<ipc::address> record = ipc::parse_address(spec, 1, family);
    std::unique_ptr<ipc::channel> ch;
    if (!record || ipc::make(family, record.get(), nullptr, timeout, 0, 1, ch) != ipc::IPC_OK ||
        ipc::bind(*ch) != ipc::IPC_OK) {
        if (ch) (void)ipc::delete_channel(ch);
        return nullptr;
    }
    return ch;
}

}  // namespace

int run_server(const server_options& o) {
    if (ipc::init() != ipc::IPC_OK) {
        kv::log(kv::Errors, "kervald: cannot start the IPC subsystem");
        return 1;
    }
    std::vector<listener> listeners;
    auto shut_down = [&](int status) {
        for (listener& l : listeners) (void)ipc::delete_channel(l.ch);
        if (!o.pidfile.empty()) unlink(o.pidfile.c_str());
        (void)ipc::done();
        return status;
    };
    std::string pid_text = std::to_string(getpid()) + "\n";
    for (const std::string& spec : o.addresses) {
        listener l{spec, o.refuse ? bind_only(spec, o.timeout) : ipc::create_server(spec, o.timeout, 1, BACKLOG)};
        if (!l.ch) {
            kv::log(kv::Errors, "kervald: cannot listen on %s", spec.c_str());
            return shut_down(1);
        }
        const std::string line = pidfile_line(*l.ch);
        kv::log(kv::Info, "kervald: %s on %s (%s)", o.refuse ? "refusing connections" : "listening", spec.c_str(),
                line.c_str());
        pid_text += line + "\n";
        listeners.push_back(std::move(l));
    }

    sigset_t stop_signals;
    sigset_t wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    // The stop signals only arrive while the loop waits, never in a request.
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    if (!ipc::set_signal_handler(SIGTERM, on_stop_signal) || !ipc::set_signal_handler(SIGINT, on_stop_signal)) {
        return shut_down(1);
    }
    if (!o.pidfile.empty() && !write_pidfile(o.pidfile, pid_text)) return shut_down(1);

    std::vector<pollfd> fds;
    if (!o.refuse) {
        for (const listener& l : listeners) fds.push_back(pollfd{ipc::get_fd(l.ch.get()), POLLIN, 0});
    }
    while (!stop_requested) {
        int ready = ppoll(fds.data(), fds.size(), nullptr, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            kv::log(kv::Errors, "kervald: waiting for connections failed - %s", kv::stdlib_error(errno));
            return shut_down(1);
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            std::unique_ptr<ipc::channel> ch;
            if (ipc::accept(*listeners[i].ch, ch, o.timeout) != ipc::IPC_OK) continue;
            serve(*ch, o);
            (void)ipc::delete_channel(ch);
        }
    }
    kv::log(kv::Info, "kervald: stopped");
    return shut_down(0);
}

}  // namespace kvd
