#include "kvc_ipc.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kvc_log.h"
#include "kvc_mutex.h"
#include "kvc_strings.h"
#include "kvc_tcp.h"
#include "kvc_unix.h"

namespace kv::ipc {
namespace {

constexpr int ALLOW_TCP = 1;
constexpr int ALLOW_UNIX = 2;
constexpr int64_t BUDGET_MAX_MS = 14400000;
constexpr size_t RECV_ALL_CHUNK = 4096;

// What a channel of each type uses.
struct transport {
    int allow;
    const char* word;
    int (*create)(unique_fd& slot, int nonblocking);
    send_fn send;
    recv_fn recv;
};
const transport kTcp{ALLOW_TCP, "tcp", tcp_create, tcp_send, tcp_recv};
const transport kUnix{ALLOW_UNIX, "unix", unix_create, unix_send, unix_recv};

// Started and stopped by one thread at a time (guard); channels made meanwhile
// by other threads read the allowed kinds without the lock.
struct subsystem {
    std::mutex guard;
    bool initialized = false;
    std::atomic<int> allowed{0};
};

subsystem& state() {
    static subsystem s;
    return s;
}

bool has_prefix(const std::string& text, const char* prefix) {
    return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

bool budget_in_range(int budget) { return budget >= TIMO_EXPIRED && budget <= BUDGET_MAX_MS; }

// The exact transfer shared by send and recv.
int transfer(channel& ch, bool sending, void* data, size_t& length) {
    const char* word = sending ? "send" : "recv";
    const size_t needed = length;
    if (data == nullptr || !ch.fd.valid() || ch.send_op == nullptr || ch.recv_op == nullptr) {
        log(Errors, "%s bad parameters (%d.%d.%d.%d) were passed (%s:%d)", "kvlib: ipc:", 0, data == nullptr ? 1 : 0,
            ch.fd.valid() ? 0 : 1, ch.send_op == nullptr ? 1 : 0, "kvc_ipc", __LINE__);
        length = 0;
        return ch.last_code = IPC_BAD;
    }
    if (needed == 0) return ch.last_code = IPC_OK;
    length = 0;
    if (!budget_in_range(ch.budget)) return ch.last_code = IPC_TIMEOUT;

    size_t done = 0;
    int code = IPC_OK;
    char* bytes = static_cast<char*>(data);
    for (;;) {
        const timo_stamp start = timo_now();
        size_t chunk = needed - done;
        const int timeout = timo_poll_timeout(ch.budget);
        code = sending ? ch.send_op(ch.fd.get(), bytes + done, chunk, timeout)
                       : ch.recv_op(ch.fd.get(), bytes + done, chunk, timeout);
        if (code != IPC_OK) break;
        done += chunk;
        ch.budget = timo_spend(ch.budget, timo_elapsed_ms(start, timo_now()));
        if (done >= needed) break;
        if (ch.budget == TIMO_EXPIRED) {
            log(Errors, "kvlib: ipc: %s %d bytes failed (only %d %s) - timeout expired", word, static_cast<int>(needed),
                static_cast<int>(done), word);
            code = IPC_TIMEOUT;
            break;
        }
    }
    log(Debug, "kvlib: ipc: %s %d bytes (need %d bytes) - errorcode[%d]", sending ? "sent" : "recv",
        static_cast<int>(done), static_cast<int>(needed), code);
    length = done;
    return ch.last_code = code;
}

}  // namespace

address::address() : socket{} { memset(&socket, 0, sizeof socket); }

channel::~channel() {
    // Backstop for channels that were not deleted: the descriptor closes itself;
    // a listening UNIX socket also takes its file with it.
    if (fd.valid() && type == FAMILY_UNIX && bound) unlink(local.socket.un.sun_path);
}

int set_signal_handler(int sig, void (*handler)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(sig, &action, nullptr) != 0) {
        log(Errors, "kvlib: set signal(%d) handler failed - %s", sig, stdlib_error(errno));
        return 0;
    }
    return 1;
}

int ignore_signal(int sig) { return set_signal_handler(sig, SIG_IGN); }

int init() {
    subsystem& s = state();
    std::lock_guard<std::mutex> lock(s.guard);
    if (s.initialized) {
        log(Errors, "kvlib: ipc: system has already been initialized");
        return IPC_ALREADY;
    }
    if (!ignore_signal(SIGPIPE)) {
        log(Errors, "kvlib: ipc: cannot ignore SIGPIPE");
        return IPC_SIGNAL;
    }
    int allowed = 0;
    if (tcp_init() != SOCK_OK) {
        log(Verbose, "kvlib: ipc: tcp sockets subsystem disabled");
    } else {
        allowed |= ALLOW_TCP;
    }
    if (unix_init() != SOCK_OK) {
        log(Verbose, "kvlib: ipc: unix sockets subsystem disabled");
    } else {
        allowed |= ALLOW_UNIX;
    }
    s.allowed = allowed;
    s.initialized = true;
    return allowed != 0 ? IPC_OK : IPC_BAD;
}

int done() {
    subsystem& s = state();
    std::lock_guard<std::mutex> lock(s.guard);
    if (!s.initialized) {
        log(Errors, "kvlib: ipc: subsystem is not initialized");
        return IPC_STATE;
    }
    // Channels are refused from here on; those already made keep working.
    const int allowed = s.allowed.exchange(0);
    int tcp_result = (allowed & ALLOW_TCP) ? tcp_deinit() : SOCK_OK;
    int unix_result = (allowed & ALLOW_UNIX) ? unix_deinit() : SOCK_OK;
    s.initialized = false;
    return tcp_result != SOCK_OK ? tcp_result : unix_result;
}

std::unique_ptr<address> parse_address(const std::string& spec, int resolve, int& family) {
    family = FAMILY_NONE;
    std::string text = spec;
    if (has_prefix(spec, "default")) {
        text = "inet:3000@localhost";
    } else if (spec.find(':') == std::string::npos) {
        log(Errors, "kvlib: ipc: format separator %c not found in %s", ':', spec.c_str());
        return nullptr;
    } else if (has_prefix(spec, "pid:")) {
        log(Errors, "kvlib: ipc: using recursive pid: format is invalid");
        return nullptr;
    }
    auto record = std::make_unique<address>();
    log(Debug, "kvlib: ipc: parse address string <%s>", text.c_str());

    int parsed = FAMILY_NONE;
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        log(Errors, "kvlib: ipc: wrong format of IPC address <%s>", text.c_str());
    } else if (has_prefix(text, "inet:")) {
        const size_t at = text.find('@', colon + 1);
        if (at == std::string::npos) {
            log(Errors, "kvlib: ipc: not a tcp-socket address string <%s>", text.c_str());
        } else {
            record->text = text.substr(at + 1, ADDRESS_TEXT_MAX);
            // The port is what lies between the colon and the "@", so that a
            // service name can be given as well as a number.
            const std::string port = text.substr(colon + 1, at - colon - 1);
            if (!tcp_make_address(record->text, port, record->socket.in, resolve)) {
                log(Errors, "kvlib: ipc: wrong tcp-socket address <%s>", text.c_str());
            } else {
                parsed = FAMILY_TCP;
            }
        }
    } else if (has_prefix(text, "local:")) {
        if (text.size() <= colon + 1 || text[colon + 1] != '/') {
            log(Errors, "kvlib: ipc: not a unix-socket path <%s>", text.c_str());
        } else {
            record->text = text.substr(colon + 1, ADDRESS_TEXT_MAX);
            (void)unix_make_address(record->text, record->socket.un);
            parsed = FAMILY_UNIX;
        }
    } else {
        log(Errors, "kvlib: ipc: invalid family specified %s", text.c_str());
    }
    if (parsed == FAMILY_NONE) {
        log(Errors, "kvlib: ipc: cannot parse address from specification <%s>", spec.c_str());
        return nullptr;
    }
    record->resolved = resolve;
    family = parsed;
    log(Verbose, "kvlib: ipc: address %s added", spec.c_str());
    return record;
}

