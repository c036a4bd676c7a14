#include "kvq_commands.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kv_options.h"
#include "kv_settings.h"
#include "kvc_log.h"
#include "kvq_output.h"
#include "kvq_release.h"
#include "kvq_store.h"

namespace kv {
namespace {

constexpr const char* kIdent = "kerval-quarantine";
constexpr long kDaysMax = 100000;

const char* const kUsage =
    "Usage: kerval-quarantine [--conf=FILE] COMMAND\n"
    "Commands:\n"
    "\tlist [--json] - one row per quarantined message: time, sender, recipients, verdict, size, id\n"
    "\tshow ID - the envelope and the headers of a message\n"
    "\trelease ID [--to ADDR...] - send it on to its recipients, or to the given ones\n"
    "\tdelete ID - remove it\n"
    "\tpurge --older-than DAYS - remove every message quarantined more than DAYS days ago\n";

void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void error(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    fprintf(stderr, "%s: ", kIdent);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

int usage_error(const char* what) {
    error("%s", what);
    fputs(kUsage, stderr);
    return QSTATUS_USAGE;
}

void put(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
}

// The configuration from --conf= or the first readable default file.
int load(const std::string& conf, filter_config& config) {
    std::string path = conf;
    if (path.empty()) {
        for (const char* candidate : kDefaultConfigs) {
            if (access(candidate, R_OK) == 0) {
                path = candidate;
                break;
            }
        }
        if (path.empty()) {
            error("configuration file not found (tried %s and %s); give one with --conf=", kDefaultConfigs[0],
                  kDefaultConfigs[1]);
            return QSTATUS_CONFIG;
        }
    }
    if (!read_config_file(path.c_str(), config)) {
        error("configuration %s does not load", path.c_str());
        return QSTATUS_CONFIG;
    }
    if (!config.actions.quarantine.directory) {
        error("configuration %s has no Quarantine directory in [Actions]", path.c_str());
        return QSTATUS_CONFIG;
    }
    return QSTATUS_OK;
}

// The message named id, with the exit status for a failure.
int find(const filter_config& config, const std::string& id, qentry& entry) {
    const std::string& directory = *config.actions.quarantine.directory;
    switch (store_find(directory, id, entry)) {
    case STORE_OK: return QSTATUS_OK;
    case STORE_BAD_ID:
        error("%s is not a message id (a file name in %s)", printable(id).c_str(), directory.c_str());
        return QSTATUS_BAD_ID;
    case STORE_MISSING:
        error("no message %s in %s", printable(id).c_str(), directory.c_str());
        return QSTATUS_MISSING;
    default: return QSTATUS_IO;
    }
}

int cmd_list(const filter_config& config, bool json) {
    std::vector<qentry> entries;
    if (store_list(*config.actions.quarantine.directory, entries) != STORE_OK) return QSTATUS_IO;
    put(json ? list_json(entries) : list_text(entries));
    return QSTATUS_OK;
}

int cmd_show(const filter_config& config, const std::string& id) {
    qentry entry;
    if (int status = find(config, id, entry)) return status;
    std::string headers;
    bool cut = false;
    if (store_headers(entry, headers, cut) != STORE_OK) return QSTATUS_IO;
    // Headers as lines for a terminal: line ends kept, other control bytes shown.
    std::string shown;
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string::npos) end = headers.size();
        std::string line = headers.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string visible;
        for (char c : line) visible += c == '\t' ? std::string("\t") : printable(std::string(1, c));
        shown += visible + "\n";
        start = end + 1;
    }
    if (cut) shown += "(headers cut at " + std::to_string(kHeadersMax) + " bytes)\n";
    put(show_text(entry, shown));
    return QSTATUS_OK;
}

bool valid_address(const std::string& address) {
    if (address.empty()) return false;
    for (unsigned char c : address)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

int cmd_release(const filter_config& config, const std::string& id, const std::vector<std::string>& to) {
    qentry entry;
    if (int status = find(config, id, entry)) return status;
    std::vector<std::string> recipients = to;
    if (recipients.empty()) {
        if (entry.record_state == QRECORD_MISSING) {
            error("%s has no envelope record (it was quarantined before records were kept): give the recipients "
                  "with --to; nothing was sent",
                  entry.id.c_str());
            return QSTATUS_MISSING;
        }
        if (entry.record_state != QRECORD_OK) {
            error("the envelope record of %s cannot be read: give the recipients with --to; nothing was sent",
                  entry.id.c_str());
            return QSTATUS_BAD_ID;
        }
        recipients = entry.record.recipients;
        if (recipients.empty()) {
            error("the envelope record of %s names no recipient: give them with --to; nothing was sent",
                  entry.id.c_str());
            return QSTATUS_MISSING;
        }
    }
    std::string shown;
    for (const std::string& rcpt : recipients) {
        if (!shown.empty()) shown += ',';
        shown += printable(rcpt);
    }
    switch (release_message(entry, recipients, config)) {
    case RELEASE_OK:
        put("released " + entry.id + " to " + shown + "\n");
        return QSTATUS_OK;
    case RELEASE_COPY_FAILED:
        error("release of %s failed: the copy to submit could not be made; nothing was sent or removed",
              entry.id.c_str());
        return QSTATUS_IO;
    case RELEASE_SUBMIT_FAILED:
        error("release of %s failed: the submission program did not take it; nothing was removed",
              entry.id.c_str());
        return QSTATUS_SUBMIT;
    default:
        error("%s was released to %s but is still in the quarantine: delete it, do not release it again",
              entry.id.c_str(), shown.c_str());
        return QSTATUS_IO;
    }
}

int cmd_delete(const filter_config& config, const std::string& id) {
    qentry entry;
    if (int status = find(config, id, entry)) return status;
    if (store_remove(entry) != STORE_OK) return QSTATUS_IO;
    put("deleted " + entry.id + "\n");
    return QSTATUS_OK;
}

int cmd_purge(const filter_config& config, long days) {
    std::vector<qentry> entries;
    if (store_list(*config.actions.quarantine.directory, entries) != STORE_OK) return QSTATUS_IO;
    const long long limit = static_cast<long long>(time(nullptr)) - static_cast<long long>(days) * 86400;
    int removed = 0;
    int status = QSTATUS_OK;
    for (const qentry& entry : entries) {
        if (entry.time >= limit) continue;
        if (store_remove(entry) != STORE_OK) {
            status = QSTATUS_IO;
            continue;
        }
        put("deleted " + entry.id + "\n");
        ++removed;
    }
    put("purged " + std::to_string(removed) + " message(s)\n");
    return status;
}

bool parse_days(const std::string& text, long& days) {
    if (text.empty() || text.size() > 6) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    days = strtol(text.c_str(), nullptr, 10);
    return days <= kDaysMax;
}

}  // namespace

int quarantine_main(int argc, char** argv) {
    log_init("console", Errors, 0, 0, kIdent);
    std::string conf;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return QSTATUS_OK;
        }
        if (arg.rfind("--conf=", 0) == 0 && args.empty()) {
            conf = arg.substr(7);
            if (conf.empty()) return usage_error("misformatted --conf=<filename> option");
            continue;
        }
        args.push_back(arg);
    }
    if (args.empty()) return usage_error("no command given");
    const std::string command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());

    bool json = false;
    std::string id;
    std::vector<std::string> to;
    long days = -1;
    if (command == "list") {
        for (const std::string& arg : rest) {
            if (arg != "--json") return usage_error(("list: unknown argument " + printable(arg)).c_str());
            json = true;
        }
    } else if (command == "show" || command == "delete") {
        if (rest.size() != 1) return usage_error((command + ": give exactly one message id").c_str());
        id = rest[0];
    } else if (command == "release") {
        if (rest.empty() || rest[0] == "--to") return usage_error("release: give the message id first");
        id = rest[0];
        bool in_to = false;
        for (size_t i = 1; i < rest.size(); ++i) {
            if (rest[i] == "--to") {
                in_to = true;
            } else if (rest[i].rfind("--to=", 0) == 0) {
                to.push_back(rest[i].substr(5));
            } else if (in_to) {
                to.push_back(rest[i]);
            } else {
                return usage_error(("release: unknown argument " + printable(rest[i])).c_str());
            }
        }
        if (in_to && to.empty()) return usage_error("release: --to needs at least one address");
        for (const std::string& address : to)
            if (!valid_address(address))
                return usage_error(("release: not an address: " + printable(address)).c_str());
    } else if (command == "purge") {
        if (rest.size() == 2 && rest[0] == "--older-than") {
            if (!parse_days(rest[1], days)) return usage_error("purge: DAYS is a number of days (0 to 100000)");
        } else if (rest.size() == 1 && rest[0].rfind("--older-than=", 0) == 0) {
            if (!parse_days(rest[0].substr(13), days))
                return usage_error("purge: DAYS is a number of days (0 to 100000)");
        } else {
            return usage_error("purge: give --older-than DAYS");
        }
    } else {
        return usage_error(("unknown command " + printable(command)).c_str());
    }

    filter_config config;
    if (int status = load(conf, config)) return status;
    if (command == "list") return cmd_list(config, json);
    if (command == "show") return cmd_show(config, id);
    if (command == "release") return cmd_release(config, id, to);
    if (command == "delete") return cmd_delete(config, id);
    return cmd_purge(config, days);
}

}  // namespace kv
