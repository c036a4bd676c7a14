#include "kvm_lines.h"

namespace kv::milter {

void to_lf(std::string_view chunk, line_state& state, std::string& out) {
    out.reserve(out.size() + chunk.size() + 1);
    for (char c : chunk) {
        if (state.pending_cr) {
            state.pending_cr = false;
            if (c != '\n') out.push_back('\r');
        }
        if (c == '\r') {
            state.pending_cr = true;
            continue;
        }
        out.push_back(c);
    }
}

void to_lf_finish(line_state& state, std::string& out) {
    if (state.pending_cr) out.push_back('\r');
    state.pending_cr = false;
}

void to_crlf(std::string_view chunk, line_state& state, std::string& out) {
    out.reserve(out.size() + chunk.size() + chunk.size() / 16 + 1);
    for (char c : chunk) {
        if (c == '\n' && !state.last_cr) out.push_back('\r');
        out.push_back(c);
        state.last_cr = c == '\r';
    }
}

}  // namespace kv::milter
