// kvd_scan: the stand-in's verdicts and answers.
//
// It recognises the EICAR test file, the standard 68-byte antivirus test text
// (reported as the known virus "EICAR-Test-File", category K), and cures it by
// overwriting each occurrence with blanks of the same length. The answer to a
// scan request is built as bytes from the verdict and the answer settings, in
// the order the request's option bits ask for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvc_proto.h"
#include "kvd_settings.h"

namespace kvd {

// The EICAR test file (assembled at run time, never held whole in the binary).
std::string eicar();

struct verdict {
    uint32_t status = 0;
    std::vector<std::string> viruses;  // "name,LETTER"
    std::vector<std::string> report;   // lines with "{name}" for the object
    std::vector<kv::proto::stat_pair> stats;
    std::string cured;                 // the cured content, when it was cured
};

// Finds the test file in content and, with cure set, cures content in place.
verdict scan_content(std::string& content, bool cure);
// A verdict for an object that could not be read.
verdict read_failure(const std::string& reason);

// Local mode: scans length bytes at offset of the file at path (length < 0: to
// the end), curing the file itself when asked.
verdict scan_local(const std::string& path, int64_t offset, int64_t length, bool cure);

// The answer bytes: the verdict with the settings' overrides applied.
std::string scan_answer(const answer_settings& settings, uint32_t options, bool local, const std::string& name,
                        verdict v);

}  // namespace kvd
