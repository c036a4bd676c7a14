// kv_files: the spool and quarantine files of the filter.
//
// open_tmpfile creates a new, uniquely named file (naming modes Std, Tai,
// Rand48); save_message stores standard input in a new spool file; read_all,
// write_all and copy_fd move bytes between descriptors through one 4096-byte
// buffer (messages are streamed, never held whole in memory); read_message_part
// and write_message_to_fd read the stored message; normalize_path turns a spool
// path into the name the scanning daemon opens. quarantine_store, move_file and
// copy_file put a spool file into the quarantine directory.
//
// Results: FILES_DONE (1) / FILES_FAILED (0) for the descriptor and message
// helpers, FILES_OK (0) / FILES_ERROR (-1) for move_file and copy_file, a
// returned path or nullopt for the rest. Every failure is logged once, here.
// Returned paths and names belong to the caller.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "kv_handles.h"
#include "kv_settings.h"

namespace kv {

enum files_result : int { FILES_FAILED = 0, FILES_DONE = 1 };
enum file_move_result : int { FILES_OK = 0, FILES_ERROR = -1 };

// Size of the copy buffer; also the unit of every read and write of a message.
constexpr size_t kFilesChunk = 4096;

// A new file in settings.directory named by settings.naming_mode, open read-write.
// Std and Tai end with the files mode exactly (whatever the umask); Rand48 creates
// the file with the files mode, so the umask applies. On failure the holder is
// empty and path is cleared; a file this call did not create is never removed.
[[nodiscard]] unique_fd open_tmpfile(const spool_settings& settings, std::string& path);

// Copies everything from input (standard input by default) into a new spool file
// and closes it. It is not synced: the mail system keeps its own copy until the
// run ends. The file's path, or nullopt (the file is removed); input_failed then
// tells whether reading the input failed rather than storing it.
[[nodiscard]] std::optional<std::string> save_message(const spool_settings& settings, int input = 0,
                                                      bool* input_failed = nullptr);

// Removes files of the spool directory with the spool prefix that are older than
// max_age seconds (left behind by killed runs), at most max_files of them; logs
// each. The number removed.
int sweep_spool(const spool_settings& settings, long max_age, int max_files);

// FILES_DONE after exactly n bytes were read; FILES_FAILED on end of input or error.
[[nodiscard]] int read_all(int fd, void* buffer, size_t n);

// Writes all n bytes. On a non-blocking descriptor a write that would block waits
// for the descriptor to drain, at most `stall` without progress (the default waits
// as long as it takes); a stall then fails with errno ETIMEDOUT.
[[nodiscard]] int write_all(int fd, const void* buffer, size_t n,
                            std::chrono::milliseconds stall = std::chrono::milliseconds(-1));

// Copies input to output until end of input, or until limit bytes (0 = no limit).
// read_failed, when given, tells whether a failure was on the input's side.
[[nodiscard]] int copy_fd(int input, int output, size_t limit = 0,
                          std::chrono::milliseconds stall = std::chrono::milliseconds(-1),
                          bool* read_failed = nullptr);

// Exactly length bytes of the file at offset into buffer (resized to length).
[[nodiscard]] int read_message_part(const char* path, off_t offset, std::string& buffer, size_t length);

// The file from offset (limit bytes, 0 = to the end) to the descriptor.
[[nodiscard]] int write_message_to_fd(const char* path, off_t offset, size_t limit, int fd,
                                      std::chrono::milliseconds stall = std::chrono::milliseconds(-1));

// The name under which the daemon is to open path: optionally expanded to the
// canonical absolute path, `strip` leading components removed, prefix + "/" put
// in front. nullopt after logging why.
[[nodiscard]] std::optional<std::string> normalize_path(const char* path, bool expand, const char* prefix,
                                                        unsigned strip);

// Moves (move != 0) or copies the spool file to a new file in the quarantine
// directory; the new file has exactly the files mode and is on disk, its
// directory entry included, before this returns (it may be the only copy left).
// The new file's path, or nullopt: the message is then still in the spool file
// and nothing is left behind in the quarantine directory.
[[nodiscard]] std::optional<std::string> quarantine_store(const spool_settings& settings, const char* spool_path,
                                                          int move);

// rename, or a by-block copy with fsync followed by unlinking the source when the
// rename fails (other file system). On success the destination has exactly mode.
// errno is left at the error of the failed step (0 after success).
[[nodiscard]] int move_file(const char* source, const char* destination, mode_t mode);

// Copies source over destination (created or truncated), syncs it and gives it
// exactly mode. The destination is never removed here. errno as for move_file.
[[nodiscard]] int copy_file(const char* source, const char* destination, mode_t mode);

// Test seam: the clock used by the Tai names and the Rand48 seed
// (gettimeofday when unset).
using files_clock = int (*)(timeval*);
void files_set_clock(files_clock clock);

}  // namespace kv