void address_text(int family, address& record) {
    char buffer[ADDRESS_TEXT_MAX + 32];
    if (family == FAMILY_TCP) {
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &record.socket.in.sin_addr, dotted, sizeof dotted);
        snprintf(buffer, sizeof buffer, "inet:%d@%s", ntohs(record.socket.in.sin_port), dotted);
        record.text = std::string(buffer).substr(0, ADDRESS_TEXT_MAX);
    } else if (family == FAMILY_UNIX) {
        record.text = ("local:" + std::string(unix_filename(record))).substr(0, ADDRESS_TEXT_MAX);
    } else {
        record.text.clear();
    }
}

const char* unix_filename(const address& record) { return record.socket.un.sun_path; }

int set_timeout(channel& ch, int seconds) {
    const int64_t budget = seconds <= 0 ? TIMO_INFINITE : static_cast<int64_t>(seconds) * 1000;
    ch.budget = budget > INT_MAX ? INT_MAX : static_cast<int>(budget);
    if (budget < TIMO_EXPIRED || budget > BUDGET_MAX_MS) {
        log(Errors,
            "kvlib: ipc::set_timeout invalid timeout %lld specified (should be in 0 (infinite) .. 4 hours in seconds)",
            static_cast<long long>(budget));
        return 0;
    }
    return 1;
}

