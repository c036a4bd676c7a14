// kerval-milter as administrators and systemd start it: options, a bad
// configuration, the self-test of its own settings, and a run in the
// foreground: the socket's mode, the pid file, a reload on SIGUSR1 and a stop
// on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "config_builder.h"
#include "test_util.h"

using kvtest::run_program;

namespace {

std::string milter_bin() { return KV_MILTER_BIN; }

// The milter with its standard error in a file the test reads while it runs.
pid_t start_logged(const std::vector<std::string>& argv, const std::string& log) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits until the file holds text count times; false after seconds.
bool wait_for_text(const std::string& path, const std::string& text, int count = 1, int seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string content = kvtest::file_exists(path) ? kvtest::read_file(path) : "";
        int seen = 0;
        for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1)) ++seen;
        if (seen >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(MilterCommandLine, HelpVersionAndUsageErrors) {
    auto help = run_program({milter_bin(), "--help"});
    EXPECT_EQ(help.status, 64);
    EXPECT_NE(help.out.find("--foreground - stay in the foreground"), std::string::npos) << help.out;
    auto version = run_program({milter_bin(), "--version"});
    EXPECT_EQ(version.status, 0);
    std::string expected = "\n";  // appended, not added: g++ -O3 misreads "\n" + text as overlapping
    expected.append(milter_bin()).append(" - Kerval(R) Filter for postfix 4.33\n\n");
    EXPECT_EQ(version.out, expected);
    auto unknown = run_program({milter_bin(), "--bogus"});
    EXPECT_EQ(unknown.status, 64);
    EXPECT_NE(unknown.err.find("conf: unknown option --bogus"), std::string::npos) << unknown.err;
}

TEST(MilterCommandLine, BadSettingsStopTheStartAndTheSelfTest) {
    kvtest::temp_dir dir;
    kvtest::config_builder bad;
    bad.set("Milter", "Socket = tcp:25");
    auto r = run_program({milter_bin(), "--conf=" + bad.write(dir / "bad.conf"), "--foreground"});
    EXPECT_EQ(r.status, 78);
    EXPECT_NE(r.err.find("read section Milter: invalid socket tcp:25 (unix:/path or inet:port@host)"),
              std::string::npos) << r.err;
    kvtest::config_builder missing_dir;
    missing_dir.set("Milter", "Socket = unix:" + (dir / "absent/milter.sock")).set("Milter", "User = no-such-user-kv");
    r = run_program({milter_bin(), "--conf=" + missing_dir.write(dir / "check.conf"), "--check_only"});
    EXPECT_EQ(r.status, 78);
    EXPECT_NE(r.err.find("milter: the socket's directory " + dir.path() + "/absent/ does not exist"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("milter: unknown User no-such-user-kv"), std::string::npos) << r.err;
}

TEST(MilterCommandLine, ForegroundRunReloadsAndStops) {
    kvtest::temp_dir dir;
    kvtest::config_builder config;
    config.set("Milter", "Socket = unix:" + (dir / "milter.sock"))
        .set("Milter", "SocketMode = 0600")
        .set("Milter", "PidFile = " + (dir / "milter.pid"))
        .set("Logging", "Level = Info");
    const std::string conf = config.write(dir / "k.conf");
    const std::string log = dir / "milter.log";
    const pid_t pid = start_logged({milter_bin(), "--conf=" + conf, "--foreground"}, log);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "listening")) << kvtest::read_file(log);
    EXPECT_EQ(kvtest::read_file(dir / "milter.pid"), std::to_string(pid) + "\n");
    struct stat info;
    ASSERT_EQ(stat((dir / "milter.sock").c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // A file that no longer loads leaves the running configuration alone; a
    // good one is taken.
    kvtest::write_file(conf, "[Milter]\nSocket = nonsense\n");
    kill(pid, SIGUSR1);
    EXPECT_TRUE(wait_for_text(log, "milter: the configuration did not load - the old one stays in force"))
        << kvtest::read_file(log);
    config.write(conf);
    kill(pid, SIGUSR1);
    EXPECT_TRUE(wait_for_text(log, "milter: the configuration is reloaded")) << kvtest::read_file(log);
    kill(pid, SIGTERM);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(wait_for_text(log, "milter: stopped", 1, 1)) << kvtest::read_file(log);
    EXPECT_FALSE(kvtest::file_exists(dir / "milter.pid"));
}

}  // namespace
