// kvm_settings: the [Milter] section of the configuration file, the milter's
// own settings beside the filter's (kv_settings.h), and the whole record the
// milter runs on.
//
// milter_task gives the section reader for read_config_file; load_milter_config
// reads the whole file, [Milter] included (1 / 0 after logging why). A missing
// [Milter] section leaves every default.
#pragma once

#include <string>

#include "kv_settings.h"
#include "kvc_conf.h"

namespace kv::milter {

struct milter_settings {             // [Milter]
    std::string socket = "unix:/run/kerval/milter.sock";
    int socket_mode = 0660;          // permission bits of a UNIX socket
    conf_string socket_group;        // none: the process's group
    int timeout = 300;               // seconds, libmilter's I/O timeout
    std::string pid_file = "/run/kerval/kerval-milter.pid";
    conf_string user;                // none: no change
    conf_string group;               // none: no change
    int foreground = 0;
    int add_header = 1;              // X-Virus-Scanned on accepted mail
    int quarantine_to_hold = 0;      // quarantined mail also waits in the hold queue
};

// Everything one message is handled with; never changed once loaded (a reload
// builds a new one).
struct runtime_config {
    filter_config filter;
    milter_settings milter;
};

conf_task milter_task(milter_settings& settings);

// Whether text is a socket the milter can listen on: "unix:/absolute/path",
// "local:/absolute/path" or "inet:PORT@HOST" / "inet6:PORT@HOST" (PORT 1..65535).
bool valid_socket(const std::string& text);

int load_milter_config(const char* path, runtime_config& config);

}  // namespace kv::milter
