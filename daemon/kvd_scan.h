// kvd_scan: the built-in matcher and the answer to a scan request.
//
// The built-in matcher recognises the EICAR test file, the standard 68-byte
// antivirus test text (reported as the known virus "EICAR-Test-File", category
// K), and cures it by overwriting each occurrence with blanks of the same
// length. It reads the file in bounded pieces, never whole. The answer to a
// scan request is the verdict with the dictated settings applied, in the order
// the request's option bits ask for; the cured copy at its end is sent from the
// file it is in, piece by piece.
#pragma once

#include <cstdint>
#include <string>

#include "kvc_ipc.h"
#include "kvd_settings.h"
#include "kvd_verdict.h"

namespace kvd {

// The EICAR test file (assembled at run time, never held whole in the binary).
std::string eicar();

// Finds the test file in length bytes at offset of fd (name is for the log). With
// cure set, each one is blanked out in the file itself (fd must be writable); the
// verdict's cured copy is then that part of the file.
verdict builtin_scan(int fd, int64_t offset, int64_t length, bool cure, const std::string& name);

struct answer {
    std::string head;       // the status word and the optional parts
    bool with_copy = false;  // the cured copy follows: its announced length, then its bytes
    uint32_t announced = 0;
    std::string copy_text;  // a dictated copy, or else
    int copy_fd = -1;       // copy_length bytes at copy_offset of this file
    int64_t copy_offset = 0;
    int64_t copy_length = 0;

    uint64_t size() const;
};

// The answer: the verdict with the settings' overrides applied.
answer scan_answer(const answer_settings& settings, uint32_t options, bool local, const std::string& name, verdict v);

// Sends the answer, or only its first limit bytes; false when the channel failed.
bool send_answer(kv::ipc::channel& ch, const answer& a, uint64_t limit);

}  // namespace kvd
