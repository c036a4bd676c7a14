#include "kvm_settings.h"

#include <cstdlib>
#include <cstring>

#include "kv_options.h"
#include "kvc_log.h"

namespace kv::milter {
namespace {

int read_milter(FILE* stream, int& line, const char* section, milter_settings& settings) {
    conf_string socket;
    conf_string pid_file;
    std::vector<conf_var> vars = {
        conf_str("Socket", &socket, "unix:/run/kerval/milter.sock"),
        conf_octal("SocketMode", &settings.socket_mode, 0660),
        conf_str("SocketGroup", &settings.socket_group),
        conf_uint("Timeout", &settings.timeout, 300),
        conf_str("PidFile", &pid_file, "/run/kerval/kerval-milter.pid"),
        conf_str("User", &settings.user),
        conf_str("Group", &settings.group),
        conf_bool("Foreground", &settings.foreground, 0),
        conf_bool("AddHeader", &settings.add_header, 1),
        conf_bool("QuarantineToHold", &settings.quarantine_to_hold, 0),
    };
    if (read_section(stream, line, section, vars) != 0) return 0;
    settings.socket = socket.value_or("");
    settings.pid_file = pid_file.value_or("");
    if (!valid_socket(settings.socket)) {
        log(Errors, "read section %s: invalid socket %s (unix:/path or inet:port@host)", section,
            settings.socket.c_str());
        return 0;
    }
    if (settings.socket_mode < 0 || settings.socket_mode > 0777) {
        log(Errors, "read section %s: access mask %#o is invalid", section, settings.socket_mode);
        return 0;
    }
    if (settings.timeout <= 0) {
        log(Errors, "read section %s: Timeout must be at least 1 second", section);
        return 0;
    }
    return 1;
}

}  // namespace

bool valid_socket(const std::string& text) {
    for (const char* prefix : {"unix:", "local:"}) {
        const size_t n = strlen(prefix);
        if (text.compare(0, n, prefix) == 0) return text.size() > n + 1 && text[n] == '/';
    }
    for (const char* prefix : {"inet:", "inet6:"}) {
        const size_t n = strlen(prefix);
        if (text.compare(0, n, prefix) != 0) continue;
        const size_t at = text.find('@', n);
        const std::string port = text.substr(n, at == std::string::npos ? std::string::npos : at - n);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return false;
        const long number = strtol(port.c_str(), nullptr, 10);
        return number >= 1 && number <= 65535 && (at == std::string::npos || at + 1 < text.size());
    }
    return false;
}

conf_task milter_task(milter_settings& settings) {
    return {"Milter",
            [&settings](FILE* stream, int& line, const char* section) {
                return read_milter(stream, line, section, settings);
            },
            [&settings](const char*) { settings = milter_settings{}; }, true};
}

int load_milter_config(const char* path, runtime_config& config) {
    config.milter = milter_settings{};
    std::vector<conf_task> extra;
    extra.push_back(milter_task(config.milter));
    if (!read_config_file(path, config.filter, std::move(extra))) {
        config.milter = milter_settings{};
        return 0;
    }
    return 1;
}

}  // namespace kv::milter
