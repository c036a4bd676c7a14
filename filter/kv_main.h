// kv_main: the filter's run as Postfix starts it: options and configuration, the
// message stored and parsed, the verdict, and the exit status Postfix acts on.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kv {

// The sender and recipients on the command line (-f sender -- rcpts...).
struct envelope_args {
    bool sender_seen = false;
    bool have_sender = false;
    bool have_rcpts = false;
    std::optional<std::string> sender;
    std::vector<std::string> rcpts;
};
// Logs each usage error and stops at the first one; the flags tell what was found.
envelope_args parse_envelope_args(int argc, char** argv);

// Special results of action_exit_status; any other value is the exit status.
constexpr int kResubmit = 0;
constexpr int kConsumed = 1;
int action_exit_status(int action, int error_status, bool message_available);

// Prints the two "Problem" lines on standard output and exits with status.
[[noreturn]] void report_problem(int status, const char* text);

int filter_main(int argc, char** argv);

}  // namespace kv
