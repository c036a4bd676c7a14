// The configuration file: the sectioned reader and the filter's settings load
// (every section reader, its checks, and the list files it names).
#include <cstddef>
#include <cstdint>

#include "fuzz_util.h"
#include "kv_options.h"
#include "kv_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (kvfuzz::quiet_logging(), true);
    (void)ready;
    const std::string path = kvfuzz::write_scratch("kerval.conf", data, size);
    kv::filter_config config;
    (void)kv::read_config_file(path.c_str(), config);
    return 0;
}
