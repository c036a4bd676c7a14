#include "kvc_tcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

constexpr size_t RESOLVER_BUFFER_START = 1024;
constexpr size_t RESOLVER_BUFFER_MAX = 65536;

// The host entry of name from the reentrant look-up, its storage in buffer; none
// with error set to the resolver's error number.
hostent* lookup_host(const std::string& name, hostent& entry, std::vector<char>& buffer, int& error) {
    buffer.resize(RESOLVER_BUFFER_START);
    for (;;) {
        hostent* found = nullptr;
        error = 0;
        const int result = gethostbyname_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found, &error);
        if (result == ERANGE && buffer.size() < RESOLVER_BUFFER_MAX) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (found == nullptr && error == 0) error = NO_RECOVERY;
        return found;
    }
}

// The port of a service name in host order, or -1.
long long lookup_service(const std::string& name) {
    servent entry{};
    std::vector<char> buffer(RESOLVER_BUFFER_START);
    for (;;) {
        servent* found = nullptr;
        const int result = getservbyname_r(name.c_str(), "tcp", &entry, buffer.data(), buffer.size(), &found);
        if (result == ERANGE && buffer.size() < RESOLVER_BUFFER_MAX) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return found != nullptr ? ntohs(static_cast<uint16_t>(found->s_port)) : -1;
    }
}

// The leading decimal number of text, as scanf "%u" would take it (blanks and a
// sign allowed); false when text does not start with one.
bool leading_number(const std::string& text, long long& value) {
    const char* p = text.c_str();
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    const char* digits = p;
    if (*digits == '+' || *digits == '-') ++digits;
    if (!isdigit(static_cast<unsigned char>(*digits))) return false;
    errno = 0;
    value = strtoll(p, nullptr, 10);
    if (errno == ERANGE) value = -1;
    return true;
}

}  // namespace

// The look-ups are reentrant: there is nothing to set up or tear down.
int tcp_init() { return SOCK_OK; }
int tcp_deinit() { return SOCK_OK; }

int tcp_resolve(sockaddr_in& address, const std::string& name, int allow_dns) {
    if (name.empty()) {
        log(Errors, "kvlib: tcp: empty name passed to resolver");
        return SOCK_EMPTY_NAME;
    }
    in_addr literal{};
    if (inet_aton(name.c_str(), &literal) != 0) {
        address.sin_addr = literal;
        address.sin_family = AF_INET;
        return SOCK_OK;
    }
    if (!allow_dns) {
        log(Errors, "kvlib: tcp: inet_addr(%s) failed", name.c_str());
        return SOCK_NOT_RESOLVED;
    }
    log(Debug, "kvlib: tcp: call resolver for %s", name.c_str());
    int result = SOCK_OK;
    hostent storage{};
    std::vector<char> buffer;
    int error = 0;
    hostent* entry = lookup_host(name, storage, buffer, error);
    if (entry == nullptr) {
        log(Errors, "kvlib: tcp: gethostbyname() error : %s", hstrerror(error));
        result = SOCK_NOT_RESOLVED;
    } else if (entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr ||
               entry->h_length != 4) {
        log(Errors, "kvlib: tcp: resolver return corrupted address (%d:%p:%d)", entry->h_addrtype,
            static_cast<void*>(entry->h_addr_list), entry->h_length);
        result = SOCK_NOT_RESOLVED;
    } else {
        memcpy(&address.sin_addr, entry->h_addr_list[0], 4);
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
        log(Debug, "kvlib: tcp: resolver return %s", dotted);
    }
    return result;
}

int tcp_make_address(const std::string& host, const std::string& port, sockaddr_in& out, int resolve) {
    memset(&out, 0, sizeof out);
    if (resolve && tcp_resolve(out, host, 1) != SOCK_OK) {
        log(Errors, "kvlib: tcp: cannot resolve %s hostname", host.c_str());
        return 0;
    }
    long long number = -1;
    if (!leading_number(port, number)) number = lookup_service(port);
    // A port must fit the 16 bits of the socket address; anything else would
    // silently name another port.
    if (number < 0 || number > 65535) {
        log(Errors, "kvlib: tcp: invalid port specified");
        return 0;
    }
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(number));
    return 1;
}

int tcp_create(unique_fd& slot, int nonblocking) {
    slot.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!slot.valid()) {
        log(Errors, "kvlib: tcp: creation failed - %s", stdlib_error(errno));
        return SOCK_FAILED;
    }
    if (nonblocking && !fd_set_nonblocking(slot.get())) {
        log(Errors, "kvlib: tcp: switching to nonblocking mode failed - %s", stdlib_error(errno));
        (void)tcp_close(slot);
        return SOCK_FAILED;
    }
    int on = 1;
    if (setsockopt(slot.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        log(Errors, "kvlib: tcp: set option (reuseaddr) failed - %s", stdlib_error(errno));
        (void)tcp_close(slot);
        return SOCK_FAILED;
    }
    log(Debug, "kvlib: tcp: socket %d has been created", slot.get());
    return SOCK_OK;
}

int tcp_connect(int fd, const sockaddr_in& address, int timeout) {
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    const int port = ntohs(address.sin_port);
    log(Verbose, "kvlib: tcp: connecting to %s:%d ...", dotted, port);
    int result = fd_connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address, timeout);
    if (result != SOCK_OK) {
        log(Errors, "kvlib: tcp: connecting to %s:%d - failed", dotted, port);
        return result;
    }
    log(Verbose, "kvlib: tcp: connecting to %s:%d - done", dotted, port);
    return SOCK_OK;
}

int tcp_bind(int fd, const sockaddr_in& address) {
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        log(Errors, "kvlib: tcp: set reusing of socket failed - %s", stdlib_error(errno));
        return SOCK_FAILED;
    }
    return fd_bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int tcp_listen(int fd, int backlog) { return fd_listen(fd, backlog); }

int tcp_accept(int fd, sockaddr_in& peer, unique_fd& accepted) {
    socklen_t size = sizeof peer;
    int result = fd_accept(fd, reinterpret_cast<sockaddr*>(&peer), &size, accepted);
    if (result != SOCK_OK) return result;
    log(Debug, "kvlib: tcp: socket %d has been accepted", accepted.get());
    return SOCK_OK;
}

int tcp_close(unique_fd& slot) {
    if (!slot.valid()) {
        log(Debug, "kvlib: tcp: close() failed - closed socket");
        return SOCK_OK;
    }
    log(Debug, "kvlib: tcp: socket %d will been closed", slot.get());
    if (slot.close() != 0) {
        log(Errors, "kvlib: tcp: close() failed - %s", stdlib_error(errno));
        return SOCK_FAILED;
    }
    return SOCK_OK;
}

int tcp_set_nodelay(int fd, int on) {
    int value = on ? 1 : 0;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
        log(Verbose, "kvlib: cannot set option TCP_NODELAY - %s", stdlib_error(errno));
        return 0;
    }
    return 1;
}

int tcp_send(int fd, const void* buffer, size_t& length, int timeout) { return fd_send(fd, buffer, length, timeout); }

int tcp_recv(int fd, void* buffer, size_t& length, int timeout) { return fd_recv(fd, buffer, length, timeout); }

}  // namespace kv