int make(int type, const address* local, const address* remote, int seconds, int local_mode, int create,
         std::unique_ptr<channel>& out) {
    const int64_t shifted = static_cast<int64_t>(seconds) + 2;
    const bool bad_seconds = shifted < 0 || shifted > BUDGET_MAX_MS + 2;
    const bool bad_type = type != FAMILY_TCP && type != FAMILY_UNIX;
    if (bad_seconds || bad_type) {
        log(Errors, "%s bad parameters (%d.%d.%d) were passed (%s:%d) ", "kvlib: ipc:", 0, bad_seconds ? 1 : 0,
            bad_type ? 1 : 0, "kvc_ipc", __LINE__);
        return IPC_BAD;
    }
    out = std::make_unique<channel>();
    channel& ch = *out;
    if (!set_timeout(ch, seconds)) {
        out.reset();
        return IPC_BAD_TIMEOUT;
    }
    ch.type = type;
    ch.local_mode = local_mode;
    if (local != nullptr) ch.local = *local;
    if (remote != nullptr) ch.remote = *remote;
    if (type == FAMILY_TCP) {
        if (local != nullptr && !local->resolved && tcp_resolve(ch.local.socket.in, ch.local.text, 1) != SOCK_OK) {
            log(Errors, "kvlib: ipc: cannot resolve local hostname %s", ch.local.text.c_str());
            out.reset();
            return IPC_BAD;
        }
        if (remote != nullptr && !remote->resolved && tcp_resolve(ch.remote.socket.in, ch.remote.text, 1) != SOCK_OK) {
            log(Errors, "kvlib: ipc: cannot resolve remote hostname %s", ch.remote.text.c_str());
            out.reset();
            return IPC_BAD;
        }
    }
    const transport& t = type == FAMILY_TCP ? kTcp : kUnix;
    if (!(state().allowed & t.allow)) {
        log(Errors, "kvlib: ipc: %s sockets not allowed", t.word);
        out.reset();
        return IPC_UNAVAILABLE;
    }
    if (create) {
        int code = t.create(ch.fd, 0);
        if (code != SOCK_OK) {
            log(Verbose, "kvlib: ipc: cannot create %s socket", t.word);
            out.reset();
            return code;
        }
    }
    ch.send_op = t.send;
    ch.recv_op = t.recv;
    if (type == FAMILY_TCP) {
        ch.local.socket.in.sin_family = AF_INET;
        ch.remote.socket.in.sin_family = AF_INET;
    } else {
        ch.local.socket.un.sun_family = AF_UNIX;
        ch.remote.socket.un.sun_family = AF_UNIX;
    }
    ch.created = timo_now();
    return IPC_OK;
}

int bind(channel& ch) {
    if (ch.bound) return IPC_ALREADY;
    int code;
    if (ch.type == FAMILY_TCP) {
        code = tcp_bind(ch.fd.get(), ch.local.socket.in);
    } else if (ch.type == FAMILY_UNIX) {
        code = unix_bind(ch.fd.get(), ch.local.socket.un);
    } else {
        return IPC_UNAVAILABLE;
    }
    if (code == SOCK_OK) ch.bound = true;
    return code;
}

