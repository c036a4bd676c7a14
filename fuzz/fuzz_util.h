// Helpers shared by the fuzz targets: every message is formatted (so format
// faults show) and dropped, and inputs that the code under test reads from a
// file go through one scratch file per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvfuzz {

// Logging at Debug into a sink that drops everything; call once.
void quiet_logging();

// A scratch directory of this process (created on first use, removed at exit).
const std::string& scratch_dir();

// Writes data to the named file in the scratch directory; answers its path.
std::string write_scratch(const std::string& name, const uint8_t* data, size_t size);
std::string write_scratch(const std::string& name, const std::string& text);

}  // namespace kvfuzz
