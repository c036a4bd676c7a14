// kvq_store: the quarantine directory as the administrator's tool sees it: one
// entry per quarantined message, named by its file name (the id), with the
// envelope record kept beside it (kv_qrecord) when there is one.
//
// An id is a plain name of a regular file in the directory: no "/", not "." or
// "..", no leading ".", only printable characters, and not the name of a record
// or of a record's temporary file. Symbolic links are never followed.
//
// store_list answers the entries sorted by time (the record's, else the file's
// modification time), then id; store_find one entry. store_remove removes the
// message and then its record, so that a run stopped between the two leaves a
// record without a message (which the listing ignores) rather than a message
// that lost its envelope.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "kv_qrecord.h"

namespace kv {

enum store_result : int {
    STORE_OK = 0,
    STORE_BAD_ID,   // not an id at all
    STORE_MISSING,  // no such message
    STORE_ERROR,    // the directory or the file could not be read or changed (logged)
};

struct qentry {
    std::string id;
    std::string path;      // the message file
    off_t size = 0;
    long long time = 0;    // the record's time, else the file's modification time
    int record_state = QRECORD_MISSING;  // QRECORD_OK, QRECORD_MISSING or QRECORD_BAD
    quarantine_record record;            // meaningful with QRECORD_OK only
};

// Most header bytes store_headers reads.
constexpr size_t kHeadersMax = 256 * 1024;

bool valid_id(const std::string& id);

[[nodiscard]] int store_list(const std::string& directory, std::vector<qentry>& entries);
[[nodiscard]] int store_find(const std::string& directory, const std::string& id, qentry& entry);
[[nodiscard]] int store_remove(const qentry& entry);
// The message's header block, without the blank line that ends it, of at most
// kHeadersMax bytes (cut set when there was more).
[[nodiscard]] int store_headers(const qentry& entry, std::string& headers, bool& cut);

}  // namespace kv
