// Runs the built kerval-postfix as Postfix does, in a temporary directory with
// its own spool, quarantine and configuration, and a recording submission
// program in place of sendmail.
#pragma once

#include <string>
#include <vector>

#include "config_builder.h"
#include "test_util.h"

namespace kvtest {

// One message handed to the submission program.
struct submission {
    std::vector<std::string> args;  // argv[1..]
    std::string message;
};

class filter_run {
public:
    filter_run();

    temp_dir dir;
    config_builder config;  // spool, quarantine, templates and sendmail already set

    std::string spool() const { return dir / "spool"; }
    std::string quarantine() const { return dir / "quarantine"; }
    std::string config_path() const { return dir / "kerval.conf"; }

    // The exit status the recording submission program answers.
    void set_submit_status(int status);
    // Writes the configuration and runs the filter with -f sender -- rcpts and the
    // message on standard input; extra options come before the envelope.
    run_result run(const std::string& sender, const std::vector<std::string>& rcpts, const std::string& message,
                   const std::vector<std::string>& options = {});
    // Runs the filter with exactly these arguments after the program name.
    run_result run_args(const std::vector<std::string>& args, const std::string& message);
    std::vector<submission> submissions() const;
};

// A message with the given headers block (without its blank line) and body.
std::string make_message(const std::string& subject, const std::string& body, const std::string& extra_headers = "");

}  // namespace kvtest
