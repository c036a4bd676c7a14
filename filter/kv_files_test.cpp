#include "kv_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "kvc_log.h"
#include "test_util.h"

namespace {

using kv::spool_settings;

class umask_guard {
public:
    explicit umask_guard(mode_t mask) : old_(umask(mask)) {}
    ~umask_guard() { umask(old_); }

private:
    mode_t old_;
};

mode_t mode_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

spool_settings settings_for(const std::string& dir, const char* prefix, int naming, int mode = 0600) {
    spool_settings s;
    s.directory = dir;
    s.prefix = prefix;
    s.naming_mode = naming;
    s.files_mode = mode;
    return s;
}

// A fixed clock: 1234567890 s and 424242 us.
int fixed_clock(timeval* now) {
    now->tv_sec = 1234567890;
    now->tv_usec = 424242;
    return 0;
}

class clock_guard {
public:
    clock_guard() { kv::files_set_clock(fixed_clock); }
    ~clock_guard() { kv::files_set_clock(nullptr); }
};

std::string binary_message(size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text.push_back(static_cast<char>((i * 7 + i / 13) & 0xFF));
    return text;
}

// ---- open_tmpfile ----

TEST(OpenTmpfile, NamesFollowTheNamingMode) {
    kvtest::temp_dir dir;
    clock_guard clock;
    struct naming_case {
        int naming;
        const char* prefix;
        std::string pattern;  // of the name after "<dir>/"
    } cases[] = {
        {kv::NAMING_STD, "kerval.tmp.", R"(kerval\.tmp\.[A-Za-z0-9]{6})"},
        {kv::NAMING_STD, "", R"([A-Za-z0-9]{6})"},
        {kv::NAMING_TAI, "q.", R"(1234567890\.0000424242\.q\.[A-Za-z0-9]{6})"},
        {kv::NAMING_TAI, "", R"(1234567890\.0000424242\.[A-Za-z0-9]{6})"},
        {kv::NAMING_RAND48, "r.", R"(r\.[0-9A-F]{8})"},
    };
    for (const naming_case& c : cases) {
        SCOPED_TRACE(c.naming);
        kvtest::log_capture logged;
        std::string path = "stale";
        kv::unique_fd fd = kv::open_tmpfile(settings_for(dir.path(), c.prefix, c.naming), path);
        ASSERT_TRUE(fd.valid()) << logged.dump();
        ASSERT_EQ(path.rfind(dir.path() + "/", 0), 0u) << path;
        EXPECT_TRUE(std::regex_match(path.substr(dir.path().size() + 1), std::regex(c.pattern))) << path;
        EXPECT_TRUE(kvtest::file_exists(path));
        EXPECT_EQ(write(fd.get(), "x", 1), 1);  // open for writing
        EXPECT_TRUE(logged.has(kv::Verbose, "files: open tmpfile (" + std::to_string(fd.get()) + ") " + path + " 0600"))
            << logged.dump();
    }
}

TEST(OpenTmpfile, PermissionsUnderDifferentUmasks) {
    kvtest::temp_dir dir;
    struct mode_case {
        int naming;
        int files_mode;
        mode_t mask;
        mode_t expected;
    } cases[] = {
        // Std and Tai end with exactly the files mode, whatever the umask.
        {kv::NAMING_STD, 0640, 077, 0640},
        {kv::NAMING_STD, 0644, 022, 0644},
        {kv::NAMING_STD, 0600, 0, 0600},
        {kv::NAMING_TAI, 0640, 077, 0640},
        {kv::NAMING_TAI, 0444, 0, 0444},
        // Rand48 gives the files mode to the create call: the umask applies.
        {kv::NAMING_RAND48, 0640, 027, 0640},
        {kv::NAMING_RAND48, 0640, 077, 0600},
        {kv::NAMING_RAND48, 0664, 002, 0664},
    };
    for (const mode_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "naming " << c.naming << " mode " << std::oct << c.files_mode << " umask "
                                        << c.mask);
        umask_guard mask(c.mask);
        std::string path;
        kv::unique_fd fd = kv::open_tmpfile(settings_for(dir.path(), "p.", c.naming, c.files_mode), path);
        ASSERT_TRUE(fd.valid());
        EXPECT_EQ(mode_of(path), c.expected);
    }
}