int listen(channel& ch, int backlog) {
    if (backlog < 0) {
        log(Errors, "%s bad parameters (%d.%d) were passed (%s:%d)", "kvlib: ipc:", 0, 1, "kvc_ipc", __LINE__);
        return IPC_BAD;
    }
    if (ch.listening || ch.connected) return IPC_ALREADY;
    int code = ch.type == FAMILY_TCP ? tcp_listen(ch.fd.get(), backlog) : unix_listen(ch.fd.get(), backlog);
    if (code == SOCK_OK) ch.listening = true;
    return code;
}

int accept(channel& server, std::unique_ptr<channel>& out, int seconds) {
    const int64_t shifted = static_cast<int64_t>(seconds) + 2;
    if (shifted < 0 || shifted > BUDGET_MAX_MS + 2) {
        log(Errors, "%s bad parameters (%d.%d.%d) were passed (%s:%d) ", "kvlib: ipc:", 0, 0, 1, "kvc_ipc", __LINE__);
        return IPC_BAD;
    }
    if (!server.listening) return IPC_STATE;
    std::unique_ptr<channel> ch;
    int code = make(server.type, nullptr, nullptr, seconds, server.local_mode, 0, ch);
    if (code != IPC_OK) return code;
    ch->created = timo_now();
    if (server.type == FAMILY_TCP) {
        code = tcp_accept(server.fd.get(), ch->remote.socket.in, ch->fd);
    } else {
        code = unix_accept(server.fd.get(), ch->remote.socket.un, ch->fd);
    }
    if (code != SOCK_OK) return code;
    ch->local = server.local;
    address_text(ch->type, ch->remote);
    ch->connected = true;
    out = std::move(ch);
    return IPC_OK;
}

int connect(channel& ch) {
    if (ch.listening) return IPC_STATE;
    ch.created = timo_now();
    const int timeout = timo_poll_timeout(ch.budget);
    int code = ch.type == FAMILY_TCP ? tcp_connect(ch.fd.get(), ch.remote.socket.in, timeout)
                                     : unix_connect(ch.fd.get(), ch.remote.socket.un, timeout);
    // Setting up the connection is part of the exchange and spends from its budget.
    ch.budget = timo_spend(ch.budget, timo_elapsed_ms(ch.created, timo_now()));
    if (code == SOCK_TIMEOUT) {
        log(Errors, "kvlib: ipc: timeout expired");
        return IPC_TIMEOUT;
    }
    if (code != SOCK_OK) return code;
    if (ch.local.text.empty()) {
        socklen_t size = ch.type == FAMILY_TCP ? sizeof ch.local.socket.in : sizeof ch.local.socket.un;
        if (getsockname(ch.fd.get(), reinterpret_cast<sockaddr*>(&ch.local.socket), &size) != 0) {
            log(Alerts, "kvlib: ipc: getsockname failed - %s", stdlib_error(errno));
        } else {
            address_text(ch.type, ch.local);
        }
    }
    ch.connected = true;
    return IPC_OK;
}

int send(channel& ch, const void* data, size_t& length) {
    return transfer(ch, true, const_cast<void*>(data), length);
}

int recv(channel& ch, void* buffer, size_t& length) { return transfer(ch, false, buffer, length); }

