// kvq_output: what the quarantine tool prints: the listing as a table or as
// JSON, and one message's envelope and headers.
//
// Text output never passes control characters to the terminal: they are shown
// as "\xNN" (tabs and line ends included, so a field never breaks a row). JSON
// output is valid UTF-8 JSON whatever the bytes: valid UTF-8 passes, quotes,
// backslashes and control characters are escaped, and any other byte is taken
// as the Latin-1 character of that code. Times are UTC, "YYYY-MM-DDTHH:MM:SSZ".
// Fields that a message without (or with a broken) envelope record lacks are
// "(unknown)" in text and null in JSON.
#pragma once

#include <string>
#include <vector>

#include "kvq_store.h"

namespace kv {

std::string printable(const std::string& text);
std::string json_string(const std::string& text);
std::string utc_time(long long seconds);

// One header line, then one tab-separated row per entry: time, sender,
// recipients (comma-separated), verdict, size, id.
std::string list_text(const std::vector<qentry>& entries);
// A JSON array of objects: id, time (seconds), sender, recipients, queue_id,
// verdict, viruses, size, record ("ok", "missing" or "broken").
std::string list_json(const std::vector<qentry>& entries);
// "Key: value" lines of the envelope, a blank line, then the headers as given.
std::string show_text(const qentry& entry, const std::string& headers);

}  // namespace kv