TEST(OpenTmpfile, Rand48GivesUpAfterTenCollisionsAndLeavesTheFilesAlone) {
    clock_guard clock;
    for (int existing : {9, 10}) {
        SCOPED_TRACE(existing);
        kvtest::temp_dir dir;
        // The names the generator will produce with the fixed clock's seed.
        srand48(424242);
        std::vector<std::string> names;
        for (int i = 0; i < 10; ++i) {
            char name[16];
            snprintf(name, sizeof name, "r.%08lX", static_cast<unsigned long>(lrand48()));
            names.push_back(dir / name);
        }
        for (int i = 0; i < existing; ++i) kvtest::write_file(names[i], "keep " + std::to_string(i), 0640);

        kvtest::log_capture logged;
        std::string path;
        kv::unique_fd fd = kv::open_tmpfile(settings_for(dir.path(), "r.", kv::NAMING_RAND48), path);
        if (existing == 9) {
            ASSERT_TRUE(fd.valid()) << logged.dump();
            EXPECT_EQ(path, names[9]);
        } else {
            EXPECT_FALSE(fd.valid());
            EXPECT_EQ(path, "");
            EXPECT_TRUE(logged.has(kv::Errors, "files: cannot open tmpfile " + names[9] + " - (17) File exists"))
                << logged.dump();
        }
        for (int i = 0; i < existing; ++i) {
            EXPECT_EQ(kvtest::read_file(names[i]), "keep " + std::to_string(i));
            EXPECT_EQ(mode_of(names[i]), 0640u);
        }
        EXPECT_EQ(kvtest::list_dir(dir.path()).size(), 10u);
    }
}

TEST(OpenTmpfile, RefusesBadSettingsWithoutCreatingAnything) {
    kvtest::temp_dir dir;
    struct bad_case {
        spool_settings settings;
        std::string message;
    } cases[] = {
        {settings_for(dir.path(), "p.", 0), "files: cannot open tmpfile - wrong filenaming mode"},
        {settings_for(dir.path(), "p.", 4), "files: cannot open tmpfile - wrong filenaming mode"},
        {spool_settings{}, "files: open tmpfile bad parameters (0.0.1.1) were passed (kv_files:"},
        {settings_for(dir / "missing", "p.", kv::NAMING_STD),
         "files: cannot open tmpfile " + dir.path() + "/missing/p."},
        {settings_for(dir / "missing", "p.", kv::NAMING_RAND48),
         "files: cannot open tmpfile " + dir.path() + "/missing/p."},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.message);
        kvtest::log_capture logged;
        std::string path = "stale";
        kv::unique_fd fd = kv::open_tmpfile(c.settings, path);
        EXPECT_FALSE(fd.valid());
        EXPECT_EQ(path, "");
        EXPECT_TRUE(logged.contains(c.message)) << logged.dump();
        EXPECT_TRUE(kvtest::list_dir(dir.path()).empty());
    }
}

// ---- save_message ----

TEST(SaveMessage, StoresStandardInputByteForByte) {
    kvtest::temp_dir dir;
    for (size_t size : {size_t{0}, size_t{1}, size_t{4096}, size_t{4097}, size_t{70000}}) {
        SCOPED_TRACE(size);
        std::string message = binary_message(size);
        kvtest::write_file(dir / "input", message);
        kv::unique_fd input(open((dir / "input").c_str(), O_RDONLY));
        std::optional<std::string> path =
            kv::save_message(settings_for(dir.path(), "kerval.tmp.", kv::NAMING_STD), input.get());
        ASSERT_TRUE(path.has_value());
        EXPECT_EQ(kvtest::read_file(*path), message);
        unlink(path->c_str());
    }
}

