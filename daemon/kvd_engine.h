// kvd_engine: the signature engine (libclamav) that scans for the daemon.
//
// load builds and compiles an engine from the signature databases of one
// directory, with the limits applied, or answers none with the reason. An
// engine is immutable once loaded and shared by every worker; it is freed when
// its last user lets it go, so a reload can put a new one in the slot while the
// scans on the old one finish. scan looks at an open file or a part of one with
// mail, archive, document and executable parsing on and answers a verdict: a
// finding mapped by classify, "clean", or an error verdict when the engine
// fails (never "clean"). The library's own messages go to the daemon's log.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kvd_verdict.h"

struct cl_engine;

namespace kvd {

struct engine_limits {
    uint64_t max_file_size = 100ull << 20;  // largest file the engine looks at
    uint64_t max_scan_size = 400ull << 20;  // most data scanned in one object, archives unpacked
    uint32_t max_recursion = 17;            // archive nesting
    uint32_t max_files = 10000;             // files in one archive
    uint32_t max_scan_time = 120;           // seconds for one object
};

struct engine_settings {
    std::string directory;
    std::string temporary_directory;  // where the engine unpacks
    engine_limits limits;
};

class engine {
public:
    ~engine();
    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    // A compiled engine, or none with why in error.
    static std::shared_ptr<const engine> load(const engine_settings& settings, std::string& error);

    // Scans length bytes at offset of fd (length < 0: the whole file). name is
    // for the engine's messages; heuristics adds the optional heuristic checks
    // (broken executables, macros, phishing) to the ones always on (limits,
    // encrypted archives and documents).
    verdict scan(int fd, int64_t offset, int64_t length, const std::string& name, bool heuristics) const;

    unsigned signatures() const { return signatures_; }
    // The database files and their signatures, for the bases query.
    const std::vector<std::pair<std::string, int32_t>>& bases() const { return bases_; }

private:
    engine() = default;
    cl_engine* handle_ = nullptr;
    unsigned signatures_ = 0;
    std::vector<std::pair<std::string, int32_t>> bases_;
};

// Whether directory holds a file the engine loads (by its name's extension).
bool holds_databases(const std::string& directory);
// The engine library's version text.
std::string engine_version();

// The engine in use, replaced whole by a reload.
class engine_slot {
public:
    std::shared_ptr<const engine> get() const;
    void set(std::shared_ptr<const engine> e);

private:
    mutable std::mutex lock_;
    std::shared_ptr<const engine> engine_;
};

}  // namespace kvd
