#include "fuzz_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "kvc_log.h"

namespace kvfuzz {

void quiet_logging() {
    kv::log_init("console", kv::Debug, 0, 0, "kerval-fuzz");
    kv::log_set_capture([](int, const std::string&) {});
}

const std::string& scratch_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/kvfuzz.XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        static std::string made = pattern;
        atexit([] { std::filesystem::remove_all(made); });
        return made;
    }();
    return dir;
}

std::string write_scratch(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = scratch_dir() + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, file) != size) abort();
    if (fclose(file) != 0) abort();
    return path;
}

std::string write_scratch(const std::string& name, const std::string& text) {
    return write_scratch(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace kvfuzz
