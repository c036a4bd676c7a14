#include "kv_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kv_runguard.h"
#include "kvc_format.h"
#include "kvc_log.h"
#include "kvc_mutex.h"

namespace kv {
namespace {

const char* const kUnit = "kv_files";
constexpr int kRand48Attempts = 10;

files_clock g_clock = nullptr;

int read_clock(timeval* now) { return g_clock != nullptr ? g_clock(now) : gettimeofday(now, nullptr); }


// The permission bits a settings record asks for.
mode_t files_mode_of(const spool_settings& settings) { return static_cast<mode_t>(settings.files_mode) & 0777; }

// poll(2) timeout for a stall budget; a negative budget waits without limit.
int poll_timeout(std::chrono::milliseconds stall) {
    if (stall.count() < 0) return -1;
    return static_cast<int>(std::min<long long>(stall.count(), INT_MAX));
}

// fsync of a file by its path; false after logging.
bool sync_file(const char* path) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || fsync(fd.get()) != 0) {
        log(Errors, "quarantine: cannot sync file %s - %s", path, stdlib_error(errno));
        return false;
    }
    return true;
}

bool sync_directory(const std::string& path) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() || fsync(fd.get()) != 0) {
        log(Errors, "quarantine: cannot sync directory %s - %s", path.c_str(), stdlib_error(errno));
        return false;
    }
    return true;
}

}  // namespace

void files_set_clock(files_clock clock) { g_clock = clock; }

unique_fd open_tmpfile(const spool_settings& settings, std::string& path) {
    path.clear();
    if (!settings.directory || !settings.prefix) {
        log(Errors, "%s bad parameters (%d.%d.%d.%d) were passed (%s:%d)", "files: open tmpfile", 0, 0,
            settings.directory ? 0 : 1, settings.prefix ? 0 : 1, kUnit, __LINE__);
        errno = EINVAL;
        return unique_fd();
    }
    const int naming = settings.naming_mode;
    if (naming != NAMING_STD && naming != NAMING_RAND48 && naming != NAMING_TAI) {
        log(Errors, "files: cannot open tmpfile - wrong filenaming mode");
        errno = EINVAL;
        return unique_fd();
    }
    const char* dir = settings.directory->c_str();
    const char* prefix = settings.prefix->c_str();
    const mode_t mode = files_mode_of(settings);

    std::string name;
    int fd = -1;
    if (naming == NAMING_STD) {
        name = format_text("%s%c%sXXXXXX", dir, '/', prefix);
        fd = mkstemp(name.data());
    } else if (naming == NAMING_TAI) {
        timeval now{};
        if (read_clock(&now) != 0) now = timeval{};
        name = format_text("%s%c%010lu.%010lu.%sXXXXXX", dir, '/', static_cast<unsigned long>(now.tv_sec),
                      static_cast<unsigned long>(now.tv_usec), prefix);
        fd = mkstemp(name.data());
    } else {
        // The generator's state is the caller's own, so that threads creating
        // files at once neither race nor share a sequence.
        timeval now{};
        drand48_data state{};
        (void)srand48_r(read_clock(&now) == 0 ? static_cast<long>(now.tv_usec) : 0L, &state);
        for (int attempt = 0; attempt < kRand48Attempts; ++attempt) {
            long number = 0;
            (void)lrand48_r(&state, &number);
            name = format_text("%s%c%s%08lX", dir, '/', prefix, static_cast<unsigned long>(number));
            fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
            if (fd >= 0 || errno != EEXIST) break;
        }
    }
    if (fd < 0) {
        int err = errno;
        log(Errors, "files: cannot open tmpfile %s - (%d) %s", name.c_str(), err, stdlib_error(err));
        errno = err;
        return unique_fd();
    }
    unique_fd file(fd);
    // mkstemp creates 0600 whatever is asked; set the mode explicitly so it does not
    // depend on the umask.
    if (naming != NAMING_RAND48 && mode != 0600 && fchmod(fd, mode) != 0) {
        int err = errno;
        log(Errors, "files: cannot set permissions of tmpfile %s - (%d) %s", name.c_str(), err, stdlib_error(err));
        file.reset();
        unlink(name.c_str());
        errno = err;
        return unique_fd();
    }
    log(Verbose, "files: open tmpfile (%d) %s %#o", fd, name.c_str(), static_cast<unsigned>(mode));
    path = std::move(name);
    return file;
}