TEST(SaveMessage, FailureLeavesNoSpoolFile) {
    kvtest::temp_dir dir;
    mkdir((dir / "spool").c_str(), 0700);
    {
        // Reading a directory fails (EISDIR) after the spool file was created.
        kvtest::log_capture logged;
        kv::unique_fd input(open(dir.path().c_str(), O_RDONLY));
        EXPECT_FALSE(kv::save_message(settings_for(dir / "spool", "s.", kv::NAMING_STD), input.get()).has_value());
        EXPECT_TRUE(logged.has(kv::Errors, "files: cannot read file with message")) << logged.dump();
        EXPECT_TRUE(logged.has(kv::Errors, "cannot save message from stdin to temporary file"));
        EXPECT_TRUE(kvtest::list_dir(dir / "spool").empty());
    }
    {
        kvtest::log_capture logged;
        EXPECT_FALSE(kv::save_message(settings_for(dir / "absent", "s.", kv::NAMING_STD), 0).has_value());
        EXPECT_TRUE(logged.has(kv::Errors, "cannot create temporary file - (2) No such file or directory"))
            << logged.dump();
    }
    {
        kvtest::log_capture logged;
        EXPECT_FALSE(kv::save_message(settings_for(dir / "spool", "s.", 0), 0).has_value());
        EXPECT_TRUE(logged.has(kv::Errors, "cannot create temporary file - (22) Invalid argument")) << logged.dump();
    }
}

// ---- descriptor helpers ----

TEST(CopyFd, StopsExactlyAtTheLimit) {
    kvtest::temp_dir dir;
    const std::string input = binary_message(10000);
    kvtest::write_file(dir / "in", input);
    struct limit_case {
        size_t limit;
        size_t copied;
    } cases[] = {{0, 10000}, {10, 10}, {4096, 4096}, {4097, 4097}, {5000, 5000}, {10000, 10000}, {20000, 10000}};
    for (const limit_case& c : cases) {
        SCOPED_TRACE(c.limit);
        kv::unique_fd in(open((dir / "in").c_str(), O_RDONLY));
        kv::unique_fd out(open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        EXPECT_EQ(kv::copy_fd(in.get(), out.get(), c.limit), kv::FILES_DONE);
        EXPECT_EQ(kvtest::read_file(dir / "out"), input.substr(0, c.copied));
        // Nothing beyond the limit was consumed from the input.
        EXPECT_EQ(lseek(in.get(), 0, SEEK_CUR), static_cast<off_t>(c.copied));
    }
}

TEST(CopyFd, ReportsBadDescriptorsAndWriteErrors) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "in", "some text");
    kvtest::log_capture logged;
    EXPECT_EQ(kv::copy_fd(-1, 1), kv::FILES_FAILED);
    EXPECT_EQ(kv::copy_fd(0, -1), kv::FILES_FAILED);
    EXPECT_TRUE(logged.contains("files: copy bad parameters (1.0) were passed (kv_files:"));

    kv::unique_fd in(open((dir / "in").c_str(), O_RDONLY));
    kv::unique_fd read_only(open((dir / "in").c_str(), O_RDONLY));
    EXPECT_EQ(kv::copy_fd(in.get(), read_only.get()), kv::FILES_FAILED);
    EXPECT_TRUE(logged.contains("files: write buf ")) << logged.dump();
    EXPECT_TRUE(logged.has(kv::Errors, "files: cannot write chuck from " + std::to_string(in.get()) + " to " +
                                           std::to_string(read_only.get()) + " - (9) Bad file descriptor"))
        << logged.dump();
}

TEST(WriteAll, GivesUpOnAStalledNonBlockingDescriptor) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    kv::unique_fd reader(ends[0]), writer(ends[1]);
    fcntl(writer.get(), F_SETFL, O_NONBLOCK);
    const std::string big(1 << 20, 'x');  // more than any pipe holds
    kvtest::log_capture logged;
    errno = 0;
    EXPECT_EQ(kv::write_all(writer.get(), big.data(), big.size(), std::chrono::milliseconds(50)), kv::FILES_FAILED);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_TRUE(logged.contains("error - (110) Connection timed out")) << logged.dump();
    EXPECT_EQ(kv::write_all(writer.get(), "", 0), kv::FILES_DONE);
}