int recv_all(channel& ch, std::string& data, uint32_t limit) {
    data.clear();
    if (!ch.fd.valid() || ch.recv_op == nullptr) {
        log(Errors, "%s bad parameters (%d.%d) were passed (%s:%d)", "kvlib: ipc:", 1, 0, "kvc_ipc", __LINE__);
        return ch.last_code = IPC_BAD;
    }
    if (!budget_in_range(ch.budget)) return ch.last_code = IPC_TIMEOUT;
    mbufs chain(limit);
    char buffer[RECV_ALL_CHUNK];
    int code = IPC_OK;
    for (;;) {
        const timo_stamp start = timo_now();
        memset(buffer, 0, sizeof buffer);
        size_t got = sizeof buffer;
        code = ch.recv_op(ch.fd.get(), buffer, got, timo_poll_timeout(ch.budget));
        if (code == IPC_CLOSED) {
            log(Verbose, "kvlib: ipc: recv_all: connection closed");
            code = IPC_OK;
            break;
        }
        if (code != IPC_OK) break;
        if (!chain.add(buffer, static_cast<uint32_t>(got))) {
            code = IPC_SIGNAL;
            break;
        }
        ch.budget = timo_spend(ch.budget, timo_elapsed_ms(start, timo_now()));
        if (ch.budget == TIMO_EXPIRED) {
            log(Errors, "kvlib: ipc: recv_all: timeout expired");
            code = IPC_TIMEOUT;
            break;
        }
    }
    if (chain.size() != 0) {
        std::optional<std::string> joined = chain.to_linear(0, false);
        if (joined) {
            data = std::move(*joined);
        } else {
            code = IPC_NOMEM;
        }
    }
    log(Debug, "kvlib: ipc: recv_all: got %d bytes - retcode[%d]", static_cast<int>(chain.size()), code);
    return ch.last_code = code;
}

int delete_channel(std::unique_ptr<channel>& ch) {
    if (!ch) return IPC_UNAVAILABLE;
    int code = IPC_OK;
    if (ch->fd.valid()) {
        if (ch->type == FAMILY_TCP) {
            code = tcp_close(ch->fd);
        } else if (ch->type == FAMILY_UNIX) {
            code = unix_close(ch->fd, ch->local.socket.un, ch->bound ? 1 : 0);
        } else {
            code = IPC_UNAVAILABLE;
        }
        log(Verbose, "kvlib: ipc: lifetime = %6.1lf milliseconds",
            static_cast<double>(timo_elapsed_us(ch->created, timo_now())) / 1000.0);
    }
    ch.reset();
    return code;
}

std::unique_ptr<channel> create(const std::string& spec, int seconds, int resolve, int server, int backlog) {
    int family = FAMILY_NONE;
    std::unique_ptr<address> record = parse_address(spec, resolve, family);
    if (!record) return nullptr;
    std::unique_ptr<channel> ch;
    if (server) {
        log(Debug, "kvlib: ipc::create server ipc on %s", spec.c_str());
        if (make(family, record.get(), nullptr, seconds, 0, 1, ch) != IPC_OK || bind(*ch) != IPC_OK ||
            listen(*ch, backlog) != IPC_OK) {
            (void)delete_channel(ch);
            return nullptr;
        }
    } else {
        log(Debug, "kvlib: ipc::create  client ipc to %s", spec.c_str());
        if (make(family, nullptr, record.get(), seconds, 0, 1, ch) != IPC_OK || connect(*ch) != IPC_OK) {
            (void)delete_channel(ch);
            return nullptr;
        }
        log(Debug, "kvlib: ipc::create ipc connected to %s", spec.c_str());
    }
    return ch;
}

std::unique_ptr<channel> create_client(const std::string& spec, int seconds, int resolve) {
    return create(spec, seconds, resolve, 0, 0);
}

std::unique_ptr<channel> create_server(const std::string& spec, int seconds, int resolve, int backlog) {
    return create(spec, seconds, resolve, 1, backlog);
}

int delete_control(std::unique_ptr<channel>& ch) {
    if (!ch) {
        log(Debug, "kvlib: ipc::delete null control socket passed");
        return 0;
    }
    (void)delete_channel(ch);
    return 1;
}

int set_nodelay(channel& ch, int on) {
    if (ch.type != FAMILY_TCP) {
        log(Debug, "kvlib: ipc::set_nodelay for non-tcp socket ignored");
        return 1;
    }
    return tcp_set_nodelay(ch.fd.get(), on);
}

int get_fd(const channel* ch) { return ch != nullptr ? ch->fd.get() : -1; }
int is_local_mode(const channel* ch) { return ch != nullptr ? ch->local_mode : 0; }
const address* get_local_addr(const channel* ch) { return ch != nullptr ? &ch->local : nullptr; }
const address* get_remote_addr(const channel* ch) { return ch != nullptr ? &ch->remote : nullptr; }

}  // namespace kv::ipc