std::optional<std::string> save_message(const spool_settings& settings, int input, bool* input_failed) {
    if (input_failed != nullptr) *input_failed = false;
    std::string path;
    unique_fd fd = open_tmpfile(settings, path);
    if (!fd.valid()) {
        int err = errno;
        log(Errors, "cannot create temporary file - (%d) %s", err, stdlib_error(err));
        return std::nullopt;
    }
    runguard_add_file(path.c_str());
    bool saved = false;
    bool read_failed = false;
    if (!copy_fd(input, fd.get(), 0, std::chrono::milliseconds(-1), &read_failed)) {
        if (input_failed != nullptr) *input_failed = read_failed;
        log(Errors, "cannot save message from stdin to temporary file");
    } else if (fd.close() != 0) {
        int err = errno;
        log(Errors, "cannot close temporary file - (%d) %s", err, stdlib_error(err));
    } else {
        saved = true;
    }
    if (!saved) {
        fd.reset();
        unlink(path.c_str());
        runguard_forget_file(path.c_str());
        return std::nullopt;
    }
    return path;
}

int sweep_spool(const spool_settings& settings, long max_age, int max_files) {
    if (!settings.directory || !settings.prefix || max_files <= 0) return 0;
    struct dir_closer {
        void operator()(DIR* d) const { closedir(d); }
    };
    std::unique_ptr<DIR, dir_closer> dir(opendir(settings.directory->c_str()));
    if (!dir) return 0;
    const time_t now = time(nullptr);
    int removed = 0;
    while (removed < max_files) {
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) break;
        if (strncmp(entry->d_name, settings.prefix->c_str(), settings.prefix->size()) != 0) continue;
        struct stat info;
        if (fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        const long age = static_cast<long>(now - info.st_mtime);
        if (age <= max_age) continue;
        if (unlinkat(dirfd(dir.get()), entry->d_name, 0) == 0) {
            log(Alerts, "files: removed spool file %s/%s left behind %ld s ago", settings.directory->c_str(),
                entry->d_name, age);
            ++removed;
        }
    }
    return removed;
}

