// Runs the built kerval-postfix as Postfix does, in a temporary directory with
// its own spool, quarantine and configuration, the stand-in kervald on a socket
// there, and a recording submission program in place of sendmail.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config_builder.h"
#include "daemon_fixture.h"
#include "test_util.h"

namespace kvtest {

// One message handed to the submission program.
struct submission {
    std::vector<std::string> args;  // argv[1..]
    std::string message;
};

class filter_run {
public:
    // daemon_args: answer settings for the stand-in; with_daemon false: none runs
    // (its address stays configured).
    explicit filter_run(bool with_daemon = true, std::vector<std::string> daemon_args = {});

    temp_dir dir;
    config_builder config;  // daemon, spool, quarantine and sendmail already set
    std::unique_ptr<stand_in> daemon;

    std::string spool() const { return dir / "spool"; }
    std::string quarantine() const { return dir / "quarantine"; }
    std::string config_path() const { return dir / "kerval.conf"; }
    // The files in the spool directory, without the notice stamps kept there.
    std::vector<std::string> spool_messages() const;
    // The messages in the quarantine directory, without their envelope records.
    std::vector<std::string> quarantined() const;

    // The exit status the recording submission program answers.
    void set_submit_status(int status);
    // What the nth submission (from 1) does: "block" (until released) or "hang".
    void set_submit_mode(int n, const std::string& mode);
    // The file that shows the nth submission is blocked; and its release.
    std::string submission_started(int n) const;
    void release_submissions() const;
    // Starts the filter as run() does, without waiting for it.
    std::unique_ptr<running_program> start(const std::string& sender, const std::vector<std::string>& rcpts,
                                           const std::string& message);
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
