// kvm_lines: line ends between the milter protocol and the spool file. The
// mail system hands the milter its text with CRLF line ends; the spool file,
// like the pipe filter's, has LF ones; a replacement body goes back with CRLF.
// Both conversions work on chunks of any size: a CR at the end of one chunk is
// resolved with the next one (line_state), so a split pair never doubles or
// vanishes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kv::milter {

struct line_state {
    bool pending_cr = false;  // to_lf: the previous chunk ended in a CR
    bool last_cr = false;     // to_crlf: the previous chunk ended in a CR
};

// Appends chunk to out with every CRLF turned into LF; a lone CR stays.
void to_lf(std::string_view chunk, line_state& state, std::string& out);
// Appends what a chunk-end CR still owes (at the end of the text) to out.
void to_lf_finish(line_state& state, std::string& out);
// Appends chunk to out with every LF that has no CR before it turned into CRLF.
void to_crlf(std::string_view chunk, line_state& state, std::string& out);

}  // namespace kv::milter
