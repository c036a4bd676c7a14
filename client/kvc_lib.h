// kvc_lib: the public interface of the scanning-daemon client library.
//
// startup() registers the primary daemon, add_address() each backup; cleanup()
// ends it all. Every request opens its own channel to the first daemon of the
// list that accepts a connection (open_daemon_channel), sends one request, reads
// the answer and closes the channel; the address's timeout is a time budget for
// that whole exchange. Files can be scanned "locally" (the daemon opens the named
// file itself) only on the first daemon of the list; a backup is sent the
// content instead.
//
// Threads: after one startup (and its add_address calls), any number of threads
// may run requests at once; each request has its own channel and its own
// result, and the connection's budget covers connecting as well (a daemon whose
// listen queue is full is tried again within it). startup, add_address and
// cleanup are meant for one thread, before the requests begin and after they
// end; they are serialised among themselves, and a request that overlaps them
// is never corrupted: it either runs on the address list it started with or
// fails cleanly (KV_ERR_NOT_INIT, KV_ERR_NO_DAEMON). An address added while
// requests run is seen by those that start after it. Error state is the
// caller's thread's own: errno and the texts of stdlib_error are per thread, and
// the code of a failed transfer is kept in its channel.
//
// Results are KV_OK or a negative KV_ERR_* code; each failure is logged once
// where it is found ("kvlib: ..."). Results, texts and cured files are handed to
// the caller as owning types; a failed scan leaves its result empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kvc_ipc.h"
#include "kvc_result.h"
#include "kvc_strings.h"

namespace kv {

// Library results.
constexpr int KV_OK = 0;
constexpr int KV_ERR_COMM = -2;        // a request or its answer failed; IPC could not start or stop
constexpr int KV_ERR_FILE = -3;        // the local file cannot be opened, sized or read
constexpr int KV_ERR_PARAM = -4;       // bad parameters
constexpr int KV_ERR_STATE = -6;       // startup when started, cleanup when not
constexpr int KV_ERR_NOMEM = -9;       // no memory
constexpr int KV_ERR_NOT_INIT = -10;   // library not started
constexpr int KV_ERR_ADDRLIST = -11;   // the address list could not be created
constexpr int KV_ERR_NO_DAEMON = -12;  // no daemon of the list accepted a connection
constexpr int KV_ERR_TIMEOUT = -13;    // the daemon did not complete the exchange within its time budget

// The interface version this library implements (major in bits 8..15).
constexpr int KV_LIB_VERSION = 0x0407;

// Request option bits (first option word). The library acts on those marked *;
// every other bit, and the whole second word, reaches the daemon unchanged.
constexpr uint32_t KV_OPT_VIRUSES = 0x00000001;           // * answer carries the plain virus list
constexpr uint32_t KV_OPT_REPORT = 0x00000002;            // * answer carries a report
constexpr uint32_t KV_OPT_STATISTICS = 0x00000004;        // * answer carries a stat block
constexpr uint32_t KV_OPT_HEURISTIC = 0x00000008;
constexpr uint32_t KV_OPT_RULE_FILTER = 0x00000020;
constexpr uint32_t KV_OPT_CURE = 0x00000040;
constexpr uint32_t KV_OPT_DELETE_INFECTED = 0x00000200;
constexpr uint32_t KV_OPT_DELETE_INCURABLE = 0x00001000;
constexpr uint32_t KV_OPT_DELETE_SUSPICIOUS = 0x00008000;
constexpr uint32_t KV_OPT_CURE_LOCAL = 0x00200000;        // * local scans receive the cured file too
constexpr uint32_t KV_OPT_VIRUS_CATEGORIES = 0x00400000;  // * answer carries name-and-category lines
constexpr uint32_t KV_OPT_RULE = 0x00800000;              // * answer carries the matched rule's text
constexpr uint32_t KV_OPT_MAIL = 0x01000000;              // * request carries the envelope (scanmail)
constexpr uint32_t KV_OPT_NODELAY = 0x04000000;           // * TCP_NODELAY on the channel
constexpr uint32_t KV_OPT_EXTENDED = 0x80000000;          // * a second option word follows

// Command codes.
constexpr int32_t KV_CMD_SCAN = 1;
constexpr int32_t KV_CMD_VERSION = 2;
constexpr int32_t KV_CMD_BASES = 3;
constexpr int32_t KV_CMD_ID = 4;
constexpr int32_t KV_CMD_SCAN_PART = 5;

// Longest object name or path of a scan request.
constexpr size_t KV_NAME_MAX = 1024;

[[nodiscard]] int startup(int version, const char* address, int seconds, int resolve);
[[nodiscard]] int add_address(const std::string& address, int seconds, int resolve);
[[nodiscard]] int cleanup();

// A connected channel to the first daemon that accepts one, or none. Only a
// channel to the first daemon of the list carries the local-mode request.
std::unique_ptr<ipc::channel> open_daemon_channel(int local_request, int nodelay);
[[nodiscard]] int close_daemon_channel(std::unique_ptr<ipc::channel>& ch);

[[nodiscard]] int get_version(int& major, int& minor);
[[nodiscard]] int get_id_string(std::optional<std::string>& text);
// One line per base ("Base NAME contains N records.\n") and the sum of the records.
[[nodiscard]] int get_bases(std::optional<std::string>& text, int64_t& total);

// Which daemon answered a scan and how: its address text and whether it read the
// file itself (local mode) or was sent the content.
struct scan_route {
    std::string address;
    bool local = false;
};

// Scans. report_limit caps the report and the plain virus list (0 = none).
// path is the name the daemon is given; content_path, when not empty, is the file
// the library reads when it sends the content (the daemon's view of a file may
// differ from the filter's). route, when given, receives who answered.
[[nodiscard]] int scanmail(std::string_view path, int local, uint32_t options, uint32_t options2,
                           std::unique_ptr<scanresult>& result, uint32_t report_limit, const std::string& sender,
                           const strings* recipients, std::string_view content_path = {},
                           scan_route* route = nullptr);
[[nodiscard]] int scanfile(std::string_view path, int local, uint32_t options, uint32_t options2,
                           std::unique_ptr<scanresult>& result, uint32_t report_limit);
[[nodiscard]] int scanbuffer(const void* buffer, size_t size, uint32_t options, uint32_t options2,
                             std::unique_ptr<scanresult>& result, uint32_t report_limit);
// read fills at most capacity bytes and answers how many it gave (negative: failure).
using scan_reader = std::function<long(char* buffer, size_t capacity)>;
// name may be empty (a nameless object); total is the number of bytes read will give.
[[nodiscard]] int scancallback(const scan_reader& read, std::string_view name, int64_t total, uint32_t options,
                               uint32_t options2, std::unique_ptr<scanresult>& result, uint32_t report_limit);
// A part of a file the first daemon reads itself.
[[nodiscard]] int scanfilepart(std::string_view path, int32_t offset, int32_t length, uint32_t options,
                               uint32_t options2, std::unique_ptr<scanresult>& result, uint32_t report_limit);

namespace scan {
// Reads one answer for a request with these options into a new result.
[[nodiscard]] int daemon_answer(ipc::channel& ch, uint32_t options, const char* name,
                                std::unique_ptr<scanresult>& result, uint32_t report_limit, int local);
}  // namespace scan

// The size of an open file (its offset is kept), or -1.
int64_t file_size(int fd);

}  // namespace kv