int read_all(int fd, void* buffer, size_t n) {
    char* at = static_cast<char*>(buffer);
    while (n > 0) {
        ssize_t got = read(fd, at, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return FILES_FAILED;
        at += got;
        n -= static_cast<size_t>(got);
    }
    return FILES_DONE;
}

int write_all(int fd, const void* buffer, size_t n, std::chrono::milliseconds stall) {
    const char* at = static_cast<const char*>(buffer);
    size_t left = n;
    while (left > 0) {
        ssize_t put = write(fd, at, left);
        if (put > 0) {
            at += put;
            left -= static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wait_for{fd, POLLOUT, 0};
            int ready = poll(&wait_for, 1, poll_timeout(stall));
            if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
            if (ready == 0) errno = ETIMEDOUT;
        } else if (put == 0) {
            errno = EIO;
        }
        int err = errno;
        log(Errors, "files: write buf %p[%d] to fd (%d) error - (%d) %s", buffer, static_cast<int>(left), fd, err,
            stdlib_error(err));
        errno = err;
        return FILES_FAILED;
    }
    return FILES_DONE;
}

int copy_fd(int input, int output, size_t limit, std::chrono::milliseconds stall, bool* read_failed) {
    if (read_failed != nullptr) *read_failed = false;
    if (input < 0 || output < 0) {
        log(Errors, "%s bad parameters (%d.%d) were passed (%s:%d)", "files: copy", input < 0 ? 1 : 0,
            output < 0 ? 1 : 0, kUnit, __LINE__);
        return FILES_FAILED;
    }
    char buffer[kFilesChunk];
    size_t copied = 0;
    while (true) {
        // With a limit, never read past it: what follows stays in the input.
        size_t want = sizeof buffer;
        if (limit != 0) {
            if (copied >= limit) return FILES_DONE;
            want = std::min(want, limit - copied);
        }
        ssize_t got = read(input, buffer, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            log(Errors, "files: cannot read file with message");
            if (read_failed != nullptr) *read_failed = true;
            return FILES_FAILED;
        }
        if (got == 0) return FILES_DONE;
        if (!write_all(output, buffer, static_cast<size_t>(got), stall)) {
            int err = errno;
            log(Errors, "files: cannot write chuck from %d to %d - (%d) %s", input, output, err, stdlib_error(err));
            errno = err;
            return FILES_FAILED;
        }
        copied += static_cast<size_t>(got);
    }
}

namespace {

// The message file opened read-only at offset, or an empty holder after logging.
unique_fd open_message_at(const char* path, off_t offset) {
    unique_fd fd(open(path, O_RDONLY));
    if (!fd.valid()) {
        log(Errors, "files: cannot open file %s with message - %s", path, stdlib_error(errno));
        return fd;
    }
    if (lseek(fd.get(), offset, SEEK_SET) == static_cast<off_t>(-1)) {
        log(Errors, "files: cannot set pos in file %s with message - %s", path, stdlib_error(errno));
        fd.reset();
    }
    return fd;
}

}  // namespace

int read_message_part(const char* path, off_t offset, std::string& buffer, size_t length) {
    if (path == nullptr) {
        log(Errors, "%s (%s:%d) bad parameter was passed", "files: read message part", kUnit, __LINE__);
        return FILES_FAILED;
    }
    unique_fd fd = open_message_at(path, offset);
    if (!fd.valid()) return FILES_FAILED;
    buffer.resize(length);
    if (!read_all(fd.get(), buffer.data(), length)) {
        log(Errors, "files: cannot read from file %s with message", path);
        buffer.clear();
        return FILES_FAILED;
    }
    return FILES_DONE;
}

int write_message_to_fd(const char* path, off_t offset, size_t limit, int fd, std::chrono::milliseconds stall) {
    if (path == nullptr) {
        log(Errors, "%s (%s:%d) bad parameter was passed", "files: write message", kUnit, __LINE__);
        return FILES_FAILED;
    }
    unique_fd file = open_message_at(path, offset);
    if (!file.valid()) return FILES_FAILED;
    if (!copy_fd(file.get(), fd, limit, stall)) {
        log(Errors, "files: cannot write file %s to %d", path, fd);
        return FILES_FAILED;
    }
    return FILES_DONE;
}

std::optional<std::string> normalize_path(const char* path, bool expand, const char* prefix, unsigned strip) {
    if (path == nullptr || *path == '\0') {
        log(Errors, "files: no path for normalizing");
        return std::nullopt;
    }
    std::optional<std::string> expanded;
    if (expand) {
        // realpath allocates a buffer of the right size itself; a fixed buffer
        // shorter than PATH_MAX could be overrun by a long path.
        std::unique_ptr<char, decltype(&free)> resolved(realpath(path, nullptr), &free);
        if (!resolved) {
            log(Errors, "files: cannot expand filename %s - %s", path, stdlib_error(errno));
            return std::nullopt;
        }
        expanded = resolved.get();
        log(Verbose, "files: filename %s expanded to %s", path, expanded->c_str());
    }
    const std::string source = expanded ? *expanded : std::string(path);
    const bool has_prefix = prefix != nullptr && *prefix != '\0';
    if (has_prefix || strip > 0) {
        // Each strip removes everything up to and including the next run of '/';
        // one that finds no '/' or leaves nothing fails.
        size_t at = 0;
        for (unsigned i = 0; i < strip; ++i) {
            size_t slash = source.find('/', at);
            if (slash != std::string::npos) at = source.find_first_not_of('/', slash);
            if (slash == std::string::npos || at == std::string::npos) {
                log(Errors, "files: strip %d prefixes in %s is impossible", static_cast<int>(strip), source.c_str());
                return std::nullopt;
            }
        }
        std::string result;
        if (has_prefix) {
            at = std::min(source.find_first_not_of('/', at), source.size());
            result = std::string(prefix) + "/" + source.substr(at);
        } else {
            result = source.substr(at);
        }
        log(Verbose, "files: filename %s converted to %s", source.c_str(), result.c_str());
        return result;
    }
    return source;
}

// ---- quarantine store ----

std::optional<std::string> quarantine_store(const spool_settings& settings, const char* spool_path, int move) {
    if (spool_path == nullptr) {
        log(Errors, "%s (%s:%d) bad parameter was passed", "quarantine: store", kUnit, __LINE__);
        return std::nullopt;
    }
    std::string name;
    unique_fd reserved = open_tmpfile(settings, name);
    if (!reserved.valid()) {
        // No name exists yet: show where it was to be made.
        std::string where = settings.directory ? *settings.directory + "/" + settings.prefix.value_or("") : "(none)";
        log(Errors, "quarantine: cannot create file %s", where.c_str());
        return std::nullopt;
    }
    if (reserved.close() != 0) {
        log(Errors, "quarantine: cannot close file - %s", stdlib_error(errno));
        unlink(name.c_str());
        return std::nullopt;
    }
    const mode_t mode = files_mode_of(settings);
    // The copy in the quarantine may be the only one left once the run ends: its
    // content goes to disk before the rename makes it visible, and the directory
    // entry after it.
    if (move && !sync_file(spool_path)) {
        unlink(name.c_str());
        return std::nullopt;
    }
    if (move) {
        // move_file cleans up the quarantine side of its own failures.
        if (move_file(spool_path, name.c_str(), mode) != FILES_OK) {
            log(Errors, "quarantine: cannot move file - %s", stdlib_error(errno));
            return std::nullopt;
        }
        runguard_forget_file(spool_path);
    } else if (copy_file(spool_path, name.c_str(), mode) != FILES_OK) {
        log(Errors, "quarantine: cannot copy file - %s", stdlib_error(errno));
        // A partial copy must not look like a stored message.
        unlink(name.c_str());
        return std::nullopt;
    }
    if (!sync_directory(*settings.directory)) {
        // Not known to be on disk: put the message back where the caller expects
        // it. A copy that cannot go back is the only one: it stays.
        if (!move) {
            unlink(name.c_str());
            return std::nullopt;
        }
        if (rename(name.c_str(), spool_path) == 0) {
            runguard_add_file(spool_path);
            return std::nullopt;
        }
        log(Errors, "quarantine: %s is kept although its directory could not be synced", name.c_str());
    }
    return name;
}

int move_file(const char* source, const char* destination, mode_t mode) {
    if (rename(source, destination) == 0) {
        if (chmod(destination, mode) == 0) {
            errno = 0;
            return FILES_OK;
        }
        int err = errno;
        log(Errors, "move_file: cannot change mode for quarantine file - (%d) %s", err, stdlib_error(err));
        // The caller treats the quarantine as failed and expects the message at
        // the spool path: put it back there; if that fails too, it stays in the
        // quarantine directory and is never deleted.
        if (rename(destination, source) != 0)
            log(Errors, "move_file: cannot move %s back to %s - %s", destination, source, stdlib_error(errno));
        errno = err;
        return FILES_ERROR;
    }
    int err = errno;
    log(Verbose, "move_file: try to use by-block copy, because std rename %s to %s failed - %s", source, destination,
        stdlib_error(err));
    if (copy_file(source, destination, mode) != FILES_OK) {
        err = errno;
        log(Errors, "move_file: cannot copy spool file to quarantine file - (%d) %s", err, stdlib_error(err));
        unlink(destination);
        errno = err;
        return FILES_ERROR;
    }
    if (unlink(source) != 0) {
        err = errno;
        log(Errors, "move_file: cannot unlink temporary file %s - %s", source, stdlib_error(err));
        if (unlink(destination) != 0)
            log(Errors, "move_file: cannot unlink archive file %s - %s", destination, stdlib_error(errno));
        errno = err;
        return FILES_ERROR;
    }
    errno = 0;
    return FILES_OK;
}

int copy_file(const char* source, const char* destination, mode_t mode) {
    struct stat info;
    if (stat(source, &info) != 0) {
        int err = errno;
        log(Errors, "copy_file: error stat() temporary file %s - %s", source, stdlib_error(err));
        errno = err;
        return FILES_ERROR;
    }
    int err = 0;  // the first failure's error number
    bool failed = false;
    auto fail = [&](int error) {
        if (!failed) err = error;
        failed = true;
    };

    unique_fd out(open(destination, O_WRONLY | O_CREAT, info.st_mode & 07777));
    if (!out.valid()) {
        err = errno;
        log(Errors, "copy_file: cannot open archive file %s - %s", destination, stdlib_error(err));
        errno = err;
        return FILES_ERROR;
    }
    unique_fd in;
    off_t copied = 0;
    if (fchmod(out.get(), mode) != 0) {
        fail(errno);
        log(Errors, "copy_file: cannot change mode for quarantine file %s - %s", destination, stdlib_error(err));
    } else if (in = unique_fd(open(source, O_RDONLY)); !in.valid()) {
        fail(errno);
        log(Errors, "copy_file: cannot open temporary file %s - %s", source, stdlib_error(err));
    } else if (lseek(in.get(), 0, SEEK_SET) != 0) {
        fail(errno);
        log(Errors, "copy_file: cannot seek to begin of temporary file %s - %s", source, stdlib_error(err));
    } else if (lseek(out.get(), 0, SEEK_SET) != 0) {
        fail(errno);
        log(Errors, "copy_file: cannot seek to begin of archive file %s - %s", destination, stdlib_error(err));
    } else {
        // Copy to the end of the source, whatever its size was at stat time.
        char buffer[kFilesChunk];
        while (!failed) {
            ssize_t got = read(in.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                fail(errno);
                log(Errors, "copy_file: cannot read temporary file %s - %s", source, stdlib_error(err));
                break;
            }
            if (got == 0) break;
            ssize_t written = 0;
            while (written < got) {
                ssize_t put = write(out.get(), buffer + written, static_cast<size_t>(got - written));
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) {
                    fail(put < 0 ? errno : EIO);
                    log(Errors, "copy_file: quarantine file writing error (%d:%d) - %s.\n", static_cast<int>(got),
                        static_cast<int>(written), stdlib_error(err));
                    break;
                }
                written += put;
            }
            copied += written;
        }
        // The destination may have held more than the source: cut what is left of it.
        if (!failed && ftruncate(out.get(), copied) != 0) {
            fail(errno);
            log(Errors, "copy_file: cannot truncate quarantine file %s - %s", destination, stdlib_error(err));
        }
        if (!failed && fsync(out.get()) != 0) {
            fail(errno);
            log(Errors, "copy_file: cannot fsync quarantine file %s - %s", destination, stdlib_error(err));
        }
    }
    if (in.valid() && in.close() != 0) {
        fail(errno);
        log(Errors, "copy_file: cannot close temporary file %s - %s", source, stdlib_error(errno));
    }
    if (out.close() != 0) {
        fail(errno);
        log(Errors, "copy_file: cannot close quarantine file %s - %s", destination, stdlib_error(errno));
    }
    errno = failed ? err : 0;
    return failed ? FILES_ERROR : FILES_OK;
}

}  // namespace kv
