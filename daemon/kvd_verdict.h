// kvd_verdict: what one scan found, in the terms of the daemon protocol.
//
// A verdict is the status word, the found objects as "name,LETTER" lines, the
// report lines ("{name}" stands for the scanned object) and the statistics
// pairs; after a cure it also says where the cured copy can be read. The
// builders below make the verdicts every scanner shares: nothing found, a
// failure of a given kind, and a finding named by a signature (classify says
// which status bit and category such a name stands for).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvc_proto.h"

namespace kvd {

struct verdict {
    uint32_t status = 0;
    std::vector<std::string> viruses;  // "name,LETTER"
    std::vector<std::string> report;   // lines with "{name}" for the object
    std::vector<kv::proto::stat_pair> stats;
    // The cured copy, when there is one: cured_length bytes at cured_offset of
    // cured_fd (the descriptor belongs to the caller of the scan).
    int cured_fd = -1;
    int64_t cured_offset = 0;
    int64_t cured_length = 0;
};

// Nothing found.
verdict clean_verdict();
// The object could not be scanned: bit (a scanning-error or skipped bit), the
// report line "{name} WHAT: REASON".
verdict failure_verdict(uint32_t bit, const std::string& what, const std::string& reason);
verdict read_failure(const std::string& reason);

struct category {
    uint32_t status;   // the status bit
    char letter;       // its letter in the category lines, 0 when it is no found object
    const char* what;  // the word of the report line
};

// What a signature's name stands for:
//   Heuristics.Limits.Exceeded.MaxRecursion  too deep nesting (archive restriction)
//   Heuristics.Limits.Exceeded.MaxScanTime   timed out (not checked)
//   Heuristics.Limits.Exceeded.*             too big (archive restriction)
//   Heuristics.Encrypted.*                   skipped (not checked)
//   Heuristics.*                             suspicious, S
//   PUA.*                                    adware A, dialer D, joke J, riskware R or hacktool H when a
//                                            part of the name says so (Tool is riskware), else suspicious S
//   anything else                            known virus, K
category classify(const std::string& name);
// A verdict for one finding of that name.
verdict finding_verdict(const std::string& name);

}  // namespace kvd
