// kvm_spool: one message streamed into a new spool file while the mail system
// hands it over: the header lines, then the body chunk by chunk, with LF line
// ends as in the pipe filter's spool files. Nothing but the header block is
// held in memory.
//
// A spool file belongs to its spool_file object until release() hands the path
// on; the destructor removes a file it still owns, so a message that ends any
// way (accepted, refused, aborted, or its connection closed) leaves nothing
// behind. The first failure is logged, makes every later call a no-op and is
// reported by finish() (false).
#pragma once

#include <string>
#include <string_view>

#include "kv_handles.h"
#include "kv_settings.h"
#include "kvm_lines.h"

namespace kv::milter {

class spool_file {
public:
    // A new file in the spool directory; failed() tells whether it was made.
    explicit spool_file(const spool_settings& settings);
    ~spool_file();
    spool_file(const spool_file&) = delete;
    spool_file& operator=(const spool_file&) = delete;

    void add_header(std::string_view name, std::string_view value);
    // The blank line after the header block; the headers go out in one write.
    void end_headers();
    void add_body(std::string_view chunk);
    // Everything written and the file closed; false when any step failed.
    [[nodiscard]] bool finish();

    bool failed() const { return failed_; }
    const std::string& path() const { return path_; }
    // The file is no longer removed by this object.
    std::string release();

private:
    void write(const std::string& text);

    unique_fd fd_;
    std::string path_;
    std::string buffer_;
    line_state lines_;
    bool headers_done_ = false;
    bool failed_ = false;
    bool owned_ = false;
};

}  // namespace kv::milter
