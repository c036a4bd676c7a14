// kvq_commands: the kerval-quarantine command line.
//
//   kerval-quarantine [--conf=FILE] list [--json]
//   kerval-quarantine [--conf=FILE] show ID
//   kerval-quarantine [--conf=FILE] release ID [--to ADDR...]
//   kerval-quarantine [--conf=FILE] delete ID
//   kerval-quarantine [--conf=FILE] purge --older-than DAYS
//
// The configuration is the filter's (the same default files): [Actions]
// Quarantine names the directory, FilterMail the sender of a released copy,
// [Mailer] the submission program, [Scanning] Spool where the copy is made.
// quarantine_main answers the exit status; results go to standard output,
// errors to standard error, and nothing is removed after an error.
#pragma once

namespace kv {

enum quarantine_status : int {
    QSTATUS_OK = 0,
    QSTATUS_USAGE = 64,      // a bad command line
    QSTATUS_BAD_ID = 65,     // not an id, or its envelope record cannot be read
    QSTATUS_MISSING = 66,    // no such message, or no record to release it by
    QSTATUS_IO = 74,         // the directory or a file could not be read, written or removed
    QSTATUS_SUBMIT = 75,     // the submission program did not take the message: try again later
    QSTATUS_CONFIG = 78,     // the configuration does not load or has no quarantine
};

int quarantine_main(int argc, char** argv);

}  // namespace kv
