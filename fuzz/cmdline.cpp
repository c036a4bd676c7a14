// The command line as Postfix or a person gives it: the options with the
// configuration they choose, and the envelope (-f sender -- recipients).
// Arguments are the input split at NUL bytes. Options that end the process on
// purpose (help, version, check mode) are left out.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "kv_main.h"
#include "kv_options.h"
#include "kv_settings.h"
#include "kvc_log.h"

namespace {

bool ends_the_process(const std::string& arg) {
    for (const char* option : {"-?", "-h", "--help", "--version", "--check_only"}) {
        if (arg.compare(0, strlen(option), option) == 0) return true;
    }
    return false;
}

// A small valid configuration, chosen unless the input names another.
const std::string& sample_config() {
    static const std::string path = kvfuzz::write_scratch(
        "sample.conf",
        "[DaemonCommunication]\nAddress = local:/nonexistent/kervald.sock\nTimeout = 1\n"
        "[Scanning]\nSpool = " + kvfuzz::scratch_dir() + "\nRamSpool = /tmp\nRamThreshold = 1000\n"
        "[Logging]\nLevel = Debug\n"
        "[Actions]\nAdminMail = postmaster@localhost\nFilterMail = filter@localhost\n"
        "[VirusNotifications]\n[SkipNotifications]\n[ArchiveRestrictionNotifications]\n[ErrorNotifications]\n"
        "[Mailer]\nSendmail = /bin/true\n");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), true);
    (void)ready;
    std::vector<std::string> args = {"kerval-postfix", "--conf=" + sample_config()};
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find('\0', start), text.size());
        std::string arg = text.substr(start, end - start);
        if (!ends_the_process(arg)) args.push_back(std::move(arg));
        start = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    (void)kv::parse_envelope_args(argc, argv.data());
    kv::filter_config config;
    (void)kv::load_config(argc, argv.data(), config);
    kvfuzz::quiet_logging();  // load_config chose its own log target
    kv::log_set_context("");  // and --queue_id its line prefix
    return 0;
}
