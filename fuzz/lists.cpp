// The three list files (deny list, unnotifiable viruses and addresses) and their
// regular expressions. The first line of the input is also tried as a pattern
// on its own, and every list is asked about the second line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "kv_addresses.h"
#include "kv_listfile.h"
#include "kv_users.h"
#include "kv_viruses.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), true);
    (void)ready;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t first_end = text.find('\n');
    const std::string pattern = text.substr(0, first_end);
    const std::string probe =
        first_end == std::string::npos ? "user@example.org" : text.substr(first_end + 1, text.find('\n', first_end + 1));

    kv::compiled_regex regex;
    for (bool ignore_case : {false, true}) {
        if (regex.compile(pattern.c_str(), ignore_case)) (void)regex.matches(probe.c_str());
    }
    const std::string path = kvfuzz::write_scratch("x.list", data, size);
    if (auto users = kv::users_load(path.c_str(), false)) {
        for (int role : {kv::ROLE_FROM, kv::ROLE_TO}) (void)kv::users_check(users.get(), probe.c_str(), role, 1);
        kv::users_print(users.get(), 9);
    }
    if (auto viruses = kv::viruses_load(path.c_str(), true)) {
        kv::strings names;
        names.add(probe);
        names.add("EICAR-Test-File");
        for (int party : {kv::NOTIFY_SENDER, kv::NOTIFY_RCPTS, kv::NOTIFY_ADMIN}) {
            (void)kv::viruses_notify(viruses.get(), &names, party);
        }
        (void)kv::viruses_quarantine(viruses.get(), &names);
        kv::viruses_print(viruses.get(), 9);
    }
    if (auto addresses = kv::maddr_load(path.c_str(), false)) {
        for (int role : {1, 2}) (void)kv::maddr_check(addresses.get(), probe.c_str(), role);
        kv::maddr_print(addresses.get(), 9);
    }
    return 0;
}