TEST(ReadAll, NeedsExactlyNBytes) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "f", "abcdef");
    kv::unique_fd fd(open((dir / "f").c_str(), O_RDONLY));
    char buffer[8] = {};
    EXPECT_EQ(kv::read_all(fd.get(), buffer, 4), kv::FILES_DONE);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(kv::read_all(fd.get(), buffer, 3), kv::FILES_FAILED);  // only two left
}

TEST(MessageFile, ReadPartAndWriteFromOffset) {
    kvtest::temp_dir dir;
    const std::string message = "Subject: x\r\n\r\n" + binary_message(9000);
    kvtest::write_file(dir / "m", message);
    kvtest::log_capture logged;

    std::string part;
    EXPECT_EQ(kv::read_message_part((dir / "m").c_str(), 8, part, 3), kv::FILES_DONE);
    EXPECT_EQ(part, " x\r");
    EXPECT_EQ(kv::read_message_part((dir / "m").c_str(), 9000, part, 100), kv::FILES_FAILED);
    EXPECT_TRUE(logged.has(kv::Errors, "files: cannot read from file " + (dir / "m") + " with message"));
    EXPECT_EQ(kv::read_message_part((dir / "none").c_str(), 0, part, 1), kv::FILES_FAILED);
    EXPECT_TRUE(logged.has(kv::Errors, "files: cannot open file " + (dir / "none") +
                                           " with message - No such file or directory"));

    kv::unique_fd out(open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600));
    EXPECT_EQ(kv::write_message_to_fd((dir / "m").c_str(), 14, 0, out.get()), kv::FILES_DONE);
    EXPECT_EQ(kvtest::read_file(dir / "out"), message.substr(14));
    EXPECT_EQ(kv::write_message_to_fd((dir / "m").c_str(), 0, 0, -1), kv::FILES_FAILED);
    EXPECT_TRUE(logged.has(kv::Errors, "files: cannot write file " + (dir / "m") + " to -1")) << logged.dump();
}

// ---- normalize_path ----

TEST(NormalizePath, Examples) {
    struct path_case {
        const char* path;
        const char* prefix;
        unsigned strip;
        std::optional<std::string> result;
    } cases[] = {
        {"/var/spool/f/kerval.tmp.a1", "/chroot", 0, "/chroot/var/spool/f/kerval.tmp.a1"},
        {"/var/spool/f/kerval.tmp.a1", "/data", 2, "/data/spool/f/kerval.tmp.a1"},
        {"/var/spool/f/kerval.tmp.a1", nullptr, 0, "/var/spool/f/kerval.tmp.a1"},
        {"/var/spool/f/kerval.tmp.a1", "", 0, "/var/spool/f/kerval.tmp.a1"},
        {"/var/spool/x", nullptr, 1, "var/spool/x"},
        {"/var/spool/x", nullptr, 2, "spool/x"},
        {"/var/spool/x", nullptr, 3, "x"},
        {"/var/spool/x", nullptr, 4, std::nullopt},
        {"a/b", nullptr, 1, "b"},
        {"a//b", nullptr, 1, "b"},
        {"a/", nullptr, 1, std::nullopt},
        {"a///", "/p", 1, std::nullopt},
        {"//x", "/p", 0, "/p/x"},
        {"/x", "/p/", 0, "/p//x"},  // a prefix's own slash is kept
        {"x", "p", 0, "p/x"},
        {"", "/p", 0, std::nullopt},
        {nullptr, nullptr, 0, std::nullopt},
    };
    for (const path_case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.path ? c.path : "(null)") << " prefix " << (c.prefix ? c.prefix : "-")
                                        << " strip " << c.strip);
        kvtest::log_capture logged;
        EXPECT_EQ(kv::normalize_path(c.path, false, c.prefix, c.strip), c.result);
        if (!c.result) {
            if (c.path == nullptr || *c.path == '\0')
                EXPECT_TRUE(logged.has(kv::Errors, "files: no path for normalizing"));
            else
                EXPECT_TRUE(logged.has(kv::Errors, "files: strip " + std::to_string(c.strip) + " prefixes in " +
                                                       c.path + " is impossible"))
                    << logged.dump();
        } else if ((c.prefix && *c.prefix) || c.strip) {
            EXPECT_TRUE(logged.has(kv::Verbose, std::string("files: filename ") + c.path + " converted to " + *c.result));
        }
    }
}

