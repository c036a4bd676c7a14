#include "kv_dfork.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "kvc_log.h"
#include "test_util.h"

namespace {

bool no_child_left() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(Starter, ReportsHowTheChildEnded) {
    struct end_case {
        std::vector<std::string> argv;
        int signal;  // sent by the test, 0 for none
        int result;
        std::vector<std::pair<int, std::string>> messages;  // "%d" stands for the pid
    } cases[] = {
        {{"/bin/sh", "-c", "exit 0"}, 0, kv::STARTER_OK, {{kv::Debug, "starter: child[%d] exited normally"}}},
        {{"/bin/sh", "-c", "exit 3"}, 0, kv::STARTER_FAILED, {{kv::Errors, "starter: child[%d] with error code 3"}}},
        {{"/bin/sh", "-c", "read line"}, SIGTERM, kv::STARTER_FAILED,
         {{kv::Errors, "starter: child[%d] exited on signal 15"},
          {kv::Errors, "starter: child[%d] terminates abnormally with status 0"}}},
        {{"/nonexistent/program"}, 0, kv::STARTER_FAILED,
         {{kv::Errors, "starter: child[%d] with error code 71"}}},
    };
    for (const end_case& c : cases) {
        SCOPED_TRACE(c.argv.back());
        kvtest::log_capture logged;
        kv::child_process child = kv::starter_start(c.argv[0].c_str(), c.argv, STDIN_FILENO);
        ASSERT_TRUE(child.started());
        if (c.signal != 0) kill(child.pid(), c.signal);
        EXPECT_EQ(child.wait(true, "child"), c.result);
        for (auto message : c.messages) {
            message.second.replace(message.second.find("%d"), 2, std::to_string(child.pid()));
            EXPECT_TRUE(logged.has(message.first, message.second)) << logged.dump();
        }
    }
    EXPECT_TRUE(no_child_left());
}

TEST(Starter, ChildReadsItsInputFromTheOffsetAndIsReapedWhenForgotten) {
    kvtest::temp_dir dir;
    const std::string in = dir / "in";
    const std::string out = dir / "out";
    kvtest::write_file(in, "skip:hello\n");
    {
        int fd = open(in.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(lseek(fd, 5, SEEK_SET), 5);
        kv::child_process child = kv::starter_start("/bin/sh", {"/bin/sh", "-c", "cat > " + out}, fd);
        close(fd);
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.wait(true, "child"), kv::STARTER_OK);
    }
    EXPECT_EQ(kvtest::read_file(out), "hello\n");
    {
        kvtest::log_capture logged;
        kv::child_process child = kv::starter_start("/bin/sh", {"/bin/sh", "-c", "exec sleep 30"}, STDIN_FILENO);
        ASSERT_TRUE(child.started());
        EXPECT_EQ(kv::starter_wait(child.pid(), false, "child"), kv::STARTER_RUNNING);
        EXPECT_TRUE(logged.has(kv::Debug, "starter: child[" + std::to_string(child.pid()) + "] is still running"));
        EXPECT_EQ(child.wait_for(std::chrono::milliseconds(20), "child"), kv::STARTER_RUNNING);
    }  // never collected: killed and reaped here
    EXPECT_TRUE(no_child_left());
}

TEST(Starter, TheChildStartsWithOnlyTheStandardDescriptorsAndNoSignalBlocked) {
    // What a threaded caller may have open and blocked must not reach the program.
    kvtest::temp_dir dir;
    const std::string out = dir / "out";
    const int opened = open(dir.path().c_str(), O_RDONLY);
    const int leaked = fcntl(opened, F_DUPFD, 100);  // without close-on-exec, clear of ls's own
    close(opened);
    ASSERT_GE(leaked, 100);
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &old);
    kv::child_process child = kv::starter_start(
        "/bin/sh",
        {"/bin/sh", "-c",
         "ls /proc/self/fd > " + out + "; grep SigBlk /proc/self/status >> " + out},
        STDIN_FILENO);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(leaked);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(true, "child"), kv::STARTER_OK);
    const std::string seen = kvtest::read_file(out);
    EXPECT_EQ(seen.find("\n" + std::to_string(leaked) + "\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("SigBlk:\t0000000000000000"), std::string::npos) << seen;
}

TEST(Starter, BadParameters) {
    kvtest::log_capture logged;
    EXPECT_FALSE(kv::starter_start(nullptr, {"x"}, STDIN_FILENO).started());
    EXPECT_TRUE(logged.contains("starter: bad parameters (1.0.0) were passed (kv_dfork:")) << logged.dump();
    EXPECT_FALSE(kv::starter_start("/bin/true", {}, STDIN_FILENO).started());
    EXPECT_TRUE(logged.contains("starter: bad parameters (0.1.0) were passed (kv_dfork:"));
    EXPECT_FALSE(kv::starter_start("/bin/true", {"/bin/true"}, -1).started());
    EXPECT_TRUE(logged.contains("starter: bad parameters (0.0.1) were passed (kv_dfork:"));
    EXPECT_EQ(kv::starter_wait(1, false, nullptr), kv::STARTER_FAILED);
    EXPECT_TRUE(logged.contains("starter: wait  (kv_dfork:")) << logged.dump();
    EXPECT_TRUE(no_child_left());
}

}  // namespace
