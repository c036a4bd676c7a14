#include "kvm_spool.h"

#include <unistd.h>

#include <cerrno>

#include "kv_files.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv::milter {

spool_file::spool_file(const spool_settings& settings) {
    fd_ = open_tmpfile(settings, path_);
    if (!fd_.valid()) {
        log(Errors, "milter: cannot store message in spool %s",
            settings.directory ? settings.directory->c_str() : "(none)");
        failed_ = true;
        return;
    }
    owned_ = true;
}

spool_file::~spool_file() {
    if (owned_ && !path_.empty()) unlink(path_.c_str());
}

void spool_file::write(const std::string& text) {
    if (failed_ || text.empty()) return;
    if (!write_all(fd_.get(), text.data(), text.size())) {
        log(Errors, "milter: cannot write the message to %s - %s", path_.c_str(), stdlib_error(errno));
        failed_ = true;
    }
}

void spool_file::add_header(std::string_view name, std::string_view value) {
    if (failed_ || headers_done_) return;
    line_state state;
    buffer_.append(name);
    buffer_.append(": ");
    to_lf(value, state, buffer_);
    to_lf_finish(state, buffer_);
    buffer_.push_back('\n');
}

void spool_file::end_headers() {
    if (headers_done_) return;
    headers_done_ = true;
    buffer_.push_back('\n');
    write(buffer_);
    buffer_.clear();
    buffer_.shrink_to_fit();
}

void spool_file::add_body(std::string_view chunk) {
    end_headers();
    std::string text;
    to_lf(chunk, lines_, text);
    write(text);
}

bool spool_file::finish() {
    end_headers();
    std::string rest;
    to_lf_finish(lines_, rest);
    write(rest);
    if (fd_.valid() && fd_.close() != 0 && !failed_) {
        log(Errors, "milter: cannot close %s - %s", path_.c_str(), stdlib_error(errno));
        failed_ = true;
    }
    return !failed_;
}

std::string spool_file::release() {
    owned_ = false;
    return path_;
}

}  // namespace kv::milter
