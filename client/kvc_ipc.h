// kvc_ipc: IPC addresses and channels over the TCP and UNIX-domain transports.
//
// An address specification is "inet:PORT@HOST", "local:/path" or "default" (TCP
// port 3000 on localhost); parse_address turns it into an address record. A
// channel is one connected (client or accepted) or listening (server) socket with
// one time budget in milliseconds that all its transfers spend from: send, recv
// and recv_all move exact byte counts or fail with IPC_TIMEOUT once the budget is
// used up. init/done start and stop the subsystem (and make the process ignore
// SIGPIPE); channels can only be made between the two. connect spends the
// channel's budget on setting up the connection too, including the retries while
// the peer's listen queue is full.
//
// Threads: init and done are serialised and meant for one thread; any number of
// threads may make and use channels meanwhile, each channel by one thread at a
// time. A channel asked for once done has begun is refused (IPC_UNAVAILABLE);
// channels made before keep working until they are deleted.
//
// Results: IPC_OK or a negative IPC_* code, logged once where the failure is
// found ("kvlib: ipc: ..."). Channels are owned through std::unique_ptr; the
// channel operations that "delete" close the socket, report a failed close and
// leave the pointer empty. A channel that is simply dropped closes quietly (and
// removes the socket file of a bound UNIX server).
#pragma once

#include <netinet/in.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kvc_fd.h"
#include "kvc_timo.h"

namespace kv::ipc {

constexpr int IPC_OK = 0;
constexpr int IPC_SIGNAL = -1;       // SIGPIPE cannot be ignored; a received chunk cannot be stored
constexpr int IPC_NOMEM = -2;        // no memory in recv_all
constexpr int IPC_UNAVAILABLE = -4;  // channel type or transport not available
constexpr int IPC_BAD_TIMEOUT = -6;  // the timeout cannot be set
constexpr int IPC_ALREADY = -8;      // already initialised, bound, listening or connected
constexpr int IPC_STATE = -9;        // not initialised, not listening, or listening when connecting
constexpr int IPC_BAD = -11;         // bad parameters, no transport, unresolvable name
constexpr int IPC_TIMEOUT = -13;     // the channel's budget is used up
constexpr int IPC_CLOSED = -14;      // the peer closed the connection

// Address families and channel types.
constexpr int FAMILY_NONE = 0;
constexpr int FAMILY_TCP = 1;
constexpr int FAMILY_UNIX = 2;

constexpr size_t ADDRESS_TEXT_MAX = 254;
constexpr int TIMEOUT_MAX_SECONDS = 14400;  // 4 hours

struct address {
    address();
    // The host (TCP) or the socket path (UNIX); a full specification for records
    // a channel fills itself.
    std::string text;
    int resolved = 0;  // the host was turned into an IPv4 address at parse time
    union {
        sockaddr_in in;
        sockaddr_un un;
    } socket;
};

using send_fn = int (*)(int fd, const void* buffer, size_t& length, int timeout);
using recv_fn = int (*)(int fd, void* buffer, size_t& length, int timeout);

struct channel {
    channel() = default;
    ~channel();
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;

    int type = FAMILY_NONE;
    bool connected = false;
    bool listening = false;
    bool bound = false;
    int local_mode = 0;  // the peer may be given local file names
    unique_fd fd;
    address local;
    address remote;
    int budget = TIMO_INFINITE;  // milliseconds left
    int last_code = IPC_OK;      // result of the last transfer, for callers above the wire layer
    send_fn send_op = nullptr;
    recv_fn recv_op = nullptr;
    timo_stamp created;
};

// Subsystem start and stop.
[[nodiscard]] int init();
[[nodiscard]] int done();
// 1 done, 0 failed.
[[nodiscard]] int set_signal_handler(int sig, void (*handler)(int));
[[nodiscard]] int ignore_signal(int sig);

// A new address record (family set to FAMILY_TCP or FAMILY_UNIX), or none with
// the reason logged and family FAMILY_NONE. With resolve set, host names are
// resolved now; else when a channel is made.
std::unique_ptr<address> parse_address(const std::string& spec, int resolve, int& family);
// Rewrites the record's text from its socket address ("inet:%d@%s", "local:%s").
void address_text(int family, address& record);
const char* unix_filename(const address& record);

// Makes a new channel in out with copies of the given addresses (either may be
// none) and, with create set, a blocking socket; out stays empty on failure.
[[nodiscard]] int make(int type, const address* local, const address* remote, int seconds, int local_mode, int create,
                       std::unique_ptr<channel>& out);
[[nodiscard]] int bind(channel& ch);
[[nodiscard]] int listen(channel& ch, int backlog);
[[nodiscard]] int accept(channel& server, std::unique_ptr<channel>& out, int seconds);
[[nodiscard]] int connect(channel& ch);

// Exact transfers: IPC_OK when all length bytes moved; length reports how many did.
[[nodiscard]] int send(channel& ch, const void* data, size_t& length);
[[nodiscard]] int recv(channel& ch, void* buffer, size_t& length);
// Everything until the peer closes, at most limit bytes (0 = no limit).
[[nodiscard]] int recv_all(channel& ch, std::string& data, uint32_t limit);

// Closes the channel's socket, frees it and empties ch; the close result.
[[nodiscard]] int delete_channel(std::unique_ptr<channel>& ch);

// A connected client or a listening server for a specification, or none.
std::unique_ptr<channel> create(const std::string& spec, int seconds, int resolve, int server, int backlog);
std::unique_ptr<channel> create_client(const std::string& spec, int seconds, int resolve);
std::unique_ptr<channel> create_server(const std::string& spec, int seconds, int resolve, int backlog);
// 1 after deleting the channel, 0 when there was none.
int delete_control(std::unique_ptr<channel>& ch);

// 1 valid, 0 invalid (budget outside 0..4 hours); seconds <= 0 means no limit.
[[nodiscard]] int set_timeout(channel& ch, int seconds);
// 1 done or not applicable (not TCP), 0 failed.
[[nodiscard]] int set_nodelay(channel& ch, int on);
int get_fd(const channel* ch);
int is_local_mode(const channel* ch);
const address* get_local_addr(const channel* ch);
const address* get_remote_addr(const channel* ch);

}  // namespace kv::ipc