TEST(NormalizePath, ExpandResolvesLinksAndLongPaths) {
    kvtest::temp_dir dir;
    std::string real = dir.path();
    // Deeper than 1024 bytes: the expanded name is not cut.
    for (int i = 0; i < 6; ++i) {
        real += "/" + std::string(200, static_cast<char>('a' + i));
        ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    }
    kvtest::write_file(real + "/msg", "x");
    ASSERT_EQ(symlink(real.c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "x").c_str(), 0700), 0);
    const std::string given = dir / "x/.././link/msg";

    kvtest::log_capture logged;
    ASSERT_GT(real.size(), 1024u);
    EXPECT_EQ(kv::normalize_path(given.c_str(), true, nullptr, 0), real + "/msg");
    EXPECT_TRUE(logged.has(kv::Verbose, "files: filename " + given + " expanded to " + real + "/msg"));
    EXPECT_EQ(kv::normalize_path(given.c_str(), true, "/jail", 1), "/jail/" + real.substr(1) + "/msg");

    EXPECT_EQ(kv::normalize_path((dir / "absent").c_str(), true, nullptr, 0), std::nullopt);
    EXPECT_TRUE(logged.has(kv::Errors, "files: cannot expand filename " + (dir / "absent") +
                                           " - No such file or directory"));
}

// ---- quarantine ----

spool_settings quarantine_in(const std::string& dir, int mode = 0640) {
    return settings_for(dir, "kerval.quarantine.", kv::NAMING_STD, mode);
}

TEST(Quarantine, MoveOnOneFileSystem) {
    kvtest::temp_dir dir;
    mkdir((dir / "q").c_str(), 0700);
    const std::string message = binary_message(9000);
    kvtest::write_file(dir / "spool", message, 0600);
    umask_guard mask(077);
    kvtest::log_capture logged;

    std::optional<std::string> name = kv::quarantine_store(quarantine_in(dir / "q"), (dir / "spool").c_str(), 1);
    ASSERT_TRUE(name.has_value()) << logged.dump();
    EXPECT_TRUE(std::regex_match(*name, std::regex(dir / R"(q/kerval\.quarantine\.[A-Za-z0-9]{6})"))) << *name;
    EXPECT_FALSE(kvtest::file_exists(dir / "spool"));
    EXPECT_EQ(kvtest::read_file(*name), message);
    EXPECT_EQ(mode_of(*name), 0640u);
    EXPECT_FALSE(logged.contains("by-block copy")) << logged.dump();
    EXPECT_EQ(kvtest::list_dir(dir / "q").size(), 1u);
}

TEST(Quarantine, MoveAcrossFileSystemsCopiesAndRemovesTheSpoolFile) {
    struct stat shm {}, tmp {};
    if (stat("/dev/shm", &shm) != 0 || stat("/tmp", &tmp) != 0 || shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "/dev/shm and /tmp are not two file systems here";
    char shm_dir[] = "/dev/shm/kvtest.XXXXXX";
    ASSERT_NE(mkdtemp(shm_dir), nullptr);
    kvtest::temp_dir quarantine;
    const std::string spool = std::string(shm_dir) + "/spool";
    const std::string message = binary_message(3 * 4096 + 17);
    kvtest::write_file(spool, message, 0600);
    umask_guard mask(077);
    kvtest::log_capture logged;

    std::optional<std::string> name = kv::quarantine_store(quarantine_in(quarantine.path()), spool.c_str(), 1);
    ASSERT_TRUE(name.has_value()) << logged.dump();
    EXPECT_TRUE(logged.has(kv::Verbose, "move_file: try to use by-block copy, because std rename " + spool + " to " +
                                            *name + " failed - Invalid cross-device link"))
        << logged.dump();
    EXPECT_EQ(kvtest::read_file(*name), message);
    EXPECT_EQ(mode_of(*name), 0640u);
    EXPECT_FALSE(kvtest::file_exists(spool));
    kvtest::remove_tree(shm_dir);
}

TEST(Quarantine, CopyKeepsTheSpoolFile) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "spool", "the message\n", 0600);
    std::optional<std::string> name = kv::quarantine_store(quarantine_in(dir.path(), 0604), (dir / "spool").c_str(), 0);
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(kvtest::read_file(*name), "the message\n");
    EXPECT_EQ(kvtest::read_file(dir / "spool"), "the message\n");
    EXPECT_EQ(mode_of(*name), 0604u);
}

TEST(Quarantine, FailuresKeepTheMessageInTheSpoolAndLeaveNothingBehind) {
    kvtest::temp_dir dir;
    mkdir((dir / "q").c_str(), 0700);
    kvtest::write_file(dir / "spool", "the message\n", 0600);
    {
        kvtest::log_capture logged;
        EXPECT_FALSE(kv::quarantine_store(quarantine_in(dir / "absent"), (dir / "spool").c_str(), 1).has_value());
        EXPECT_TRUE(logged.has(kv::Errors, "quarantine: cannot create file " + dir.path() +
                                               "/absent/kerval.quarantine."))
            << logged.dump();
        EXPECT_FALSE(kvtest::file_exists(dir / "absent"));
    }
    for (int move : {1, 0}) {
        SCOPED_TRACE(move);
        kvtest::log_capture logged;
        EXPECT_FALSE(kv::quarantine_store(quarantine_in(dir / "q"), (dir / "gone").c_str(), move).has_value());
        EXPECT_TRUE(logged.has(kv::Errors, move ? "quarantine: cannot sync file " + dir.path() +
                                                      "/gone - No such file or directory"
                                                : std::string("quarantine: cannot copy file - No such file or directory")))
            << logged.dump();
        EXPECT_TRUE(kvtest::list_dir(dir / "q").empty());
    }
    EXPECT_EQ(kvtest::read_file(dir / "spool"), "the message\n");
}

TEST(CopyFile, ReplacesLongerContentAndReportsErrno) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "src", "short", 0600);
    kvtest::write_file(dir / "dst", "a much longer old content", 0600);
    umask_guard mask(077);
    errno = EINVAL;
    EXPECT_EQ(kv::copy_file((dir / "src").c_str(), (dir / "dst").c_str(), 0644), kv::FILES_OK);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(kvtest::read_file(dir / "dst"), "short");
    EXPECT_EQ(mode_of(dir / "dst"), 0644u);
    // Onto itself: nothing is lost.
    EXPECT_EQ(kv::copy_file((dir / "src").c_str(), (dir / "src").c_str(), 0600), kv::FILES_OK);
    EXPECT_EQ(kvtest::read_file(dir / "src"), "short");

    kvtest::log_capture logged;
    EXPECT_EQ(kv::copy_file((dir / "none").c_str(), (dir / "dst").c_str(), 0600), kv::FILES_ERROR);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(logged.has(kv::Errors, "copy_file: error stat() temporary file " + (dir / "none") +
                                           " - No such file or directory"));
    EXPECT_EQ(kv::copy_file((dir / "src").c_str(), (dir / "nodir/dst").c_str(), 0600), kv::FILES_ERROR);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(logged.contains("copy_file: cannot open archive file " + (dir / "nodir/dst")));
}

TEST(MoveFile, SetsErrnoZeroOnSuccess) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "a", "data", 0600);
    umask_guard mask(077);
    errno = EINVAL;
    EXPECT_EQ(kv::move_file((dir / "a").c_str(), (dir / "b").c_str(), 0640), kv::FILES_OK);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(mode_of(dir / "b"), 0640u);
    EXPECT_FALSE(kvtest::file_exists(dir / "a"));
}

}  // namespace
